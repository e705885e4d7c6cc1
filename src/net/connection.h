// One connection of a host: its ENet peer, strand, send-queue accounting and statistics, and
// the deliveries found for connections under the host mutex. The host mutex guards the fields
// marked so; the statistics and queue counts are atomics any thread may read.
#pragma once

#include <enet/enet.h>
#include <sodium.h>

#include <atomic>
#include <cstdint>

#include "net/dispatcher.h"
#include "net/enet_limits.h"
#include "net/secure_session.h"
#include "net/transport.h"

namespace talmeris::net::detail {

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
  std::atomic<std::uint32_t> unopened{0}, replayed{0};
  std::uint64_t second_start_ns = 0;  // host mutex
  std::uint64_t second_bytes = 0;     // host mutex
};

struct Connection {
  DPNID id = 0;
  ENetPeer* peer = nullptr;  // host mutex
  bool established = false;  // host mutex
  bool kept = false;         // host mutex: never displaced by a newer connection
  std::uint64_t opened_ns = 0;
  Strand strand;
  // Events found for this connection under the host mutex and not yet posted: a departed
  // connection is let go only when none are left and its strand is idle.
  std::atomic<int> unposted{0};
  // What this connection has handed to ENet and ENet has not yet let go of (sent, and for
  // guaranteed messages acknowledged). Changed under the host mutex.
  std::atomic<std::uint32_t> queued_messages{0};
  std::atomic<std::uint32_t> queued_bytes{0};
  Stats stats;
  // The secure session (host mutex): the handshake while it runs, then the sealing keys.
  Handshake handshake;
  SealState seal;
  // Client: sealed datagrams that came before the WELCOME they follow (its first copy lost on
  // the path, a resent one still on its way), opened once it has; more than this many break
  // the session.
  static constexpr int kEarlyMax = 8;
  ENetPacket* early[kEarlyMax] = {};
  enet_uint8 early_channel[kEarlyMax] = {};
  int early_count = 0;

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    for (int i = 0; i < early_count; ++i) enet_packet_destroy(early[i]);
    sodium_memzero(&handshake, sizeof handshake);
    sodium_memzero(&seal, sizeof seal);
  }

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
    info->receives_unopened = stats.unopened.load();
    info->receives_replayed = stats.replayed.load();
  }
};

// A sent packet tells its connection when ENet lets go of it.
inline void PacketReleased(ENetPacket* packet) {
  auto* c = static_cast<Connection*>(packet->userData);
  if (!c) return;
  c->queued_messages.fetch_sub(1, std::memory_order_relaxed);
  c->queued_bytes.fetch_sub(static_cast<std::uint32_t>(packet->dataLength),
                            std::memory_order_relaxed);
}

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

}  // namespace talmeris::net::detail
