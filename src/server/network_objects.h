// Creation of the client, peer-host and voice objects at start-up, the check of the TCP/IP
// provider, and the three endpoint addresses of the connection sequence.
#pragma once

#include <string_view>

#include "net/transport.h"
#include "state/voice_port.h"

namespace talmeris {
struct ClientContext;

// Handlers registered with the objects.
struct Handlers {
  net::MessageHandler server_messages = nullptr;  // the client session's handler
  net::MessageHandler peer_messages = nullptr;    // the peer host's handler
  void* context = nullptr;
  // Which messages each handler takes on the transport's service thread (none when null).
  net::InlineFilter server_inline = nullptr;
  net::InlineFilter peer_inline = nullptr;
  voice::VoiceHandler voice_messages = nullptr;  // the voice client's handler
};

// Creates and initialises the three objects; the first failure shows one "Communication Error!"
// box and returns its result.
net::HRESULT CreateNetworkObjects(ClientContext& ctx, const Handlers& handlers);

// True when both objects can use the TCP/IP provider.
bool CheckTcpIpProvider(net::Client& client, net::Server& server);

// The client's device address (no port) and the peer host's (peer_host_port). Failures are logged.
net::HRESULT BuildDeviceAddresses(ClientContext& ctx);

// The game server's address: `host` and the server port. Failures are logged.
net::HRESULT BuildServerAddress(ClientContext& ctx, std::string_view host);

}  // namespace talmeris
