// The comma-separated fields inside a text message.
//
// A number field is a decimal integer; a text field runs to the next comma, except the last
// text field of a line, which runs to the end and may hold commas. A text field longer than its
// capacity - 1 leaves its destination empty and ends the parse. An empty field, or one that does
// not match its form, ends the parse. Fields before the end point have been stored; fields after
// it keep their previous values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace talmeris {

struct TextField {
  enum Kind : std::uint8_t { kSigned, kUnsigned, kText, kRestOfLine };
  Kind kind;
  char* text = nullptr;            // kText, kRestOfLine: destination of `capacity` bytes
  std::size_t capacity = 0;        // counting the terminating NUL
  std::int64_t* number = nullptr;  // kSigned, kUnsigned: the value, wrapped to 64 bits

  static TextField Signed(std::int64_t* out) { return {kSigned, nullptr, 0, out}; }
  static TextField Unsigned(std::int64_t* out) { return {kUnsigned, nullptr, 0, out}; }
  template <std::size_t N>
  static TextField Text(char (&out)[N]) {
    return {kText, out, N, nullptr};
  }
  template <std::size_t N>
  static TextField Rest(char (&out)[N]) {
    return {kRestOfLine, out, N, nullptr};
  }
};

// The text of a message: up to its first NUL or the end of the bytes given.
std::string_view MessageText(const std::uint8_t* bytes, std::size_t size);

// Parses `text` into `fields` in order; returns how many fields were stored.
int ParseTextFields(std::string_view text, std::span<const TextField> fields);

}  // namespace talmeris
