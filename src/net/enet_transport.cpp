#include "net/enet_transport.h"

#include <enet/enet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/bytes.h"
#include "net/control_frames.h"
#include "net/pool.h"

namespace talmeris::net {
namespace {

// ---- wire constants (docs/transport.md) ----
constexpr enet_uint32 kConnectMagic = 0x314D4C54;  // "TLM1" in the connect request's data
constexpr std::size_t kChannels = 5;               // asked for
constexpr std::size_t kMinChannels = 4;            // needed; the fifth, voice, is optional
constexpr enet_uint8 kControlChannel = 0;
constexpr enet_uint8 kGuaranteedChannel = 1;
constexpr enet_uint8 kSequentialChannel = 2;
constexpr enet_uint8 kNonSequentialChannel = 3;
constexpr enet_uint8 kVoiceChannel = 4;
constexpr enet_uint32 kDisconnectClosed = 1;  // an orderly close; 0 is a time-out

// Host limits (docs/transport.md, docs/peer-protocol.md): connections held at once, spare ENet
// slots for the handshakes that arrive while it is full, and handler threads.
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kSpareSlots = 16;
constexpr std::size_t kMaxHandlerThreads = 8;
// Received data held per connection before it is handed out: one payload in reassembly on each
// channel and one more arriving.
constexpr std::size_t kMaxWaitingData = 4 * kMaxPayload;
// What one connection may hold in queues (docs/transport.md, "Bounds").
constexpr std::uint32_t kUnguaranteedSendBound = 256 * 1024;     // queued bytes: drop new ones
constexpr std::uint32_t kGuaranteedSendBound = 8 * 1024 * 1024;  // queued bytes: drop the peer
constexpr std::uint32_t kHandlerUnguaranteedBound = 256;  // waiting messages: drop the oldest
constexpr std::uint32_t kHandlerGuaranteedBound = 16 * 1024 * 1024;  // waiting bytes: drop peer
// The poll time-out while ENet has something in flight, and while it has not.
constexpr int kBusyPollMs = 1;
constexpr int kIdlePollMs = 50;
// An inline handler running longer than this is reported in debug builds.
constexpr std::uint64_t kInlineWatchdogNs = 5'000'000;

std::uint64_t NowNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void* EnetMalloc(size_t size) {
  return PoolAllocate(size);
}
void EnetFree(void* p) {
  PoolFree(p);
}
void EnetNoMemory() {
  std::abort();
}

void InitialiseEnetOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    ENetCallbacks callbacks{EnetMalloc, EnetFree, EnetNoMemory};
    if (enet_initialize_with_callbacks(ENET_VERSION, &callbacks) != 0) std::abort();
  });
}

// A growable ring queue: no allocation once it has reached its working size.
template <typename T>
class Ring {
 public:
  bool Empty() const { return count_ == 0; }
  std::size_t Size() const { return count_; }
  void Push(const T& v) {
    if (count_ == items_.size()) Grow();
    items_[(head_ + count_) % items_.size()] = v;
    ++count_;
  }
  T Pop() {
    T v = items_[head_];
    head_ = (head_ + 1) % items_.size();
    --count_;
    return v;
  }
  // Removes the oldest item that matches into *out, keeping the order of the rest.
  template <typename Pred>
  bool RemoveFirst(Pred pred, T* out) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (!pred(At(i))) continue;
      *out = At(i);
      for (std::size_t j = i; j + 1 < count_; ++j) At(j) = At(j + 1);
      --count_;
      return true;
    }
    return false;
  }

 private:
  T& At(std::size_t i) { return items_[(head_ + i) % items_.size()]; }
  void Grow() {
    std::vector<T> bigger(std::max<std::size_t>(64, items_.size() * 2));
    for (std::size_t i = 0; i < count_; ++i) bigger[i] = items_[(head_ + i) % items_.size()];
    items_.swap(bigger);
    head_ = 0;
  }
  std::vector<T> items_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

// ---- handler delivery ----
// Each connection's messages pass through its own strand: in order, one at a time. A message
// whose kind cannot block (the owner's inline filter says so) is handled on the service thread
// itself when its strand has nothing queued or running; everything else goes to a pool of
// threads, started on demand up to a bound, that runs the strands with work a batch at a time.
// So threads follow the connections busy at once, not the number connected, and a handler
// blocked in a wait holds one thread and stalls nobody else while threads remain.
struct Event {
  MessageId id;
  HRESULT result;
  DPNID player;
  ENetPacket* packet;  // owned until delivered
  bool guaranteed;     // a Receive from the guaranteed channel (or no payload)
};

struct Strand {
  Ring<Event> queue;                      // the dispatcher's mutex, as are the fields below
  bool scheduled = false;                 // ready, running on a pool thread, or running inline
  std::uint32_t unguaranteed = 0;         // unguaranteed messages waiting
  std::uint32_t guaranteed_bytes = 0;     // guaranteed payload bytes waiting
  std::atomic<std::uint32_t> dropped{0};  // unguaranteed messages dropped for the bound
  ~Strand() {
    while (!queue.Empty()) {
      Event e = queue.Pop();
      if (e.packet) enet_packet_destroy(e.packet);
    }
  }
};

class Dispatcher {
 public:
  enum PostResult { kPosted, kOverflow };

  Dispatcher(void* context, MessageHandler handler, std::size_t max_threads)
      : context_(context), handler_(handler), max_threads_(max_threads) {}
  ~Dispatcher() { Stop(); }

  // Queues an event. kOverflow (the event dropped) when the strand holds more guaranteed bytes
  // than its bound: the caller drops the connection. An unguaranteed message past its bound
  // pushes out the oldest unguaranteed one.
  PostResult Post(Strand& strand, const Event& e) {
    bool wake = false;
    ENetPacket* pushed_out = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        if (e.packet) enet_packet_destroy(e.packet);
        return kPosted;
      }
      const std::uint32_t size = e.packet ? static_cast<std::uint32_t>(e.packet->dataLength) : 0;
      if (e.guaranteed) {
        if (strand.guaranteed_bytes + size > kHandlerGuaranteedBound) {
          if (e.packet) enet_packet_destroy(e.packet);
          return kOverflow;
        }
        strand.guaranteed_bytes += size;
      } else if (strand.unguaranteed >= kHandlerUnguaranteedBound) {
        Event oldest;
        if (strand.queue.RemoveFirst([](const Event& q) { return !q.guaranteed; }, &oldest)) {
          pushed_out = oldest.packet;
          --strand.unguaranteed;
          strand.dropped.fetch_add(1, std::memory_order_relaxed);
        }
      }
      if (!e.guaranteed) ++strand.unguaranteed;
      strand.queue.Push(e);
      if (!strand.scheduled) {
        strand.scheduled = true;
        ready_.Push(&strand);
        // Every ready strand needs a thread of its own: wake an idle one, else start one.
        if (ready_.Size() <= idle_) {
          wake = true;
        } else if (threads_.size() < max_threads_) {
          threads_.emplace_back([this] { Run(); });
        }
      }
    }
    if (pushed_out) enet_packet_destroy(pushed_out);
    if (wake) work_cv_.notify_one();
    return kPosted;
  }
  // Claims an idle strand for a handler call on the caller's thread; false when the strand has
  // anything queued or running (the message must then be posted, to keep the order).
  bool BeginInline(Strand& strand) {
    std::lock_guard lock(mutex_);
    if (strand.scheduled || stopping_) return false;
    strand.scheduled = true;
    return true;
  }
  void EndInline(Strand& strand) {
    {
      std::lock_guard lock(mutex_);
      strand.scheduled = false;
    }
    idle_cv_.notify_all();
  }
  void Deliver(const Event& e) {
    if (handler_) {
      Message m{e.id, e.result, e.player, e.packet ? e.packet->data : nullptr,
                e.packet ? static_cast<std::uint32_t>(e.packet->dataLength) : 0u};
      handler_(context_, m);
    }
    if (e.packet) enet_packet_destroy(e.packet);
  }
  // True when nothing is queued or running for the strand.
  bool Idle(const Strand& strand) {
    std::lock_guard lock(mutex_);
    return !strand.scheduled;
  }
  // Waits until everything posted to the strand so far has been handled.
  void Drain(const Strand& strand) {
    std::unique_lock lock(mutex_);
    idle_cv_.wait(lock, [&] { return !strand.scheduled || stopping_; });
  }
  // Drops undelivered events and joins: after Stop no handler call runs or starts on the pool.
  // The strands keep what they still hold and release it when they are destroyed.
  void Stop() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      threads.swap(threads_);
    }
    work_cv_.notify_all();
    idle_cv_.notify_all();
    for (auto& t : threads) t.join();
  }

 private:
  static constexpr int kBatch = 16;  // events of one strand before the next strand's turn

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      work_cv_.wait(lock, [&] { return stopping_ || !ready_.Empty(); });
      --idle_;
      if (stopping_) return;
      Strand* strand = ready_.Pop();
      for (int n = 0; n < kBatch && !strand->queue.Empty() && !stopping_; ++n) {
        Event e = strand->queue.Pop();
        if (e.guaranteed) {
          strand->guaranteed_bytes -=
              e.packet ? static_cast<std::uint32_t>(e.packet->dataLength) : 0;
        } else {
          --strand->unguaranteed;
        }
        lock.unlock();
        Deliver(e);
        lock.lock();
      }
      if (stopping_) return;
      if (!strand->queue.Empty()) {
        ready_.Push(strand);  // still scheduled: its turn comes again after the others
      } else {
        strand->scheduled = false;
        idle_cv_.notify_all();
      }
    }
  }

  void* context_;
  MessageHandler handler_;
  const std::size_t max_threads_;
  std::mutex mutex_;
  std::condition_variable work_cv_, idle_cv_;
  Ring<Strand*> ready_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

// ---- connection statistics, written under the host mutex, read by anyone ----
struct Stats {
  std::atomic<std::uint32_t> rtt_us{0};
  std::atomic<std::uint32_t> throughput_bps{0}, peak_bps{0};
  std::atomic<std::uint32_t> bytes_sent_g{0}, packets_sent_g{0};
  std::atomic<std::uint32_t> bytes_sent_ng{0}, packets_sent_ng{0};
  std::atomic<std::uint32_t> packets_retried{0};
  std::atomic<std::uint32_t> bytes_dropped{0}, packets_dropped{0}, timed_out{0};
  std::atomic<std::uint32_t> bytes_recv_g{0}, packets_recv_g{0};
  std::atomic<std::uint32_t> bytes_recv_ng{0}, packets_recv_ng{0};
  std::atomic<std::uint32_t> messages_received{0};
  std::uint64_t second_start_ns = 0;  // host mutex
  std::uint64_t second_bytes = 0;     // host mutex
};

struct Connection {
  DPNID id = 0;
  ENetPeer* peer = nullptr;  // host mutex
  bool established = false;  // host mutex
  bool kept = false;         // host mutex: never displaced by a newer connection
  std::uint64_t opened_ns = 0;
  std::uint64_t last_ping_ns = 0;  // host mutex
  Strand strand;
  // Events found for this connection under the host mutex and not yet posted: a departed
  // connection is let go only when none are left and its strand is idle.
  std::atomic<int> unposted{0};
  // What this connection has handed to ENet and ENet has not yet let go of (sent, and for
  // guaranteed messages acknowledged). Changed under the host mutex.
  std::atomic<std::uint32_t> queued_messages{0};
  std::atomic<std::uint32_t> queued_bytes{0};
  Stats stats;

  void Fill(ConnectionInfo* info) const {
    info->round_trip_latency_ms = (stats.rtt_us.load() + 500) / 1000;
    info->throughput_bps = stats.throughput_bps.load();
    info->peak_throughput_bps = stats.peak_bps.load();
    info->bytes_sent_guaranteed = stats.bytes_sent_g.load();
    info->packets_sent_guaranteed = stats.packets_sent_g.load();
    info->bytes_sent_non_guaranteed = stats.bytes_sent_ng.load();
    info->packets_sent_non_guaranteed = stats.packets_sent_ng.load();
    info->packets_retried = stats.packets_retried.load();
    info->bytes_retried = 0;
    info->bytes_dropped = stats.bytes_dropped.load();
    info->packets_dropped = stats.packets_dropped.load();
    info->messages_timed_out = stats.timed_out.load();
    info->bytes_received_guaranteed = stats.bytes_recv_g.load();
    info->packets_received_guaranteed = stats.packets_recv_g.load();
    info->bytes_received_non_guaranteed = stats.bytes_recv_ng.load();
    info->packets_received_non_guaranteed = stats.packets_recv_ng.load();
    info->messages_received = stats.messages_received.load();
    info->receives_dropped = strand.dropped.load();
  }
};

// A sent packet tells its connection when ENet lets go of it.
void PacketReleased(ENetPacket* packet) {
  auto* c = static_cast<Connection*>(packet->userData);
  if (!c) return;
  c->queued_messages.fetch_sub(1, std::memory_order_relaxed);
  c->queued_bytes.fetch_sub(static_cast<std::uint32_t>(packet->dataLength),
                            std::memory_order_relaxed);
}

thread_local struct Endpoint* t_current_endpoint = nullptr;

// Work found under the host mutex and done after it is released: handler calls never run, and
// nothing is posted, while the mutex is held.
struct Deliveries {
  struct Item {
    Connection* connection;
    Event event;
  };
  // A broadcast may drop every connection at once; other sections add one or two.
  static constexpr int kCapacity = static_cast<int>(kMaxConnections) + 8;
  Item items[kCapacity];
  int count = 0;
  // A voice datagram and the sink it goes to, and a client session's end for the voice sink:
  // handed over on the service thread with the mutex released, never through a strand.
  ENetPacket* voice_packet = nullptr;
  DPNID voice_from = 0;
  bool voice_ended = false;
  VoiceSink voice_sink;
  void Add(Connection* c, const Event& e) {
    if (count < kCapacity) {
      c->unposted.fetch_add(1, std::memory_order_acq_rel);
      items[count++] = {c, e};
    } else if (e.packet) {
      enet_packet_destroy(e.packet);  // never reached: the capacity covers every connection
    }
  }
};

// One ENet host with its service thread: the engine of both the client and the server.
//
// Every ENet call is made under `host_mutex`, the innermost lock: a sender calls ENet itself
// (no queue, no hand-off), the service thread takes it to service the host and releases it
// before any handler runs. Handlers of messages the owner's filter marks as unable to block run
// on the service thread; everything else on the dispatcher's pool.
struct Endpoint {
  explicit Endpoint(const EnetOptions& o) : options(o) {
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~Endpoint() {
    Shutdown();
    if (wake_fd >= 0) ::close(wake_fd);
  }

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
  VoiceSink voice_sink;    // host_mutex
  bool in_flight = false;  // host_mutex: ENet has unacknowledged or unsent data

  // Client side.
  std::atomic<bool> connecting{false};
  std::atomic<bool> connected{false};
  Connection* server_connection = nullptr;  // host_mutex

  HRESULT Initialize(void* c, MessageHandler h) {
    if (initialized) return DPNERR_ALREADYINITIALIZED;
    context = c;
    handler = h;
    initialized = true;
    return DPN_OK;
  }

  void Wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd, &one, sizeof one);
  }

  static int Intercept(ENetHost*, ENetEvent*) {
    Endpoint* self = t_current_endpoint;
    if (!self || self->options.drop_incoming_percent == 0) return 0;
    self->drop_state = self->drop_state * 1103515245u + 12345u;
    return ((self->drop_state >> 16) % 100) < self->options.drop_incoming_percent ? 1 : 0;
  }

  bool CreateHost(const ENetAddress* address, std::size_t peers) {
    host = enet_host_create(address, peers, kChannels, 0, 0);
    if (!host) return false;
    // Programs the client starts must not inherit the session's socket.
    ::fcntl(host->socket, F_SETFD, FD_CLOEXEC);
    // Nothing larger than the largest payload is sent or reassembled. A connection may hold
    // a few payloads waiting for reassembly: a large unguaranteed message that lost a fragment
    // stays incomplete until later traffic on its channel pushes it out, and that traffic must
    // still find room (with room for one payload only, one lost fragment would wedge the
    // connection for good).
    host->maximumPacketSize = kMaxPayload;
    host->maximumWaitingData = kMaxWaitingData;
    host->intercept = &Endpoint::Intercept;
    return true;
  }

  void StartService() {
    running.store(true);
    service = std::thread([this] { ServiceLoop(); });
  }

  void Shutdown() {
    if (running.exchange(false)) {
      stop_requested.store(true);
      Wake();
      service.join();
    }
    // No handler call runs or starts after this.
    if (dispatcher) dispatcher->Stop();
    {
      std::lock_guard lock(host_mutex);
      // The host goes first: it lets go of every packet it holds, telling their connections.
      if (host) {
        enet_host_destroy(host);
        host = nullptr;
      }
      server_connection = nullptr;
      connections.clear();
      pending_connections.clear();
      departed.clear();
      client_connection.reset();
    }
  }

  // ---- under host_mutex ----
  void SendControl(ENetPeer* peer, const std::uint8_t* data, std::size_t size, bool reliable) {
    ENetPacket* p = enet_packet_create(data, size, reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (p && enet_peer_send(peer, kControlChannel, p) < 0) enet_packet_destroy(p);
  }

  void Configure(ENetPeer* peer) {
    enet_peer_timeout(peer, 0, options.timeout_min_ms, options.timeout_max_ms);
    // Loopback traffic is never thinned out by ENet's unreliable throttle.
    enet_peer_throttle_configure(peer, ENET_PEER_PACKET_THROTTLE_INTERVAL, 0, 0);
  }

  void NoteRtt(Connection& c, std::uint64_t sent_ns) {
    std::uint64_t now = NowNs();
    if (now < sent_ns) return;
    auto sample =
        static_cast<std::uint32_t>(std::min<std::uint64_t>((now - sent_ns) / 1000, 60'000'000));
    std::uint32_t old = c.stats.rtt_us.load();
    c.stats.rtt_us.store(
        old == 0 ? std::max(1u, sample)
                 : static_cast<std::uint32_t>(static_cast<std::int64_t>(old) +
                                              (static_cast<std::int64_t>(sample) - old) / 8));
  }

  // A connection that is gone for the application: out of the tables, its departure told.
  void Depart(std::unique_ptr<Connection> c, Deliveries& out) {
    if (c->peer) {
      c->peer->data = nullptr;
      c->peer = nullptr;
    }
    out.Add(c.get(), {MessageId::DestroyPlayer, DPN_OK, c->id, nullptr, true});
    departed.push_back(std::move(c));
  }

  // Drops a connection at once as timed out (its queues past their hard bound).
  void DropAsTimedOut(Connection& c, Deliveries& out) {
    c.stats.timed_out.fetch_add(1, std::memory_order_relaxed);
    if (c.peer) {
      c.peer->data = nullptr;
      enet_peer_disconnect_now(c.peer, 0);
      c.peer = nullptr;
    }
    if (!is_server) {
      if (server_connection == &c) server_connection = nullptr;
      if (c.established) {
        connected.store(false);
        out.Add(&c, {MessageId::TerminateSession, DPNERR_CONNECTIONLOST, c.id, nullptr, true});
      }
      return;
    }
    auto it = connections.find(c.id);
    if (it == connections.end() || it->second.get() != &c) return;
    auto owned = std::move(it->second);
    connections.erase(it);
    Depart(std::move(owned), out);
  }

  // Keeps the host below kMaxConnections before a new connection is taken in: the oldest
  // connection that never said hello goes first, then the oldest player never marked kept.
  // False when every connection is a kept player.
  bool MakeRoom(Deliveries& out) {
    if (pending_connections.size() + connections.size() < kMaxConnections) return true;
    std::unique_ptr<Connection> victim;
    if (!pending_connections.empty()) {
      auto oldest = std::min_element(
          pending_connections.begin(), pending_connections.end(),
          [](const auto& a, const auto& b) { return a->opened_ns < b->opened_ns; });
      victim = std::move(*oldest);
      pending_connections.erase(oldest);
    } else {
      auto oldest = connections.end();
      for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->second->kept) continue;
        if (oldest == connections.end() || it->second->opened_ns < oldest->second->opened_ns)
          oldest = it;
      }
      if (oldest == connections.end()) return false;
      victim = std::move(oldest->second);
      connections.erase(oldest);
    }
    if (victim->peer) {
      victim->peer->data = nullptr;
      enet_peer_disconnect_now(victim->peer, static_cast<enet_uint32>(DPNERR_NOTREADY));
      victim->peer = nullptr;
    }
    if (victim->established) Depart(std::move(victim), out);
    return true;
  }

  void OnConnect(ENetEvent& e, Deliveries& out) {
    Configure(e.peer);
    if (e.peer->channelCount < kMinChannels) {
      // A connection without every channel could never carry the session's messages.
      if (is_server) {
        e.peer->data = nullptr;
        enet_peer_disconnect_now(e.peer, static_cast<enet_uint32>(DPNERR_INVALIDAPPLICATION));
      } else if (server_connection) {
        FailConnect(*server_connection, DPNERR_INVALIDAPPLICATION, out);
      }
      return;
    }
    if (is_server) {
      if (e.data != kConnectMagic) {
        enet_peer_disconnect_now(e.peer, static_cast<enet_uint32>(DPNERR_INVALIDAPPLICATION));
        return;
      }
      if (!MakeRoom(out)) {
        enet_peer_disconnect_now(e.peer, static_cast<enet_uint32>(DPNERR_NOTREADY));
        return;
      }
      auto c = std::make_unique<Connection>();
      c->peer = e.peer;
      c->opened_ns = NowNs();
      e.peer->data = c.get();
      pending_connections.push_back(std::move(c));
    } else if (server_connection) {
      ControlFrame hello;
      hello.type = kHello;
      hello.application = application;
      hello.clock = NowNs();
      std::uint8_t bytes[kMaxControlSize];
      SendControl(e.peer, bytes, EncodeControl(hello, bytes), true);
    }
  }

  std::unique_ptr<Connection> TakePending(ENetPeer* peer) {
    for (auto it = pending_connections.begin(); it != pending_connections.end(); ++it) {
      if ((*it)->peer == peer) {
        auto c = std::move(*it);
        pending_connections.erase(it);
        return c;
      }
    }
    return nullptr;
  }

  void OnControl(ENetPeer* peer, const std::uint8_t* d, std::size_t n, Deliveries& out) {
    auto* c = static_cast<Connection*>(peer->data);
    ControlFrame f;
    if (!c || !DecodeControl(d, n, &f)) return;  // malformed control messages are ignored
    std::uint8_t bytes[kMaxControlSize];
    switch (f.type) {
      case kHello: {
        if (!is_server || c->established) return;
        auto owned = TakePending(peer);
        if (!owned) return;
        if (f.version != kProtocolVersion || !(f.application == application)) {
          ControlFrame reject;
          reject.type = kReject;
          reject.result = DPNERR_INVALIDAPPLICATION;
          SendControl(peer, bytes, EncodeControl(reject, bytes), true);
          peer->data = nullptr;
          enet_peer_disconnect_later(peer, static_cast<enet_uint32>(DPNERR_INVALIDAPPLICATION));
          return;
        }
        owned->id = next_id++;
        owned->established = true;
        ControlFrame welcome;
        welcome.type = kWelcome;
        welcome.player = owned->id;
        welcome.clock = f.clock;
        SendControl(peer, bytes, EncodeControl(welcome, bytes), true);
        Connection* raw = owned.get();
        connections[raw->id] = std::move(owned);
        out.Add(raw, {MessageId::CreatePlayer, DPN_OK, raw->id, nullptr, true});
        return;
      }
      case kWelcome:
        if (is_server || c->established) return;
        c->id = f.player;
        c->established = true;
        NoteRtt(*c, f.clock);
        connecting.store(false);
        connected.store(true);
        out.Add(c, {MessageId::ConnectComplete, DPN_OK, c->id, nullptr, true});
        return;
      case kReject:
        if (is_server || c->established) return;
        FailConnect(*c, f.result, out);
        return;
      case kPing: {
        ControlFrame pong;
        pong.type = kPong;
        pong.clock = f.clock;
        SendControl(peer, bytes, EncodeControl(pong, bytes), false);
        return;
      }
      case kPong:
        NoteRtt(*c, f.clock);
        return;
    }
  }

  void FailConnect(Connection& c, HRESULT result, Deliveries& out) {
    connecting.store(false);
    if (c.peer) {
      c.peer->data = nullptr;
      enet_peer_reset(c.peer);
      c.peer = nullptr;
    }
    out.Add(&c, {MessageId::ConnectComplete, result, 0, nullptr, true});
    server_connection = nullptr;
  }

  void OnReceive(ENetEvent& e, Deliveries& out) {
    if (options.receive_hook)
      options.receive_hook(options.receive_hook_context, is_server, e.channelID, e.packet->data,
                           static_cast<std::uint32_t>(e.packet->dataLength));
    if (e.channelID == kControlChannel) {
      OnControl(e.peer, e.packet->data, e.packet->dataLength, out);
      enet_packet_destroy(e.packet);
      return;
    }
    auto* c = static_cast<Connection*>(e.peer->data);
    if (!c || !c->established) {
      enet_packet_destroy(e.packet);
      return;
    }
    auto size = static_cast<std::uint32_t>(e.packet->dataLength);
    if (e.channelID == kVoiceChannel) {
      if (!voice_sink.receive || size == 0 || size > kMaxVoicePayload) {
        enet_packet_destroy(e.packet);
        return;
      }
      c->stats.packets_recv_ng.fetch_add(1, std::memory_order_relaxed);
      c->stats.bytes_recv_ng.fetch_add(size, std::memory_order_relaxed);
      out.voice_packet = e.packet;
      out.voice_from = c->id;
      out.voice_sink = voice_sink;
      return;
    }
    const bool guaranteed = e.channelID == kGuaranteedChannel;
    if (guaranteed) {
      c->stats.packets_recv_g.fetch_add(1, std::memory_order_relaxed);
      c->stats.bytes_recv_g.fetch_add(size, std::memory_order_relaxed);
    } else {
      c->stats.packets_recv_ng.fetch_add(1, std::memory_order_relaxed);
      c->stats.bytes_recv_ng.fetch_add(size, std::memory_order_relaxed);
    }
    c->stats.messages_received.fetch_add(1, std::memory_order_relaxed);
    out.Add(c, {MessageId::Receive, DPN_OK, c->id, e.packet, guaranteed});
  }

  void OnDisconnect(ENetEvent& e, Deliveries& out) {
    auto* c = static_cast<Connection*>(e.peer->data);
    e.peer->data = nullptr;
    if (!c) return;
    if (is_server) {
      if (!c->established) {
        TakePending(e.peer);
        return;
      }
      auto it = connections.find(c->id);
      if (it == connections.end()) return;
      auto owned = std::move(it->second);
      connections.erase(it);
      Depart(std::move(owned), out);
      return;
    }
    // Client.
    c->peer = nullptr;
    if (!c->established) {
      HRESULT reason = e.data == 0 || e.data == kDisconnectClosed ? DPNERR_NORESPONSE
                                                                  : static_cast<HRESULT>(e.data);
      FailConnect(*c, reason, out);
      return;
    }
    connected.store(false);
    server_connection = nullptr;
    if (voice_sink.ended) {
      out.voice_ended = true;
      out.voice_sink = voice_sink;
    }
    out.Add(c, {MessageId::TerminateSession,
                e.data == kDisconnectClosed ? DPNERR_HOSTTERMINATEDSESSION : DPNERR_CONNECTIONLOST,
                c->id, nullptr, true});
  }

  void Housekeeping(Deliveries& out) {
    const std::uint64_t now = NowNs();
    bool flight = false;
    auto tend = [&](Connection& c) {
      if (!c.peer) return;
      flight = flight || !enet_list_empty(&c.peer->outgoingCommands) ||
               !enet_list_empty(&c.peer->sentReliableCommands) ||
               !enet_list_empty(&c.peer->acknowledgements);
      c.stats.packets_retried.store(c.peer->packetsLost, std::memory_order_relaxed);
      if (c.established && now - c.last_ping_ns >= 1'000'000'000ull) {
        c.last_ping_ns = now;
        ControlFrame ping;
        ping.type = kPing;
        ping.clock = now;
        std::uint8_t bytes[kMaxControlSize];
        SendControl(c.peer, bytes, EncodeControl(ping, bytes), false);
        flight = true;
      }
      if (now - c.stats.second_start_ns >= 1'000'000'000ull) {
        auto bps = static_cast<std::uint32_t>(c.stats.second_bytes * 8);
        c.stats.throughput_bps.store(bps);
        if (bps > c.stats.peak_bps.load()) c.stats.peak_bps.store(bps);
        c.stats.second_bytes = 0;
        c.stats.second_start_ns = now;
      }
    };
    if (is_server) {
      for (auto& [id, c] : connections) tend(*c);
      // Connections that never said hello in time are let go.
      for (auto& c : pending_connections) {
        flight = true;  // their handshake is still going on
        if (c->peer && now - c->opened_ns > options.connect_timeout_ms * 1'000'000ull) {
          c->peer->data = nullptr;
          enet_peer_disconnect_now(c->peer, 0);
          c->peer = nullptr;
        }
      }
      std::erase_if(pending_connections, [](const auto& c) { return c->peer == nullptr; });
    } else if (server_connection) {
      flight = flight || !server_connection->established;
      tend(*server_connection);
      if (!server_connection->established &&
          now - server_connection->opened_ns > options.connect_timeout_ms * 1'000'000ull) {
        FailConnect(*server_connection, DPNERR_NORESPONSE, out);
      }
    }
    in_flight = flight;
  }

  // ---- service thread ----
  // Runs the work found under the mutex: inline where the strand is idle and the filter allows,
  // else on the pool. A strand past its guaranteed bound drops its connection.
  void Run(Deliveries& out) {
    if (out.voice_packet) {
      out.voice_sink.receive(out.voice_sink.context, out.voice_from, out.voice_packet->data,
                             static_cast<std::uint32_t>(out.voice_packet->dataLength));
      enet_packet_destroy(out.voice_packet);
      out.voice_packet = nullptr;
    }
    if (out.voice_ended) {
      out.voice_ended = false;
      out.voice_sink.ended(out.voice_sink.context);
    }
    for (int i = 0; i < out.count; ++i) {
      Connection* c = out.items[i].connection;
      const Event& e = out.items[i].event;
      struct Posted {
        Connection* c;
        ~Posted() { c->unposted.fetch_sub(1, std::memory_order_acq_rel); }
      } posted{c};
      if (!dispatcher) {
        if (e.packet) enet_packet_destroy(e.packet);
        continue;
      }
      if (e.id == MessageId::Receive && t_current_endpoint == this && inline_filter &&
          inline_filter(e.packet->data, static_cast<std::uint32_t>(e.packet->dataLength)) &&
          dispatcher->BeginInline(c->strand)) {
#ifndef NDEBUG
        const std::uint64_t start = NowNs();
        const auto size = static_cast<unsigned>(e.packet->dataLength);
#endif
        dispatcher->Deliver(e);
        dispatcher->EndInline(c->strand);
#ifndef NDEBUG
        if (NowNs() - start > kInlineWatchdogNs) {
          std::fprintf(stderr, "transport: an inline handler ran %.1f ms (message of %u bytes)\n",
                       static_cast<double>(NowNs() - start) / 1e6, size);
        }
#endif
        continue;
      }
      if (dispatcher->Post(c->strand, e) == Dispatcher::kOverflow) {
        Deliveries dropped;
        {
          std::lock_guard lock(host_mutex);
          DropAsTimedOut(*c, dropped);
        }
        Run(dropped);
      }
    }
    out.count = 0;
  }

  void ServiceEvents() {
    for (;;) {
      Deliveries out;
      bool more;
      {
        std::lock_guard lock(host_mutex);
        if (!host) return;
        ENetEvent e;
        // A call that finds no event left to hand out also sends what is queued: sends made
        // on this thread while handling the batch leave together here.
        more = enet_host_service(host, &e, 0) > 0;
        if (more) {
          switch (e.type) {
            case ENET_EVENT_TYPE_CONNECT:
              OnConnect(e, out);
              break;
            case ENET_EVENT_TYPE_RECEIVE:
              OnReceive(e, out);
              break;
            case ENET_EVENT_TYPE_DISCONNECT:
              OnDisconnect(e, out);
              break;
            default:
              break;
          }
        } else {
          Housekeeping(out);
          enet_host_flush(host);
        }
      }
      Run(out);
      if (!more) break;
    }
    // Departed players whose last message has been delivered are let go. Their strands are
    // asked with the host mutex released: it is innermost.
    std::vector<std::unique_ptr<Connection>> candidates;
    {
      std::lock_guard lock(host_mutex);
      if (departed.empty()) return;
      candidates.swap(departed);
    }
    std::erase_if(candidates, [&](const auto& c) {
      return c->unposted.load(std::memory_order_acquire) == 0 &&
             (!dispatcher || dispatcher->Idle(c->strand));
    });
    if (!candidates.empty()) {
      std::lock_guard lock(host_mutex);
      for (auto& c : candidates) departed.push_back(std::move(c));
    }
  }

  void ServiceLoop() {
    t_current_endpoint = this;
    while (!stop_requested.load()) {
      bool busy;
      {
        std::lock_guard lock(host_mutex);
        busy = in_flight;
      }
      pollfd fds[2] = {{host->socket, POLLIN, 0}, {wake_fd, POLLIN, 0}};
      ::poll(fds, 2, busy ? kBusyPollMs : kIdlePollMs);
      if (fds[1].revents & POLLIN) {
        std::uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(wake_fd, &count, sizeof count);
      }
      ServiceEvents();
    }
    // Orderly close: everything already queued still leaves, then the peers are told.
    std::unique_lock lock(host_mutex);
    enet_host_flush(host);
    for (std::size_t i = 0; i < host->peerCount; ++i) {
      ENetPeer* p = &host->peers[i];
      if (p->state == ENET_PEER_STATE_CONNECTED) enet_peer_disconnect_later(p, kDisconnectClosed);
    }
    const std::uint64_t deadline = NowNs() + 300'000'000ull;
    for (;;) {
      bool any = false;
      for (std::size_t i = 0; i < host->peerCount; ++i) {
        ENetPeerState s = host->peers[i].state;
        any = any || (s != ENET_PEER_STATE_DISCONNECTED && s != ENET_PEER_STATE_ZOMBIE);
      }
      if (!any || NowNs() > deadline) break;
      ENetEvent e;
      while (enet_host_service(host, &e, 0) > 0) {
        if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
      }
      lock.unlock();
      pollfd fd{host->socket, POLLIN, 0};
      ::poll(&fd, 1, 1);
      lock.lock();
    }
    for (std::size_t i = 0; i < host->peerCount; ++i) {
      if (host->peers[i].state != ENET_PEER_STATE_DISCONNECTED) {
        enet_peer_disconnect_now(&host->peers[i], kDisconnectClosed);
      }
    }
    enet_host_flush(host);
    t_current_endpoint = nullptr;
  }

  // ---- caller side: any thread ----
  // Hands one copy of the payload to ENet for one connection, under host_mutex. False when the
  // connection had to be dropped for its queue.
  void SendOne(Connection& c, const std::uint8_t* data, std::uint32_t size, enet_uint8 channel,
               enet_uint32 packet_flags, bool guaranteed, Deliveries& out) {
    if (!c.established || !c.peer) return;
    const std::uint32_t queued = c.queued_bytes.load(std::memory_order_relaxed);
    if (!guaranteed && queued > kUnguaranteedSendBound) {
      // A connection that does not keep up loses unguaranteed traffic, not memory.
      c.stats.packets_dropped.fetch_add(1, std::memory_order_relaxed);
      c.stats.bytes_dropped.fetch_add(size, std::memory_order_relaxed);
      c.stats.timed_out.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (guaranteed && queued > kGuaranteedSendBound) {
      DropAsTimedOut(c, out);  // it cannot take guaranteed traffic any more
      return;
    }
    ENetPacket* packet = enet_packet_create(data, size, packet_flags);
    if (!packet) {
      c.stats.packets_dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    packet->userData = &c;
    packet->freeCallback = &PacketReleased;
    c.queued_messages.fetch_add(1, std::memory_order_relaxed);
    c.queued_bytes.fetch_add(size, std::memory_order_relaxed);
    if (enet_peer_send(c.peer, channel, packet) < 0) {
      enet_packet_destroy(packet);  // its callback takes it off the counts
      c.stats.packets_dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    c.stats.second_bytes += size;
    if (guaranteed) {
      c.stats.packets_sent_g.fetch_add(1, std::memory_order_relaxed);
      c.stats.bytes_sent_g.fetch_add(size, std::memory_order_relaxed);
    } else {
      c.stats.packets_sent_ng.fetch_add(1, std::memory_order_relaxed);
      c.stats.bytes_sent_ng.fetch_add(size, std::memory_order_relaxed);
    }
  }

  HRESULT Send(DPNID target, const std::uint8_t* data, std::uint32_t size, std::uint32_t flags) {
    if ((flags & ~kKnownSendFlags) != 0) return DPNERR_INVALIDFLAGS;
    if (!data || size == 0) return DPNERR_INVALIDPARAM;
    if (size > kMaxPayload) return DPNERR_SENDTOOLARGE;
    const bool guaranteed = flags & DPNSEND_GUARANTEED;
    const enet_uint8 channel = guaranteed                        ? kGuaranteedChannel
                               : (flags & DPNSEND_NONSEQUENTIAL) ? kNonSequentialChannel
                                                                 : kSequentialChannel;
    const enet_uint32 packet_flags =
        guaranteed ? ENET_PACKET_FLAG_RELIABLE
                   : (ENET_PACKET_FLAG_UNRELIABLE_FRAGMENT |
                      ((flags & DPNSEND_NONSEQUENTIAL) ? ENET_PACKET_FLAG_UNSEQUENCED : 0));
    Deliveries out;
    {
      std::lock_guard lock(host_mutex);
      if (!host) return DPNERR_UNINITIALIZED;
      if (!is_server) {
        if (!connected.load() || !server_connection) return DPNERR_NOCONNECTION;
        SendOne(*server_connection, data, size, channel, packet_flags, guaranteed, out);
      } else if (target == DPNID_ALL_PLAYERS_GROUP) {
        // Drops (which change the table) are collected first.
        Connection* targets[kMaxConnections];
        std::size_t n = 0;
        for (auto& [id, c] : connections) {
          if (n < kMaxConnections) targets[n++] = c.get();
        }
        for (std::size_t i = 0; i < n; ++i) {
          SendOne(*targets[i], data, size, channel, packet_flags, guaranteed, out);
        }
      } else {
        auto it = connections.find(target);
        if (it == connections.end()) return DPNERR_INVALIDPLAYER;
        SendOne(*it->second, data, size, channel, packet_flags, guaranteed, out);
      }
      // The service thread sends what its handlers queued once it has no event left to hand
      // out; any other sender sends at once.
      if (t_current_endpoint != this) enet_host_flush(host);
    }
    // A dropped connection's departure: posted (only received messages are ever handled
    // inline, and only on the service thread).
    if (out.count > 0) Run(out);
    return DPNSUCCESS_PENDING;
  }

  // Voice datagrams: unsequenced (the voice layer orders them itself) or guaranteed, on their
  // own channel; a connection without the channel cannot carry them.
  HRESULT SendVoice(DPNID target, const std::uint8_t* data, std::uint32_t size, bool guaranteed) {
    if (!data || size == 0) return DPNERR_INVALIDPARAM;
    if (size > kMaxVoicePayload) return DPNERR_SENDTOOLARGE;
    const enet_uint32 packet_flags =
        guaranteed ? ENET_PACKET_FLAG_RELIABLE : ENET_PACKET_FLAG_UNSEQUENCED;
    Deliveries out;
    {
      std::lock_guard lock(host_mutex);
      if (!host) return DPNERR_UNINITIALIZED;
      Connection* c = nullptr;
      if (!is_server) {
        if (!connected.load() || !server_connection) return DPNERR_NOCONNECTION;
        c = server_connection;
      } else {
        auto it = connections.find(target);
        if (it == connections.end()) return DPNERR_INVALIDPLAYER;
        c = it->second.get();
      }
      if (!c->peer || c->peer->channelCount <= kVoiceChannel) return DPNERR_UNSUPPORTED;
      SendOne(*c, data, size, kVoiceChannel, packet_flags, guaranteed, out);
      if (t_current_endpoint != this) enet_host_flush(host);
    }
    if (out.count > 0) Run(out);
    return DPNSUCCESS_PENDING;
  }

  void SetVoiceSink(const VoiceSink& sink) {
    std::lock_guard lock(host_mutex);
    voice_sink = sink;
  }
};

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
  explicit EnetServer(const EnetOptions& options) : ep_(options) { ep_.is_server = true; }

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
