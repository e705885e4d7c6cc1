// The two general message layouts shared by the server protocol and the peer protocol, encoded
// and decoded explicitly (little-endian, fixed offsets).
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"

namespace talmeris {

// A value carried as f32 taken as a whole number: truncated toward zero. A value outside the
// 64-bit range, or not a number, gives the 64-bit minimum (whose low bits are all zero), as the
// processor's own conversion does; it never traps.
inline std::int64_t WholeNumber(double value) {
  if (!(value > -9223372036854775808.0 && value < 9223372036854775808.0)) return INT64_MIN;
  return static_cast<std::int64_t>(value);
}

// 20 bytes: type, param, 2 unused bytes, four f32 values.
struct ShortMessage {
  static constexpr std::size_t kSize = 20;
  std::uint8_t type = 0;
  std::uint8_t param = 0;
  float value1 = 0.0f, value2 = 0.0f, value3 = 0.0f, value4 = 0.0f;

  std::array<std::uint8_t, kSize> Encode() const {
    std::array<std::uint8_t, kSize> b{};
    b[0] = type;
    b[1] = param;
    StoreF32(&b[4], value1);
    StoreF32(&b[8], value2);
    StoreF32(&b[12], value3);
    StoreF32(&b[16], value4);
    return b;
  }
  static ShortMessage Decode(const std::uint8_t* b) {
    return {b[0], b[1], LoadF32(b + 4), LoadF32(b + 8), LoadF32(b + 12), LoadF32(b + 16)};
  }
};

// 88 bytes: type, param, 2 unused bytes, 84 bytes of NUL-terminated 8-bit text.
struct TextMessage {
  static constexpr std::size_t kSize = 88;
  static constexpr std::size_t kTextOffset = 4;
  static constexpr std::size_t kTextSize = 84;
  std::array<std::uint8_t, kSize> bytes{};

  static TextMessage Make(std::uint8_t type, std::uint8_t param, std::string_view text) {
    TextMessage m;
    m.bytes[0] = type;
    m.bytes[1] = param;
    StoreFixedText(&m.bytes[kTextOffset], kTextSize, text);
    return m;
  }
  std::uint8_t type() const { return bytes[0]; }
  std::uint8_t param() const { return bytes[1]; }
};

}  // namespace talmeris
