// The peer slots: who is attached to the peer host, each slot under its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "net/transport.h"
#include "state/ranked_mutex.h"

namespace talmeris {

constexpr int kPeerSlotCount = 3;
constexpr int kSoundPeerKind = 2;

struct PeerSlot {
  std::uint8_t propulsion = 0;
  std::uint8_t in_use = 0;
  net::DPNID dpnid = 0;
  std::uint8_t kind = 0;
  float tag = 0.0f;
  RankedMutex lock{LockRank::kPeerSlot};
};
using PeerSlots = std::array<PeerSlot, kPeerSlotCount>;

}  // namespace talmeris
