// The local peer host: the session the companion programs attach to, and the one primitive by
// which anything in the client sends to them.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "net/transport.h"
#include "state/peer_slots.h"

namespace talmeris {
struct ClientContext;

// Hosts the peer session on peer_host_address; on failure shows its box and returns the result.
net::HRESULT HostPeerSession(ClientContext& ctx);

// Sends one buffer to one peer or, with `dpnid` 0, to every attached peer. Does nothing while
// the peer host is not active. A failed send adds "Failed sending data to peer!" to the log.
// Takes no lock; may be called with any lock held.
void SendToPeer(ClientContext& ctx, net::DPNID dpnid, const std::uint8_t* data, std::uint32_t size,
                bool guaranteed, std::uint32_t timeout_ms);

// Sends one buffer, guaranteed, to every attached peer of the sound kind.
void SendToSoundPeers(ClientContext& ctx, const std::uint8_t* data, std::uint32_t size);

}  // namespace talmeris
