#include <cstdio>

#include "net/transport.h"

namespace talmeris::net {

const Guid CLSID_DP8SP_TCPIP = *Guid::Parse("{EBFE7BA0-628D-11D2-AE0F-006097B01411}");

std::optional<Guid> Guid::Parse(std::string_view text) {
  // {8-4-4-4-12}; the first three groups are stored little-endian, the rest as written.
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  static constexpr int kDash[] = {9, 14, 19, 24};
  for (int d : kDash) {
    if (text[d] != '-') return std::nullopt;
  }
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::uint8_t raw[16];
  int n = 0;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '-') continue;
    int hi = nibble(text[i]), lo = i + 2 < text.size() ? nibble(text[i + 1]) : -1;
    if (hi < 0 || lo < 0 || n >= 16) return std::nullopt;
    raw[n++] = static_cast<std::uint8_t>(hi << 4 | lo);
    ++i;
  }
  if (n != 16) return std::nullopt;
  Guid g;
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) g.bytes[i] = raw[kOrder[i]];
  return g;
}

std::string Guid::ToString() const {
  char out[39];
  const auto& b = bytes;
  std::snprintf(out, sizeof out,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3],
                b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return out;
}

}  // namespace talmeris::net
