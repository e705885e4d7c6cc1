#include "peers/peer_host.h"

#include "app/context.h"

namespace talmeris {

void SendToPeer(ClientContext& ctx, net::DPNID dpnid, const std::uint8_t* data, std::uint32_t size,
                bool guaranteed, std::uint32_t timeout_ms) {
  if (!ctx.peer_host_active.load(std::memory_order_acquire) || !ctx.net.peer_server) return;
  std::uint32_t flags = net::DPNSEND_NONSEQUENTIAL | net::DPNSEND_NOLOOPBACK |
                        net::DPNSEND_COALESCE |
                        (guaranteed ? net::DPNSEND_GUARANTEED : net::DPNSEND_NOCOMPLETE);
  net::HRESULT hr = ctx.net.peer_server->SendTo(dpnid, data, size, timeout_ms, flags);
  if (net::Failed(hr)) ctx.event_log.Add(ctx.main_window.load(), "Failed sending data to peer!");
}

}  // namespace talmeris
