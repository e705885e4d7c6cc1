// The peer host's message handler: the peer protocol, admission, welcome and departure.
#pragma once

#include <cstdint>

#include "net/transport.h"

namespace talmeris {
struct ClientContext;

// Peer-to-client ShortMessage types the handler acts on.
enum PeerShortType : std::uint8_t {
  kPeerDockState = 2,
  kPeerWelcomeComplete = 3,
  kPeerRegistration = 7,
  kPeerSoundCue = 10,
  kPeerVesselSwitch = 12,
  kPeerSharedText = 15,
};

constexpr std::size_t kPeerTextLimit = 77;  // characters the client writes into a peer text

// The peer host's handler; `context` is the ClientContext.
net::HRESULT OnPeerMessage(void* context, const net::Message& message);

// The peer messages whose handling never blocks, so the transport may handle them on its service
// thread: the view program's own-vessel reports (forward, record, relay, store).
bool PeerMessageMayRunInline(const std::uint8_t* data, std::uint32_t size);

// The three admission events (called by the handler; public for tests).
void PeerConnected(ClientContext& ctx, net::DPNID dpnid);
void PeerRegistration(ClientContext& ctx, net::DPNID dpnid, const std::uint8_t* message);
void PeerDeparted(ClientContext& ctx, net::DPNID dpnid);

}  // namespace talmeris
