// The transport's faces on the endpoint: the client session (`EnetClient`), the peer host
// (`EnetServer`) and the network object that makes them and their addresses. Each face owns one
// endpoint; its state is the endpoint's, under the endpoint's host mutex.
#include "net/enet_transport.h"

#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "net/endpoint.h"
#include "net/pool.h"

namespace talmeris::net {
namespace {

using namespace detail;

HRESULT EnumProviders(const Guid* provider, ServiceProviderInfo* buffer, std::uint32_t* buffer_size,
                      std::uint32_t* count) {
  if (!buffer_size || !count) return DPNERR_INVALIDPARAM;
  if (provider && !(*provider == CLSID_DP8SP_TCPIP)) return DPNERR_DOESNOTEXIST;
  // UDP networking is usable when a datagram socket can be opened.
  int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const std::uint32_t entries = probe >= 0 ? 1 : 0;
  if (probe >= 0) ::close(probe);
  const auto needed = entries * static_cast<std::uint32_t>(sizeof(ServiceProviderInfo));
  if (!buffer || *buffer_size < needed) {
    *buffer_size = needed;
    return DPNERR_BUFFERTOOSMALL;
  }
  if (entries) {
    buffer[0].guid = CLSID_DP8SP_TCPIP;
    std::snprintf(buffer[0].name, sizeof buffer[0].name, "TCP/IP (UDP)");
  }
  *count = entries;
  return DPN_OK;
}

class EnetClient final : public Client {
 public:
  explicit EnetClient(const EnetOptions& options) : ep_(options) {}

  HRESULT Initialize(void* context, MessageHandler handler, std::uint32_t) override {
    return ep_.Initialize(context, handler);
  }
  void SetInlineFilter(InlineFilter filter) override { ep_.inline_filter = filter; }
  HRESULT EnumServiceProviders(const Guid* provider, ServiceProviderInfo* buffer,
                               std::uint32_t* size, std::uint32_t* count) override {
    return EnumProviders(provider, buffer, size, count);
  }
  HRESULT Connect(const ApplicationDesc& app, const Address& host_address,
                  const Address&) override {
    if (!ep_.initialized || closed_) return DPNERR_UNINITIALIZED;
    if (ep_.host) return ep_.connected.load() ? DPNERR_ALREADYCONNECTED : DPNERR_CONNECTING;
    if (!host_address.hostname || !host_address.port || *host_address.port > 65535)
      return DPNERR_INVALIDHOSTADDRESS;
    ENetAddress address;
    if (enet_address_set_host(&address, host_address.hostname->c_str()) != 0)
      return DPNERR_INVALIDHOSTADDRESS;
    address.port = static_cast<enet_uint16>(*host_address.port);
    if (!ep_.CreateHost(nullptr, 1)) return DPNERR_OUTOFMEMORY;
    ep_.application = app.application;
    ep_.dispatcher = std::make_unique<Dispatcher>(ep_.context, ep_.handler, 1);
    ep_.client_connection = std::make_unique<Connection>();
    Connection& c = *ep_.client_connection;
    c.opened_ns = NowNs();
    c.peer = enet_host_connect(ep_.host, &address, kChannels, kConnectMagic);
    if (!c.peer) return DPNERR_OUTOFMEMORY;
    c.peer->data = &c;
    enet_peer_timeout(c.peer, 0, ep_.options.timeout_min_ms, ep_.options.timeout_max_ms);
    enet_peer_ping_interval(c.peer, kKeepAliveMs);
    ep_.server_connection = &c;
    ep_.connecting.store(true);
    ep_.StartService();
    return DPNSUCCESS_PENDING;
  }
  HRESULT Send(const std::uint8_t* data, std::uint32_t size, std::uint32_t,
               std::uint32_t flags) override {
    if (closed_) return DPNERR_UNINITIALIZED;
    return ep_.Send(0, data, size, flags);
  }
  void SecureWith(const std::uint8_t* expected_key) override {
    std::lock_guard lock(ep_.host_mutex);
    ep_.secure = true;
    ep_.pin_server_key = expected_key != nullptr;
    if (expected_key)
      std::copy(expected_key, expected_key + kKeySize, ep_.expected_server_key.begin());
  }
  bool ServerKey(std::uint8_t* key) override {
    std::lock_guard lock(ep_.host_mutex);
    if (!ep_.server_key_proven) return false;
    std::copy(ep_.proven_server_key.begin(), ep_.proven_server_key.end(), key);
    return true;
  }
  void SetVoiceSink(const VoiceSink& sink) override { ep_.SetVoiceSink(sink); }
  HRESULT SendVoice(const std::uint8_t* data, std::uint32_t size, bool guaranteed) override {
    if (closed_) return DPNERR_UNINITIALIZED;
    return ep_.SendVoice(0, data, size, guaranteed);
  }
  HRESULT GetConnectionInfo(ConnectionInfo* info) override {
    if (!info) return DPNERR_INVALIDPARAM;
    if (closed_ || !ep_.connected.load() || !ep_.client_connection) return DPNERR_NOCONNECTION;
    ep_.client_connection->Fill(info);
    return DPN_OK;
  }
  HRESULT Close(std::uint32_t) override {
    if (closed_) return DPNERR_UNINITIALIZED;
    closed_ = true;
    ep_.connected.store(false);
    ep_.Shutdown();
    return DPN_OK;
  }

 private:
  Endpoint ep_;
  std::atomic<bool> closed_{false};
};

class EnetServer final : public Server {
 public:
  explicit EnetServer(const EnetOptions& options) : ep_(options) {
    ep_.is_server = true;
    if (options.secure_host) {
      ep_.secure = true;
      Key secret;
      std::copy(options.host_secret_key.begin(), options.host_secret_key.end(), secret.begin());
      ep_.host_key = KeyPairFromSecret(secret);
      sodium_memzero(secret.data(), secret.size());
      sodium_memzero(ep_.options.host_secret_key.data(), ep_.options.host_secret_key.size());
    }
  }

  HRESULT Initialize(void* context, MessageHandler handler, std::uint32_t) override {
    return ep_.Initialize(context, handler);
  }
  void SetInlineFilter(InlineFilter filter) override { ep_.inline_filter = filter; }
  HRESULT EnumServiceProviders(const Guid* provider, ServiceProviderInfo* buffer,
                               std::uint32_t* size, std::uint32_t* count) override {
    return EnumProviders(provider, buffer, size, count);
  }
  HRESULT Host(const ApplicationDesc& app, const Address& device) override {
    if (!ep_.initialized || closed_) return DPNERR_UNINITIALIZED;
    if (ep_.host) return DPNERR_ALREADYINITIALIZED;
    if (!device.service_provider || !device.port || *device.port > 65535)
      return DPNERR_INVALIDDEVICEADDRESS;
    ENetAddress address;
    if (enet_address_set_host_ip(&address, ep_.options.listen_host) != 0)
      return DPNERR_INVALIDDEVICEADDRESS;
    address.port = static_cast<enet_uint16>(*device.port);
    // Spare ENet slots let a new connection arrive while the host is full, to take the place
    // of one that never registered.
    if (!ep_.CreateHost(&address, kMaxConnections + kSpareSlots))
      return DPNERR_INVALIDDEVICEADDRESS;  // port taken
    ep_.application = app.application;
    ep_.dispatcher = std::make_unique<Dispatcher>(ep_.context, ep_.handler, kMaxHandlerThreads);
    // The host's own player is reported first, before Host returns.
    Strand own;
    ep_.dispatcher->Post(own, {MessageId::CreatePlayer, DPN_OK, ep_.host_player, nullptr, true});
    ep_.dispatcher->Drain(own);
    ep_.StartService();
    return DPN_OK;
  }
  HRESULT SendTo(DPNID player, const std::uint8_t* data, std::uint32_t size, std::uint32_t,
                 std::uint32_t flags) override {
    if (closed_ || !ep_.host) return DPNERR_UNINITIALIZED;
    return ep_.Send(player, data, size, flags);
  }
  void SetVoiceSink(const VoiceSink& sink) override { ep_.SetVoiceSink(sink); }
  HRESULT SendVoiceTo(DPNID player, const std::uint8_t* data, std::uint32_t size,
                      bool guaranteed) override {
    if (closed_) return DPNERR_UNINITIALIZED;
    return ep_.SendVoice(player, data, size, guaranteed);
  }
  HRESULT GetSendQueueInfo(DPNID player, std::uint32_t* messages, std::uint32_t* bytes,
                           std::uint32_t) override {
    if (closed_) return DPNERR_UNINITIALIZED;
    std::lock_guard lock(ep_.host_mutex);
    auto it = ep_.connections.find(player);
    if (it == ep_.connections.end()) return DPNERR_INVALIDPLAYER;
    const Connection& c = *it->second;
    if (messages) *messages = c.queued_messages.load();
    if (bytes) *bytes = c.queued_bytes.load();
    return DPN_OK;
  }
  HRESULT KeepPlayer(DPNID player) override {
    if (closed_) return DPNERR_UNINITIALIZED;
    std::lock_guard lock(ep_.host_mutex);
    auto it = ep_.connections.find(player);
    if (it == ep_.connections.end()) return DPNERR_INVALIDPLAYER;
    it->second->kept = true;
    return DPN_OK;
  }
  HRESULT GetConnectionInfo(DPNID player, ConnectionInfo* info) override {
    if (!info) return DPNERR_INVALIDPARAM;
    if (closed_) return DPNERR_UNINITIALIZED;
    std::lock_guard lock(ep_.host_mutex);
    auto it = ep_.connections.find(player);
    if (it == ep_.connections.end()) return DPNERR_INVALIDPLAYER;
    it->second->Fill(info);
    return DPN_OK;
  }
  HRESULT Close(std::uint32_t) override {
    if (closed_) return DPNERR_UNINITIALIZED;
    closed_ = true;
    ep_.Shutdown();
    return DPN_OK;
  }

 private:
  Endpoint ep_;
  std::atomic<bool> closed_{false};
};

class EnetNetwork final : public Network {
 public:
  explicit EnetNetwork(const EnetOptions& options) : options_(options) { InitialiseEnetOnce(); }
  ~EnetNetwork() override {
    sodium_memzero(options_.host_secret_key.data(), options_.host_secret_key.size());
  }
  HRESULT CreateClient(std::unique_ptr<Client>* client) override {
    *client = std::make_unique<EnetClient>(options_);
    return DPN_OK;
  }
  HRESULT CreateServer(std::unique_ptr<Server>* server) override {
    *server = std::make_unique<EnetServer>(options_);
    return DPN_OK;
  }
  HRESULT CreateAddress(std::unique_ptr<Address>* address) override {
    *address = std::make_unique<Address>();
    return DPN_OK;
  }
  HRESULT SetSP(Address& address, const Guid& provider) override {
    if (!(provider == CLSID_DP8SP_TCPIP)) return DPNERR_INVALIDPARAM;
    address.service_provider = provider;
    return DPN_OK;
  }
  HRESULT AddComponent(Address& address, std::string_view name, std::string_view text) override {
    if (name == "port") return DPNERR_INVALIDPARAM;
    if (name == "hostname") {
      if (text.empty() || text.find('\0') != std::string_view::npos) return DPNERR_INVALIDPARAM;
      address.hostname = std::string(text);
    }
    return DPN_OK;
  }
  HRESULT AddComponent(Address& address, std::string_view name, std::uint32_t value) override {
    if (name == "hostname") return DPNERR_INVALIDPARAM;
    if (name == "port") address.port = value;
    return DPN_OK;
  }

 private:
  EnetOptions options_;
};

}  // namespace

std::unique_ptr<Network> CreateEnetNetwork(const EnetOptions& options) {
  return std::make_unique<EnetNetwork>(options);
}

std::uint64_t TransportHeapAllocations() {
  return PoolHeapAllocations();
}

}  // namespace talmeris::net
