// Explicit little-endian encoding and decoding of fixed layouts, bounds-checked.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace talmeris {

inline std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t LoadU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(LoadU32(p)) |
         (static_cast<std::uint64_t>(LoadU32(p + 4)) << 32);
}
inline float LoadF32(const std::uint8_t* p) {
  return std::bit_cast<float>(LoadU32(p));
}

inline void StoreU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void StoreU64(std::uint8_t* p, std::uint64_t v) {
  StoreU32(p, static_cast<std::uint32_t>(v));
  StoreU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline void StoreF32(std::uint8_t* p, float v) {
  StoreU32(p, std::bit_cast<std::uint32_t>(v));
}

// Copies text into a fixed field of `width` bytes, always NUL-terminated and zero-padded.
// Text that does not fit is cut at width - 1 bytes.
inline void StoreFixedText(std::uint8_t* field, std::size_t width, std::string_view text) {
  if (width == 0) return;
  std::memset(field, 0, width);
  std::size_t n = std::min(text.size(), width - 1);
  n = std::min(n, text.find('\0') == std::string_view::npos ? n : text.find('\0'));
  std::memcpy(field, text.data(), n);
}

// Reads a fixed text field: up to its first NUL or its full width.
inline std::string_view LoadFixedText(const std::uint8_t* field, std::size_t width) {
  const auto* begin = reinterpret_cast<const char*>(field);
  const void* nul = std::memchr(begin, 0, width);
  return {begin, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : width};
}

// Fixed-capacity NUL-terminated text, the shape of every text field the program keeps.
template <std::size_t N>
struct FixedText {
  char bytes[N] = {};

  void Set(std::string_view text) {
    StoreFixedText(reinterpret_cast<std::uint8_t*>(bytes), N, text);
  }
  std::string_view View() const {
    return LoadFixedText(reinterpret_cast<const std::uint8_t*>(bytes), N);
  }
  bool Empty() const { return bytes[0] == '\0'; }
  static constexpr std::size_t kCapacity = N;
  friend bool operator==(const FixedText&, const FixedText&) = default;
};

}  // namespace talmeris
