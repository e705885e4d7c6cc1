#include "state/sessions.h"

#include <cstdio>

#include "state/context.h"

namespace talmeris {

net::HRESULT HostPeerSession(ClientContext& ctx) {
  net::ApplicationDesc app;
  app.flags = net::DPNSESSION_CLIENT_SERVER | net::DPNSESSION_NODPNSVR;
  app.application = *net::Guid::Parse("{2AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
  app.max_players = 0;
  app.session_name = "Peer to Peer";
  net::HRESULT hr = ctx.net.peer_server && ctx.net.peer_host_address
                        ? ctx.net.peer_server->Host(app, *ctx.net.peer_host_address)
                        : net::DPNERR_UNINITIALIZED;
  if (net::Succeeded(hr)) {
    ctx.peer_host_active.store(true);
    return hr;
  }
  char text[128];
  const char* caption = "Client Application";
  if (hr == net::DPNERR_DATATOOLARGE) {
    caption = "DPNERR_DATATOOLARGE";
    std::snprintf(text, sizeof text,
                  "The application data is too large for the service "
                  "provider's Maximum Transmission Unit.\n");
  } else if (hr == net::DPNERR_INVALIDPARAM) {
    caption = "DPNERR_INVALIDPARAM";
    std::snprintf(text, sizeof text,
                  "One or more of the parameters passed to the method are invalid.\n");
  } else if (hr == net::DPNERR_DPNSVRNOTAVAILABLE) {
    caption = "DPNERR_DPNSVRNOTAVAILABLE";
    std::snprintf(text, sizeof text, "Port 6073 is already in use.\n");
  } else if (hr == net::DPNERR_INVALIDDEVICEADDRESS) {
    caption = "DPNERR_INVALIDDEVICEADDRESS";
    std::snprintf(text, sizeof text, "Port %i is already in use.\n",
                  static_cast<int>(ctx.peer_host_port));
  } else {
    std::snprintf(text, sizeof text, "Unkown failure %X on Host() method!\n",
                  static_cast<unsigned>(hr));
  }
  ctx.ports.windows->MessageBox(ctx.main_window.load(), text, caption, kMbIconError);
  return hr;
}

void SendToServer(ClientContext& ctx, const std::uint8_t* data, std::uint32_t size, bool guaranteed,
                  std::uint32_t timeout_ms) {
  if (!ctx.net.net_client) return;
  const std::uint32_t flags = guaranteed ? 0x128 : 0x122;
  net::HRESULT hr = ctx.net.net_client->Send(data, size, timeout_ms, flags);
  if (hr == net::DPNERR_INVALIDFLAGS) {
    ctx.event_log.Add(ctx.main_window.load(), "DPNERR_INVALIDFLAGS");
  } else if (hr == net::DPNERR_TIMEDOUT) {
    ctx.event_log.Add(ctx.main_window.load(), "DPNERR_TIMEDOUT");
  }
}

void SendToPeer(ClientContext& ctx, net::DPNID dpnid, const std::uint8_t* data, std::uint32_t size,
                bool guaranteed, std::uint32_t timeout_ms) {
  if (!ctx.peer_host_active.load(std::memory_order_acquire) || !ctx.net.peer_server) return;
  std::uint32_t flags = net::DPNSEND_NONSEQUENTIAL | net::DPNSEND_NOLOOPBACK |
                        net::DPNSEND_COALESCE |
                        (guaranteed ? net::DPNSEND_GUARANTEED : net::DPNSEND_NOCOMPLETE);
  net::HRESULT hr = ctx.net.peer_server->SendTo(dpnid, data, size, timeout_ms, flags);
  if (net::Failed(hr)) ctx.event_log.Add(ctx.main_window.load(), "Failed sending data to peer!");
}

void SendToSoundPeers(ClientContext& ctx, const std::uint8_t* data, std::uint32_t size) {
  for (PeerSlot& slot : ctx.peer_slots) {
    net::DPNID target = 0;
    {
      std::lock_guard lock(slot.lock);
      if (slot.in_use && slot.kind == kSoundPeerKind) target = slot.dpnid;
    }
    // Sent after the slot's lock is released: a failed send logs, and logging posts to a window.
    if (target != 0) SendToPeer(ctx, target, data, size, true, 0);
  }
}

}  // namespace talmeris
