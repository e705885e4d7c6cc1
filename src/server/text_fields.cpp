#include "server/text_fields.h"

#include <cstring>

namespace talmeris {

std::string_view MessageText(const std::uint8_t* bytes, std::size_t size) {
  const auto* begin = reinterpret_cast<const char*>(bytes);
  const void* nul = std::memchr(begin, 0, size);
  return {begin, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : size};
}

namespace {

// Reads a decimal field at the start of `text`: an optional minus (signed fields only), at least
// one digit, and then the end of the text or a comma. False, with nothing stored, otherwise:
// "12abc" and "+7" are not numbers.
bool ReadNumber(std::string_view& text, bool allow_sign, std::int64_t* out) {
  std::size_t i = 0;
  const bool negative = allow_sign && i < text.size() && text[i] == '-';
  if (negative) ++i;
  std::uint64_t value = 0;
  std::size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');  // wraps, never traps
    ++i;
    ++digits;
  }
  if (digits == 0 || (i < text.size() && text[i] != ',')) return false;
  *out = static_cast<std::int64_t>(negative ? 0 - value : value);
  text.remove_prefix(i);
  return true;
}

}  // namespace

int ParseTextFields(std::string_view text, std::span<const TextField> fields) {
  int stored = 0;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    const TextField& field = fields[f];
    if (f > 0) {
      if (text.empty() || text.front() != ',') return stored;
      text.remove_prefix(1);
    }
    switch (field.kind) {
      case TextField::kSigned:
      case TextField::kUnsigned:
        if (!ReadNumber(text, field.kind == TextField::kSigned, field.number)) return stored;
        break;
      case TextField::kText:
      case TextField::kRestOfLine: {
        std::size_t length =
            field.kind == TextField::kText ? std::min(text.find(','), text.size()) : text.size();
        if (length == 0) return stored;
        if (length > field.capacity - 1) {
          field.text[0] = '\0';
          return stored;
        }
        std::memcpy(field.text, text.data(), length);
        field.text[length] = '\0';
        text.remove_prefix(length);
        break;
      }
    }
    ++stored;
  }
  return stored;
}

}  // namespace talmeris
