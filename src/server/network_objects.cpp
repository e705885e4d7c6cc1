#include "server/network_objects.h"

#include <cstdio>
#include <vector>

#include "state/context.h"

namespace talmeris {
using namespace net;
namespace {

HRESULT Report(ClientContext& ctx, const char* format, HRESULT hr) {
  char text[256];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(hr));
  ctx.ports.windows->MessageBox(ctx.main_window.load(), text, "Communication Error!",
                                kMbIconWarning);
  return hr;
}

HRESULT Log(ClientContext& ctx, const char* format, HRESULT hr) {
  ctx.event_log.AddFormat(ctx.main_window.load(), format, static_cast<unsigned>(hr));
  return hr;
}

template <typename Object>
bool ProviderListed(Object& object) {
  std::uint32_t size = 0, count = 0;
  HRESULT hr = object.EnumServiceProviders(&CLSID_DP8SP_TCPIP, nullptr, &size, &count);
  if (hr != DPNERR_BUFFERTOOSMALL) return Succeeded(hr);
  std::vector<ServiceProviderInfo> list(size / sizeof(ServiceProviderInfo) + 1);
  hr = object.EnumServiceProviders(&CLSID_DP8SP_TCPIP, list.data(), &size, &count);
  return Succeeded(hr) && count > 0;
}

}  // namespace

bool CheckTcpIpProvider(Client& client, Server& server) {
  return ProviderListed(client) && ProviderListed(server);
}

HRESULT CreateNetworkObjects(ClientContext& ctx, const Handlers& handlers) {
  NetObjects& n = ctx.net;
  HRESULT hr = ctx.ports.network->CreateClient(&n.net_client);
  if (Failed(hr))
    return Report(ctx, "[Error!] Failed co-creating the IDirectPlay8Client instance:  %X\n", hr);
  hr = ctx.ports.network->CreateServer(&n.peer_server);
  if (Failed(hr))
    return Report(ctx, "[Error!] Failed co-creating the IDirectPlay8Server instance:  %X\n", hr);
  hr = ctx.ports.voice->CreateVoiceClient(&n.voice_client);
  if (Failed(hr))
    return Report(ctx, "[Error!] Failed co-creating the DirectPlayVoiceClient instance:  %X\n", hr);
  hr = n.net_client->Initialize(handlers.context, handlers.server_messages, 1);
  if (Failed(hr)) return Report(ctx, "Failed on Initialize for our client:  %X\n", hr);
  hr = n.peer_server->Initialize(handlers.context, handlers.peer_messages, 1);
  if (Failed(hr)) return Report(ctx, "Failed on Initialize for our peers:  %X\n", hr);
  n.net_client->SetInlineFilter(handlers.server_inline);
  n.peer_server->SetInlineFilter(handlers.peer_inline);
  hr = n.voice_client->Initialize(n.net_client.get(), handlers.voice_messages, handlers.context);
  if (Failed(hr)) return Report(ctx, "Failed on Initialize for m_pVoiceClient:  %X\n", hr);
  if (!CheckTcpIpProvider(*n.net_client, *n.peer_server)) {
    ctx.ports.windows->MessageBox(ctx.main_window.load(),
                                  "[Error!] Failed validating CLSID_DP8SP_TCPIP",
                                  "Communication Error!", kMbIconWarning);
    return E_FAIL;
  }
  return hr;
}

HRESULT BuildDeviceAddresses(ClientContext& ctx) {
  Network& network = *ctx.ports.network;
  NetObjects& n = ctx.net;
  HRESULT hr = network.CreateAddress(&n.client_device_address);
  if (Failed(hr))
    return Log(ctx, "[Error!] Failed to co-create the IDirectPlay8AddressC instance:  %X", hr);
  hr = network.CreateAddress(&n.peer_host_address);
  if (Failed(hr))
    return Log(ctx, "[Error!] Failed to co-create the IDirectPlay8AddressS instance:  %X", hr);
  hr = network.SetSP(*n.client_device_address, CLSID_DP8SP_TCPIP);
  if (Failed(hr))
    return Log(ctx, "[Error!] Failed setting the service provider for client:  %X", hr);
  hr = network.SetSP(*n.peer_host_address, CLSID_DP8SP_TCPIP);
  if (Failed(hr))
    return Log(ctx, "[Error!] Failed setting the service provider for peer server:  %X", hr);
  hr = network.AddComponent(*n.peer_host_address, "port", ctx.peer_host_port);
  if (Failed(hr)) return Log(ctx, "[Error!] Failed adding port to host address:  %x", hr);
  return hr;
}

HRESULT BuildServerAddress(ClientContext& ctx, std::string_view host) {
  Network& network = *ctx.ports.network;
  NetObjects& n = ctx.net;
  HRESULT hr = network.CreateAddress(&n.server_address);
  if (Failed(hr))
    return Log(ctx, "[Error!] Failed co-creating the IDirectPlay8Address instance (3):  %X", hr);
  hr = network.SetSP(*n.server_address, CLSID_DP8SP_TCPIP);
  if (Failed(hr)) return Log(ctx, "[Error!] Failed setting the service provider:  %X", hr);
  hr = network.AddComponent(*n.server_address, "hostname", host);
  if (Failed(hr)) return Log(ctx, "[Error!] Failed adding host name to host address:  %X", hr);
  return network.AddComponent(*n.server_address, "port", ctx.server_port);
}

}  // namespace talmeris
