// The client's two sessions as every subsystem uses them: the one way to send to the game server
// and the one way to send to the companions, and hosting the companions' session. Below the
// server link, the hub and voice, which all send through here; nothing here takes a lock but a
// peer slot's (one at a time, released before sending).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "net/transport.h"
#include "state/peer_slots.h"

namespace talmeris {
struct ClientContext;

// Sends one message to the server. Guaranteed: flags 0x128; otherwise 0x122. A failure with
// DPNERR_INVALIDFLAGS or DPNERR_TIMEDOUT is logged by name; others are ignored.
void SendToServer(ClientContext& ctx, const std::uint8_t* data, std::uint32_t size, bool guaranteed,
                  std::uint32_t timeout_ms);

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
