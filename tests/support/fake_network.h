// In-process fakes of the transport port: every call is recorded, every result scriptable, and
// tests deliver handler messages themselves.
#pragma once

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/transport.h"

namespace talmeris::test {

struct SentMessage {
  net::DPNID to = 0;  // 0 for the client's sends to the server, and for "all players"
  std::vector<std::uint8_t> data;
  std::uint32_t timeout_ms = 0;
  std::uint32_t flags = 0;
};

// Results the fakes give, by operation name ("CreateClient", "Client.Initialize", "SetSP#2",
// "Server.Host", ...). A name with "#n" applies to the n-th call only (1-based).
struct FakeScript {
  std::map<std::string, net::HRESULT> results;
  std::uint32_t providers = 1;  // service-provider entries listed
};

class FakeNetwork;

class FakeClient final : public net::Client {
 public:
  explicit FakeClient(FakeNetwork& network) : network_(network) {}
  net::HRESULT Initialize(void* context, net::MessageHandler handler, std::uint32_t) override;
  void SetInlineFilter(net::InlineFilter) override {}
  net::HRESULT EnumServiceProviders(const net::Guid*, net::ServiceProviderInfo* buffer,
                                    std::uint32_t* size, std::uint32_t* count) override;
  net::HRESULT Connect(const net::ApplicationDesc& app, const net::Address& host,
                       const net::Address& device) override;
  net::HRESULT Send(const std::uint8_t* data, std::uint32_t size, std::uint32_t timeout_ms,
                    std::uint32_t flags) override;
  net::HRESULT GetConnectionInfo(net::ConnectionInfo* info) override;
  net::HRESULT Close(std::uint32_t flags) override;

  // The secure session: the pin the client asked for, and the key the "server" proves.
  void SecureWith(const std::uint8_t* expected_key) override {
    secured = true;
    pinned = expected_key != nullptr;
    if (pinned) std::copy(expected_key, expected_key + 32, pinned_key.begin());
  }
  bool ServerKey(std::uint8_t* key) override {
    std::copy(proven_key.begin(), proven_key.end(), key);
    return proves_key;
  }
  bool secured = false;
  bool pinned = false;
  std::array<std::uint8_t, 32> pinned_key{};
  bool proves_key = false;
  std::array<std::uint8_t, 32> proven_key{};

  // Delivers a message to the registered handler, as the transport's worker would.
  net::HRESULT Deliver(const net::Message& message);

  void* context = nullptr;
  net::MessageHandler handler = nullptr;
  net::ApplicationDesc connected_app;
  net::Address connected_host;
  std::uint32_t round_trip_ms = 42;

 private:
  FakeNetwork& network_;
};

class FakeServer final : public net::Server {
 public:
  explicit FakeServer(FakeNetwork& network) : network_(network) {}
  net::HRESULT Initialize(void* context, net::MessageHandler handler, std::uint32_t) override;
  void SetInlineFilter(net::InlineFilter) override {}
  net::HRESULT EnumServiceProviders(const net::Guid*, net::ServiceProviderInfo* buffer,
                                    std::uint32_t* size, std::uint32_t* count) override;
  net::HRESULT Host(const net::ApplicationDesc& app, const net::Address& device) override;
  net::HRESULT SendTo(net::DPNID player, const std::uint8_t* data, std::uint32_t size,
                      std::uint32_t timeout_ms, std::uint32_t flags) override;
  net::HRESULT GetSendQueueInfo(net::DPNID player, std::uint32_t* messages, std::uint32_t* bytes,
                                std::uint32_t flags) override;
  net::HRESULT GetConnectionInfo(net::DPNID player, net::ConnectionInfo* info) override;
  net::HRESULT KeepPlayer(net::DPNID player) override;
  net::HRESULT Close(std::uint32_t flags) override;

  net::HRESULT Deliver(const net::Message& message);

  void* context = nullptr;
  net::MessageHandler handler = nullptr;
  net::ApplicationDesc hosted_app;
  net::Address hosted_device;

 private:
  FakeNetwork& network_;
};

class FakeNetwork final : public net::Network {
 public:
  FakeScript script;

  net::HRESULT CreateClient(std::unique_ptr<net::Client>* client) override;
  net::HRESULT CreateServer(std::unique_ptr<net::Server>* server) override;
  net::HRESULT CreateAddress(std::unique_ptr<net::Address>* address) override;
  net::HRESULT SetSP(net::Address& address, const net::Guid& provider) override;
  net::HRESULT AddComponent(net::Address& address, std::string_view name,
                            std::string_view text) override;
  net::HRESULT AddComponent(net::Address& address, std::string_view name,
                            std::uint32_t value) override;

  // The result scripted for the next call of `op` (counting calls), DPN_OK when none is.
  net::HRESULT Result(const std::string& op);

  std::vector<std::string> Operations() const;
  std::vector<SentMessage> ClientSends() const;
  std::vector<SentMessage> ServerSends() const;
  void ClearSends();

  FakeClient* client = nullptr;  // the objects created last (owned by the caller)
  FakeServer* server = nullptr;

 private:
  friend class FakeClient;
  friend class FakeServer;
  void Log(const std::string& op);
  mutable std::mutex mutex_;
  std::map<std::string, int> counts_;
  std::vector<std::string> operations_;
  std::vector<SentMessage> client_sends_;
  std::vector<SentMessage> server_sends_;
};

}  // namespace talmeris::test
