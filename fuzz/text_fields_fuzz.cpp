// The comma-separated fields of the server's text messages: any text against any sequence of
// field kinds and capacities. Nothing is written past a destination, every text destination
// stays NUL-terminated, and no more fields are reported than there are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "server/text_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first bytes choose the fields: kind and capacity; the rest is the text.
  const std::size_t count = 1 + data[0] % 12;
  if (size < 1 + count) return 0;
  std::vector<talmeris::TextField> fields;
  std::vector<std::vector<char>> texts(count);
  std::vector<std::int64_t> numbers(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t spec = data[1 + i];
    const auto kind = static_cast<talmeris::TextField::Kind>(spec % 4);
    const std::size_t capacity = 1 + (spec >> 2) % 40;
    texts[i].assign(capacity + 8, '\x7f');  // guard bytes after the destination
    if (kind == talmeris::TextField::kSigned || kind == talmeris::TextField::kUnsigned) {
      fields.push_back({kind, nullptr, 0, &numbers[i]});
    } else {
      fields.push_back({kind, texts[i].data(), capacity, nullptr});
    }
  }
  const auto* text = reinterpret_cast<const char*>(data + 1 + count);
  const int stored = talmeris::ParseTextFields(std::string_view(text, size - 1 - count), fields);
  if (stored < 0 || static_cast<std::size_t>(stored) > count) std::abort();
  for (std::size_t i = 0; i < count; ++i) {
    if (!fields[i].text) continue;
    for (std::size_t g = fields[i].capacity; g < texts[i].size(); ++g) {
      if (texts[i][g] != '\x7f') std::abort();  // written past the destination
    }
    if (i < static_cast<std::size_t>(stored) &&
        std::memchr(texts[i].data(), 0, fields[i].capacity) == nullptr) {
      std::abort();  // a stored text without its NUL
    }
  }
  return 0;
}
