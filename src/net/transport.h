// The session transport port: the operations, send flags, handler messages and result codes the
// client relies on for its session to the game server (the client object) and for the local
// peer host (the server object). The ENet implementation lives in enet_transport.*; tests use
// in-process fakes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace talmeris::net {

using HRESULT = std::int32_t;
using DPNID = std::uint32_t;

constexpr bool Failed(HRESULT hr) {
  return hr < 0;
}
constexpr bool Succeeded(HRESULT hr) {
  return hr >= 0;
}
constexpr HRESULT MakeError(std::uint32_t code) {
  return static_cast<HRESULT>(code);
}

// Result codes, with the numeric values the program has always shown through "%X".
constexpr HRESULT DPN_OK = 0;
constexpr HRESULT DPNSUCCESS_PENDING = 0x0015800E;
constexpr HRESULT E_FAIL = MakeError(0x80004005);
constexpr HRESULT E_NOTIMPL = MakeError(0x80004001);
constexpr HRESULT DPNERR_GENERIC = E_FAIL;
constexpr HRESULT DPNERR_INVALIDPARAM = MakeError(0x80070057);
constexpr HRESULT DPNERR_OUTOFMEMORY = MakeError(0x8007000E);
constexpr HRESULT DPNERR_ALREADYCONNECTED = MakeError(0x80158060);
constexpr HRESULT DPNERR_ALREADYINITIALIZED = MakeError(0x80158080);
constexpr HRESULT DPNERR_BUFFERTOOSMALL = MakeError(0x80158100);
constexpr HRESULT DPNERR_CONNECTING = MakeError(0x80158150);
constexpr HRESULT DPNERR_CONNECTIONLOST = MakeError(0x80158160);
constexpr HRESULT DPNERR_DATATOOLARGE = MakeError(0x80158175);
constexpr HRESULT DPNERR_DOESNOTEXIST = MakeError(0x80158180);
constexpr HRESULT DPNERR_DPNSVRNOTAVAILABLE = MakeError(0x80158185);
constexpr HRESULT DPNERR_HOSTREJECTEDCONNECTION = MakeError(0x80158260);
constexpr HRESULT DPNERR_HOSTTERMINATEDSESSION = MakeError(0x80158270);
constexpr HRESULT DPNERR_INVALIDAPPLICATION = MakeError(0x80158300);
constexpr HRESULT DPNERR_INVALIDDEVICEADDRESS = MakeError(0x80158320);
constexpr HRESULT DPNERR_INVALIDFLAGS = MakeError(0x80158340);
constexpr HRESULT DPNERR_INVALIDHOSTADDRESS = MakeError(0x80158370);
constexpr HRESULT DPNERR_INVALIDPLAYER = MakeError(0x801583B0);
constexpr HRESULT DPNERR_NOCONNECTION = MakeError(0x80158400);
constexpr HRESULT DPNERR_NORESPONSE = MakeError(0x80158430);
constexpr HRESULT DPNERR_NOTHOST = MakeError(0x80158450);
constexpr HRESULT DPNERR_NOTREADY = MakeError(0x80158460);
constexpr HRESULT DPNERR_SENDTOOLARGE = MakeError(0x80158530);
constexpr HRESULT DPNERR_TIMEDOUT = MakeError(0x80158560);
constexpr HRESULT DPNERR_UNINITIALIZED = MakeError(0x80158570);
constexpr HRESULT DPNERR_UNSUPPORTED = E_NOTIMPL;
// Ours: the server did not prove the static key the secure session expected (or none at all).
constexpr HRESULT DPNERR_SERVERKEY = MakeError(0x80158E01);
// Ours: a secure session ended because a guaranteed datagram did not open or came out of
// sequence (something on the path deleted, changed or reordered it).
constexpr HRESULT DPNERR_TAMPERED = MakeError(0x80158E02);
// Ours: a secure client met a server that answered in clear (it proved no key at all).
constexpr HRESULT DPNERR_NOTSECURE = MakeError(0x80158E03);

// Send flags.
enum : std::uint32_t {
  DPNSEND_NOCOMPLETE = 0x0002,
  DPNSEND_GUARANTEED = 0x0008,
  DPNSEND_NONSEQUENTIAL = 0x0010,
  DPNSEND_NOLOOPBACK = 0x0020,
  DPNSEND_COALESCE = 0x0100,
};
constexpr std::uint32_t kKnownSendFlags = DPNSEND_NOCOMPLETE | DPNSEND_GUARANTEED |
                                          DPNSEND_NONSEQUENTIAL | DPNSEND_NOLOOPBACK |
                                          DPNSEND_COALESCE;

// Session flags of an application description.
enum : std::uint32_t {
  DPNSESSION_CLIENT_SERVER = 0x0001,
  DPNSESSION_NODPNSVR = 0x0040,
};

// Flags of Close and GetSendQueueInfo.
constexpr std::uint32_t kCloseImmediate = 0x80000000;
constexpr DPNID DPNID_ALL_PLAYERS_GROUP = 0;
constexpr std::uint32_t kMaxPayload = 65536;  // the largest message the transport carries

// Message ids delivered to the handlers.
enum class MessageId : std::uint32_t {
  ConnectComplete = 0xFFFF0005,
  CreatePlayer = 0xFFFF0007,
  DestroyPlayer = 0xFFFF0009,
  Receive = 0xFFFF0011,
  TerminateSession = 0xFFFF0016,
};

// One message to a handler. `data` is valid only during the handler call.
struct Message {
  MessageId id;
  HRESULT result = DPN_OK;  // ConnectComplete, TerminateSession
  DPNID player = 0;         // CreatePlayer, DestroyPlayer, Receive (the sender)
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
};

// Handlers are plain functions with a context pointer; they return DPN_OK.
using MessageHandler = HRESULT (*)(void* context, const Message& message);

// Says, by its payload, whether a received message's handling can never block (no message box,
// no wait, no lock held across a blocking call). Such a message is handled on the transport's
// service thread when its connection has nothing else queued or running; all others on a
// handler thread.
using InlineFilter = bool (*)(const std::uint8_t* data, std::uint32_t size);

struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  // Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" into the usual mixed-endian byte order.
  static std::optional<Guid> Parse(std::string_view text);
  std::string ToString() const;
  friend bool operator==(const Guid&, const Guid&) = default;
};

// The only service provider there is.
extern const Guid CLSID_DP8SP_TCPIP;

struct ApplicationDesc {
  std::uint32_t size = 96;
  std::uint32_t flags = 0;
  Guid application;
  Guid instance;
  std::uint32_t max_players = 0;
  std::string session_name;
};

// An endpoint address: service provider, "hostname" (text) and "port" (32-bit) components.
struct Address {
  std::optional<Guid> service_provider;
  std::optional<std::string> hostname;
  std::optional<std::uint32_t> port;
};

// One entry of the service-provider list.
struct ServiceProviderInfo {
  Guid guid;
  char name[32];
};

// Connection statistics of one connection.
struct ConnectionInfo {
  std::uint32_t round_trip_latency_ms = 0;
  std::uint32_t throughput_bps = 0;
  std::uint32_t peak_throughput_bps = 0;
  std::uint32_t bytes_sent_guaranteed = 0;
  std::uint32_t packets_sent_guaranteed = 0;
  std::uint32_t bytes_sent_non_guaranteed = 0;
  std::uint32_t packets_sent_non_guaranteed = 0;
  std::uint32_t bytes_retried = 0;
  std::uint32_t packets_retried = 0;
  std::uint32_t bytes_dropped = 0;
  std::uint32_t packets_dropped = 0;
  std::uint32_t messages_timed_out = 0;
  std::uint32_t bytes_received_guaranteed = 0;
  std::uint32_t packets_received_guaranteed = 0;
  std::uint32_t bytes_received_non_guaranteed = 0;
  std::uint32_t packets_received_non_guaranteed = 0;
  std::uint32_t messages_received = 0;
  // Received unguaranteed messages dropped because the handler fell behind.
  std::uint32_t receives_dropped = 0;
  // Secure session: datagrams dropped because they did not open (a wrong tag, a damaged or
  // forged datagram) and because their counter had been seen or fell behind the replay window.
  std::uint32_t receives_unopened = 0;
  std::uint32_t receives_replayed = 0;
};

// Voice traffic: a channel of its own beside the session's messages (docs/voice.md). The message
// handler never sees it. `receive` runs on the transport's service thread with no lock held and
// must not block; `ended` tells a client that its session is gone (lost or ended by the host).
struct VoiceSink {
  void* context = nullptr;
  void (*receive)(void* context, DPNID from, const std::uint8_t* data,
                  std::uint32_t size) = nullptr;
  void (*ended)(void* context) = nullptr;
};
constexpr std::uint32_t kMaxVoicePayload = 1024;

// The client object: one session to a host.
class Client {
 public:
  virtual ~Client() = default;
  virtual HRESULT Initialize(void* context, MessageHandler handler, std::uint32_t flags) = 0;
  virtual void SetInlineFilter(InlineFilter filter) = 0;
  // First call with buffer null: DPNERR_BUFFERTOOSMALL and the needed size; then the list.
  virtual HRESULT EnumServiceProviders(const Guid* provider, ServiceProviderInfo* buffer,
                                       std::uint32_t* buffer_size, std::uint32_t* count) = 0;
  // Asynchronous: a negative result on immediate failure, else ConnectComplete later.
  virtual HRESULT Connect(const ApplicationDesc& app, const Address& host,
                          const Address& device) = 0;
  virtual HRESULT Send(const std::uint8_t* data, std::uint32_t size, std::uint32_t timeout_ms,
                       std::uint32_t flags) = 0;
  virtual HRESULT GetConnectionInfo(ConnectionInfo* info) = 0;
  // After Close returns no handler call is running or will start.
  virtual HRESULT Close(std::uint32_t flags) = 0;
  // Voice: set the sink before connecting; a host that offers no voice channel answers
  // DPNERR_UNSUPPORTED.
  virtual void SetVoiceSink(const VoiceSink&) {}
  virtual HRESULT SendVoice(const std::uint8_t*, std::uint32_t, bool /*guaranteed*/) {
    return DPNERR_UNSUPPORTED;
  }
  // Makes the next Connect a secure session: the server must prove a static key in the
  // handshake, and every datagram is sealed. `expected_key` (32 bytes) pins that key: a server
  // proving another is refused with DPNERR_SERVERKEY; null takes whatever key it proves, which
  // ServerKey then gives. Call before Connect.
  virtual void SecureWith(const std::uint8_t* /*expected_key*/) {}
  // The static key the server proved (32 bytes into `key`), also one refused for not being the
  // one expected; false while no server has proven one.
  virtual bool ServerKey(std::uint8_t* /*key*/) { return false; }
};

// The server object: the local peer host.
class Server {
 public:
  virtual ~Server() = default;
  virtual HRESULT Initialize(void* context, MessageHandler handler, std::uint32_t flags) = 0;
  virtual void SetInlineFilter(InlineFilter filter) = 0;
  virtual HRESULT EnumServiceProviders(const Guid* provider, ServiceProviderInfo* buffer,
                                       std::uint32_t* buffer_size, std::uint32_t* count) = 0;
  virtual HRESULT Host(const ApplicationDesc& app, const Address& device) = 0;
  virtual HRESULT SendTo(DPNID player, const std::uint8_t* data, std::uint32_t size,
                         std::uint32_t timeout_ms, std::uint32_t flags) = 0;
  virtual HRESULT GetSendQueueInfo(DPNID player, std::uint32_t* messages, std::uint32_t* bytes,
                                   std::uint32_t flags) = 0;
  virtual HRESULT GetConnectionInfo(DPNID player, ConnectionInfo* info) = 0;
  // Marks a player the application has taken in: when the host is full, a new connection takes
  // the place of the oldest connection not so marked, never of a kept player.
  virtual HRESULT KeepPlayer(DPNID player) = 0;
  virtual HRESULT Close(std::uint32_t flags) = 0;
  // Voice: set the sink before hosting.
  virtual void SetVoiceSink(const VoiceSink&) {}
  virtual HRESULT SendVoiceTo(DPNID, const std::uint8_t*, std::uint32_t, bool /*guaranteed*/) {
    return DPNERR_UNSUPPORTED;
  }
};

// Creation of the objects and the address operations: the port's entry.
class Network {
 public:
  virtual ~Network() = default;
  virtual HRESULT CreateClient(std::unique_ptr<Client>* client) = 0;
  virtual HRESULT CreateServer(std::unique_ptr<Server>* server) = 0;
  virtual HRESULT CreateAddress(std::unique_ptr<Address>* address) = 0;
  virtual HRESULT SetSP(Address& address, const Guid& provider) = 0;
  virtual HRESULT AddComponent(Address& address, std::string_view name, std::string_view text) = 0;
  virtual HRESULT AddComponent(Address& address, std::string_view name, std::uint32_t value) = 0;
};

}  // namespace talmeris::net
