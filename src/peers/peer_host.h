// The local peer host: the session the companion programs attach to, and the one primitive by
// which anything in the client sends to them.
#pragma once

#include <cstdint>

#include "net/transport.h"

namespace talmeris {
struct ClientContext;

// Sends one buffer to one peer or, with `dpnid` 0, to every attached peer. Does nothing while
// the peer host is not active. A failed send adds "Failed sending data to peer!" to the log.
// Takes no lock; may be called with any lock held.
void SendToPeer(ClientContext& ctx, net::DPNID dpnid, const std::uint8_t* data, std::uint32_t size,
                bool guaranteed, std::uint32_t timeout_ms);

}  // namespace talmeris
