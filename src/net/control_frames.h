// The transport's control messages on channel 0 (docs/transport.md): HELLO, WELCOME, REJECT,
// PING and PONG, decoded from whatever bytes arrive, with every length checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/bytes.h"
#include "net/transport.h"

namespace talmeris::net {

enum ControlType : std::uint8_t { kHello = 1, kWelcome = 2, kReject = 3, kPing = 4, kPong = 5 };
constexpr std::uint8_t kProtocolVersion = 1;
constexpr std::size_t kHelloSize = 1 + 1 + 16 + 8;
constexpr std::size_t kWelcomeSize = 1 + 1 + 4 + 8;
constexpr std::size_t kRejectSize = 1 + 4;
constexpr std::size_t kPingSize = 1 + 8;
constexpr std::size_t kMaxControlSize = kHelloSize;

struct ControlFrame {
  ControlType type = kPing;
  std::uint8_t version = kProtocolVersion;  // HELLO, WELCOME
  Guid application;                         // HELLO
  std::uint64_t clock = 0;                  // HELLO, WELCOME (echoed), PING, PONG
  DPNID player = 0;                         // WELCOME
  HRESULT result = DPN_OK;                  // REJECT
};

// False for anything shorter than its type needs, of an unknown type, a WELCOME that names no
// player (id 0) or a REJECT whose code is not a failure. Longer frames are read up to their size.
inline bool DecodeControl(const std::uint8_t* d, std::size_t n, ControlFrame* f) {
  if (n == 0) return false;
  switch (d[0]) {
    case kHello:
      if (n < kHelloSize) return false;
      f->version = d[1];
      std::memcpy(f->application.bytes.data(), d + 2, 16);
      f->clock = LoadU64(d + 18);
      break;
    case kWelcome:
      if (n < kWelcomeSize) return false;
      f->version = d[1];
      f->player = LoadU32(d + 2);
      f->clock = LoadU64(d + 6);
      if (f->player == 0) return false;
      break;
    case kReject:
      if (n < kRejectSize) return false;
      f->result = static_cast<HRESULT>(LoadU32(d + 1));
      if (!Failed(f->result)) return false;
      break;
    case kPing:
    case kPong:
      if (n < kPingSize) return false;
      f->clock = LoadU64(d + 1);
      break;
    default:
      return false;
  }
  f->type = static_cast<ControlType>(d[0]);
  return true;
}

// Writes the frame into `out` (kMaxControlSize bytes) and returns its size.
inline std::size_t EncodeControl(const ControlFrame& f, std::uint8_t* out) {
  out[0] = f.type;
  switch (f.type) {
    case kHello:
      out[1] = f.version;
      std::memcpy(out + 2, f.application.bytes.data(), 16);
      StoreU64(out + 18, f.clock);
      return kHelloSize;
    case kWelcome:
      out[1] = f.version;
      StoreU32(out + 2, f.player);
      StoreU64(out + 6, f.clock);
      return kWelcomeSize;
    case kReject:
      StoreU32(out + 1, static_cast<std::uint32_t>(f.result));
      return kRejectSize;
    case kPing:
    case kPong:
      StoreU64(out + 1, f.clock);
      return kPingSize;
  }
  return 0;
}

}  // namespace talmeris::net
