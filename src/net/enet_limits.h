// The transport's wire constants and bounds on ENet (docs/transport.md, "Bounds"), and its clock.
// Constants only; nothing here is shared state.
#pragma once

#include <enet/enet.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "net/secure_session.h"
#include "net/transport.h"

namespace talmeris::net::detail {

// ---- wire constants (docs/transport.md) ----
constexpr enet_uint32 kConnectMagic = 0x314D4C54;  // "TLM1" in the connect request's data
constexpr std::size_t kChannels = 5;               // asked for
constexpr std::size_t kMinChannels = 4;            // needed; the fifth, voice, is optional
constexpr enet_uint8 kControlChannel = 0;
constexpr enet_uint8 kGuaranteedChannel = 1;
constexpr enet_uint8 kSequentialChannel = 2;
constexpr enet_uint8 kNonSequentialChannel = 3;
constexpr enet_uint8 kVoiceChannel = 4;
constexpr enet_uint32 kDisconnectClosed = 1;  // an orderly close; 0 is a time-out

// Host limits (docs/transport.md, docs/peer-protocol.md): connections held at once, spare ENet
// slots for the handshakes that arrive while it is full, and handler threads.
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kSpareSlots = 16;
constexpr std::size_t kMaxHandlerThreads = 8;
// Received data held per connection before it is handed out: one payload in reassembly on each
// channel and one more arriving.
constexpr std::size_t kMaxWaitingData = 4 * (kMaxPayload + kSealOverhead);  // sealed ones too
// What one connection may hold in queues (docs/transport.md, "Bounds").
constexpr std::uint32_t kUnguaranteedSendBound = 256 * 1024;     // queued bytes: drop new ones
constexpr std::uint32_t kGuaranteedSendBound = 8 * 1024 * 1024;  // queued bytes: drop the peer
constexpr std::uint32_t kHandlerUnguaranteedBound = 256;  // waiting messages: drop the oldest
constexpr std::uint32_t kHandlerGuaranteedBound = 16 * 1024 * 1024;  // waiting bytes: drop peer
// The transport's own PING, once a second on each established connection: it measures the round
// trip and keeps the connection alive. ENet's keep-alive (a guaranteed ping after this long
// without hearing from the peer) then only fires when the peer's PINGs stop, which is how a
// vanished peer is still noticed.
constexpr std::uint64_t kPingIntervalNs = 1'000'000'000;
constexpr enet_uint32 kKeepAliveMs = 1500;
// The longest the service thread sleeps with nothing due, and while departed connections wait
// for their last messages to be handled.
constexpr int kMaxSleepMs = 1000;
constexpr int kDepartedSleepMs = 20;
// For this long after a guaranteed send the service thread sleeps at most kResendSlackMs, so that
// a steady stream of guaranteed sends from other threads never has to wake it for each resend
// timer it starts; a resend is then at most that late.
constexpr enet_uint32 kGuaranteedLingerMs = 100;
constexpr int kResendSlackMs = 5;
// An inline handler running longer than this is reported in debug builds.
constexpr std::uint64_t kInlineWatchdogNs = 5'000'000;

inline std::uint64_t NowNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace talmeris::net::detail
