// One ENet host with its service thread: the engine of both the client and the server faces.
// Its methods live by concern: the host's lifetime (endpoint.cpp), the handshake and control
// messages (handshake.cpp), the connection table with its displacement rule and time-outs
// (connection_table.cpp), the service loop (service_loop.cpp) and the send path with its
// bounds (send_path.cpp). `host_mutex` guards the ENet host and the tables; it is innermost.
#pragma once

#include <enet/enet.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/connection.h"
#include "net/dispatcher.h"
#include "net/enet_limits.h"
#include "net/enet_transport.h"
#include "net/transport.h"

namespace talmeris::net::detail {

// One ENet host with its service thread: the engine of both the client and the server.
//
// Every ENet call is made under `host_mutex`, the innermost lock: a sender calls ENet itself
// (no queue, no hand-off), the service thread takes it to service the host and releases it
// before any handler runs. Handlers of messages the owner's filter marks as unable to block run
// on the service thread; everything else on the dispatcher's pool.
struct Endpoint {
  explicit Endpoint(const EnetOptions& o);
  ~Endpoint();
  EnetOptions options;
  bool is_server = false;
  bool initialized = false;
  void* context = nullptr;
  MessageHandler handler = nullptr;
  InlineFilter inline_filter = nullptr;
  Guid application;
  ENetHost* host = nullptr;  // host_mutex once the service thread runs
  int wake_fd = -1;
  std::thread service;
  std::atomic<bool> running{false};
  std::atomic<bool> stop_requested{false};
  std::uint32_t drop_state = 12345;
  std::unique_ptr<Dispatcher> dispatcher;

  std::mutex host_mutex;
  // Server: connections by id, the ones that have not said hello, and departed ones whose strand
  // still delivers their last messages. Client: its one connection.
  std::unordered_map<DPNID, std::unique_ptr<Connection>> connections;
  std::vector<std::unique_ptr<Connection>> pending_connections;
  std::vector<std::unique_ptr<Connection>> departed;
  std::unique_ptr<Connection> client_connection;
  DPNID next_id = 0x00200002;
  DPNID host_player = 0x00200001;
  VoiceSink voice_sink;  // host_mutex
  // host_mutex: while the service thread sleeps, the ENet time it wakes at by itself. A sender
  // on another thread that gives ENet an earlier timer (a first guaranteed datagram in flight)
  // wakes it.
  bool sleeping = false;
  std::uint32_t sleeping_until = 0;
  std::uint64_t last_ping_round_ns = 0;  // host_mutex: when every connection was last pinged
  bool sent_guaranteed = false;          // host_mutex: and when last (ENet time)
  std::uint32_t last_guaranteed_send = 0;

  // The secure session: a client made secure by SecureWith (pinned to a key or not), a host
  // given its key pair. The keys proven and the pin are read under host_mutex.
  bool secure = false;
  bool pin_server_key = false;
  Key expected_server_key{};
  Key proven_server_key{};
  bool server_key_proven = false;
  KeyPair host_key;

  // Client side.
  std::atomic<bool> connecting{false};
  std::atomic<bool> connected{false};
  Connection* server_connection = nullptr;  // host_mutex

  HRESULT Initialize(void* c, MessageHandler h);
  void Wake();
  static int Intercept(ENetHost*, ENetEvent*);
  bool CreateHost(const ENetAddress* address, std::size_t peers);
  void StartService();
  void Shutdown();

  // ---- under host_mutex ----
  void SendControl(ENetPeer* peer, const std::uint8_t* data, std::size_t size, bool reliable);
  void Configure(ENetPeer* peer);
  // The transport's PING (guaranteed), stamped with `clock`.
  void SendPing(ENetPeer* peer, std::uint64_t clock);
  void NoteRtt(Connection& c, std::uint64_t sent_ns);

  // A connection that is gone for the application: out of the tables, its departure told.
  // `reason` is the DestroyPlayer's result: DPN_OK, or DPNERR_TAMPERED for a broken session.
  void Depart(std::unique_ptr<Connection> c, Deliveries& out, HRESULT reason = DPN_OK);

  // Drops a connection at once as timed out (its queues past their hard bound).
  void DropAsTimedOut(Connection& c, Deliveries& out);
  // Drops a connection at once; a client's session ends with `reason`.
  void Drop(Connection& c, HRESULT reason, Deliveries& out);

  // Keeps the host below kMaxConnections before a new connection is taken in: the oldest
  // connection that never said hello goes first, then the oldest player never marked kept.
  // False when every connection is a kept player.
  bool MakeRoom(Deliveries& out);
  void OnConnect(ENetEvent& e, Deliveries& out);
  std::unique_ptr<Connection> TakePending(ENetPeer* peer);
  void OnControl(ENetPeer* peer, const std::uint8_t* d, std::size_t n, Deliveries& out);
  // The secure handshake's two messages; the only control messages before the keys.
  void OnSecureControl(Connection& c, ENetPeer* peer, const std::uint8_t* d, std::size_t n,
                       Deliveries& out);
  // Takes a connection that has said hello into the table, as established.
  void Admit(std::unique_ptr<Connection> owned, Deliveries& out);
  // Host: refuses a connection's hello (REJECT with DPNERR_INVALIDAPPLICATION, in clear) and
  // lets it go.
  void Refuse(ENetPeer* peer);
  // Client: the connect completes as the server's welcome says.
  void Welcomed(Connection& c, DPNID player, std::uint64_t clock, Deliveries& out);
  void FailConnect(Connection& c, HRESULT result, Deliveries& out);
  void OnReceive(ENetEvent& e, Deliveries& out);
  void OnDisconnect(ENetEvent& e, Deliveries& out);
  void Housekeeping(Deliveries& out);
  // How long the service thread may sleep: until ENet's next own timer (a resend, a time-out, a
  // keep-alive) or the transport's (a PING, a handshake's deadline) is due, in milliseconds.
  int SleepMs();
  // A sender on another thread gave `peer` a guaranteed datagram: the service thread is woken
  // when ENet now has a timer for it that is due well before the thread would wake.
  void WakeFor(const ENetPeer* peer);

  // ---- service thread ----
  // Runs the work found under the mutex: inline where the strand is idle and the filter allows,
  // else on the pool. A strand past its guaranteed bound drops its connection.
  void Run(Deliveries& out);
  void ServiceEvents();
  void ServiceLoop();

  // ---- caller side: any thread ----
  // Hands one copy of the payload to ENet for one connection, under host_mutex. False when the
  // connection had to be dropped for its queue.
  void SendOne(Connection& c, const std::uint8_t* data, std::uint32_t size, enet_uint8 channel,
               enet_uint32 packet_flags, bool guaranteed, Deliveries& out);
  HRESULT Send(DPNID target, const std::uint8_t* data, std::uint32_t size, std::uint32_t flags);

  // Voice datagrams: unsequenced (the voice layer orders them itself) or guaranteed, on their
  // own channel; a connection without the channel cannot carry them.
  HRESULT SendVoice(DPNID target, const std::uint8_t* data, std::uint32_t size, bool guaranteed);
  void SetVoiceSink(const VoiceSink& sink);
};

// The endpoint whose service thread this is (none on other threads).
inline thread_local Endpoint* t_current_endpoint = nullptr;

// ENet initialised once per process with the transport's pooled allocator.
void InitialiseEnetOnce();

}  // namespace talmeris::net::detail
