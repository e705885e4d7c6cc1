#include "support/fake_network.h"

#include <cstdio>
#include <cstring>

namespace talmeris::test {

using namespace net;

HRESULT FakeNetwork::Result(const std::string& op) {
  std::lock_guard lock(mutex_);
  int n = ++counts_[op];
  if (auto it = script.results.find(op + "#" + std::to_string(n)); it != script.results.end())
    return it->second;
  if (auto it = script.results.find(op); it != script.results.end()) return it->second;
  return DPN_OK;
}

void FakeNetwork::Log(const std::string& op) {
  std::lock_guard lock(mutex_);
  operations_.push_back(op);
}

std::vector<std::string> FakeNetwork::Operations() const {
  std::lock_guard lock(mutex_);
  return operations_;
}
std::vector<SentMessage> FakeNetwork::ClientSends() const {
  std::lock_guard lock(mutex_);
  return client_sends_;
}
std::vector<SentMessage> FakeNetwork::ServerSends() const {
  std::lock_guard lock(mutex_);
  return server_sends_;
}
void FakeNetwork::ClearSends() {
  std::lock_guard lock(mutex_);
  client_sends_.clear();
  server_sends_.clear();
}

HRESULT FakeNetwork::CreateClient(std::unique_ptr<Client>* out) {
  Log("CreateClient");
  if (HRESULT hr = Result("CreateClient"); Failed(hr)) return hr;
  auto c = std::make_unique<FakeClient>(*this);
  client = c.get();
  *out = std::move(c);
  return DPN_OK;
}
HRESULT FakeNetwork::CreateServer(std::unique_ptr<Server>* out) {
  Log("CreateServer");
  if (HRESULT hr = Result("CreateServer"); Failed(hr)) return hr;
  auto s = std::make_unique<FakeServer>(*this);
  server = s.get();
  *out = std::move(s);
  return DPN_OK;
}
HRESULT FakeNetwork::CreateAddress(std::unique_ptr<Address>* out) {
  Log("CreateAddress");
  if (HRESULT hr = Result("CreateAddress"); Failed(hr)) return hr;
  *out = std::make_unique<Address>();
  return DPN_OK;
}
HRESULT FakeNetwork::SetSP(Address& address, const Guid& provider) {
  Log("SetSP");
  if (HRESULT hr = Result("SetSP"); Failed(hr)) return hr;
  address.service_provider = provider;
  return DPN_OK;
}
HRESULT FakeNetwork::AddComponent(Address& address, std::string_view name, std::string_view text) {
  Log("AddComponent " + std::string(name) + "=" + std::string(text));
  if (HRESULT hr = Result("AddComponent"); Failed(hr)) return hr;
  if (name == "hostname") address.hostname = std::string(text);
  return DPN_OK;
}
HRESULT FakeNetwork::AddComponent(Address& address, std::string_view name, std::uint32_t value) {
  Log("AddComponent " + std::string(name) + "=" + std::to_string(value));
  if (HRESULT hr = Result("AddComponent"); Failed(hr)) return hr;
  if (name == "port") address.port = value;
  return DPN_OK;
}

namespace {
HRESULT EnumProviders(FakeNetwork& n, const std::string& who, ServiceProviderInfo* buffer,
                      std::uint32_t* size, std::uint32_t* count) {
  if (HRESULT hr = n.Result(who + ".EnumServiceProviders"); Failed(hr)) return hr;
  std::uint32_t needed = n.script.providers * sizeof(ServiceProviderInfo);
  if (!buffer || *size < needed) {
    *size = needed;
    return DPNERR_BUFFERTOOSMALL;
  }
  for (std::uint32_t i = 0; i < n.script.providers; ++i) {
    buffer[i].guid = CLSID_DP8SP_TCPIP;
    std::strcpy(buffer[i].name, "TCP/IP");
  }
  *count = n.script.providers;
  return DPN_OK;
}
}  // namespace

HRESULT FakeClient::Initialize(void* ctx, MessageHandler h, std::uint32_t) {
  network_.Log("Client.Initialize");
  if (HRESULT hr = network_.Result("Client.Initialize"); Failed(hr)) return hr;
  context = ctx;
  handler = h;
  return DPN_OK;
}
HRESULT FakeClient::EnumServiceProviders(const Guid*, ServiceProviderInfo* buffer,
                                         std::uint32_t* size, std::uint32_t* count) {
  return EnumProviders(network_, "Client", buffer, size, count);
}
HRESULT FakeClient::Connect(const ApplicationDesc& app, const Address& host, const Address&) {
  network_.Log("Client.Connect");
  connected_app = app;
  connected_host = host;
  return network_.Result("Client.Connect");
}
HRESULT FakeClient::Send(const std::uint8_t* data, std::uint32_t size, std::uint32_t timeout_ms,
                         std::uint32_t flags) {
  {
    std::lock_guard lock(network_.mutex_);
    network_.client_sends_.push_back({0, {data, data + size}, timeout_ms, flags});
  }
  return network_.Result("Client.Send");
}
HRESULT FakeClient::GetConnectionInfo(ConnectionInfo* info) {
  if (HRESULT hr = network_.Result("Client.GetConnectionInfo"); Failed(hr)) return hr;
  *info = ConnectionInfo{};
  info->round_trip_latency_ms = round_trip_ms;
  return DPN_OK;
}
HRESULT FakeClient::Close(std::uint32_t flags) {
  network_.Log("Client.Close " + std::to_string(flags));
  return DPN_OK;
}
HRESULT FakeClient::Deliver(const Message& m) {
  return handler ? handler(context, m) : DPN_OK;
}

HRESULT FakeServer::Initialize(void* ctx, MessageHandler h, std::uint32_t) {
  network_.Log("Server.Initialize");
  if (HRESULT hr = network_.Result("Server.Initialize"); Failed(hr)) return hr;
  context = ctx;
  handler = h;
  return DPN_OK;
}
HRESULT FakeServer::EnumServiceProviders(const Guid*, ServiceProviderInfo* buffer,
                                         std::uint32_t* size, std::uint32_t* count) {
  return EnumProviders(network_, "Server", buffer, size, count);
}
HRESULT FakeServer::Host(const ApplicationDesc& app, const Address& device) {
  network_.Log("Server.Host");
  hosted_app = app;
  hosted_device = device;
  return network_.Result("Server.Host");
}
HRESULT FakeServer::SendTo(DPNID player, const std::uint8_t* data, std::uint32_t size,
                           std::uint32_t timeout_ms, std::uint32_t flags) {
  {
    std::lock_guard lock(network_.mutex_);
    network_.server_sends_.push_back({player, {data, data + size}, timeout_ms, flags});
  }
  return network_.Result("Server.SendTo");
}
HRESULT FakeServer::GetSendQueueInfo(DPNID, std::uint32_t* messages, std::uint32_t* bytes,
                                     std::uint32_t) {
  if (HRESULT hr = network_.Result("Server.GetSendQueueInfo"); Failed(hr)) return hr;
  if (messages) *messages = 0;
  if (bytes) *bytes = 0;
  return DPN_OK;
}
HRESULT FakeServer::GetConnectionInfo(DPNID, ConnectionInfo* info) {
  *info = ConnectionInfo{};
  return network_.Result("Server.GetConnectionInfo");
}
HRESULT FakeServer::KeepPlayer(DPNID player) {
  char line[40];
  std::snprintf(line, sizeof line, "Server.KeepPlayer %.8x", player);
  network_.Log(line);
  return DPN_OK;
}
HRESULT FakeServer::Close(std::uint32_t flags) {
  network_.Log("Server.Close " + std::to_string(flags));
  return DPN_OK;
}
HRESULT FakeServer::Deliver(const Message& m) {
  return handler ? handler(context, m) : DPN_OK;
}

}  // namespace talmeris::test
