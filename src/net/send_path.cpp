// The send path, on any thread: one copy per connection handed to ENet under the host mutex,
// within the send bounds, and voice on its own channel.
#include "net/endpoint.h"

namespace talmeris::net::detail {

void Endpoint::SendOne(Connection& c, const std::uint8_t* data, std::uint32_t size,
                       enet_uint8 channel, enet_uint32 packet_flags, bool guaranteed,
                       Deliveries& out) {
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
  // A secure session's datagram is sealed straight into the packet ENet sends.
  const bool sealed = c.seal.active;
  ENetPacket* packet = enet_packet_create(sealed ? nullptr : data,
                                          sealed ? size + kSealOverhead : size, packet_flags);
  if (!packet) {
    c.stats.packets_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (sealed) Seal(c.seal, channel, guaranteed, data, size, packet->data);
  packet->userData = &c;
  packet->freeCallback = &PacketReleased;
  c.queued_messages.fetch_add(1, std::memory_order_relaxed);
  c.queued_bytes.fetch_add(static_cast<std::uint32_t>(packet->dataLength),
                           std::memory_order_relaxed);
  if (enet_peer_send(c.peer, channel, packet) < 0) {
    enet_packet_destroy(packet);                      // its callback takes it off the counts
    if (sealed) Unseal(c.seal, channel, guaranteed);  // a reliable lane keeps no gap
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

HRESULT Endpoint::Send(DPNID target, const std::uint8_t* data, std::uint32_t size,
                       std::uint32_t flags) {
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
    Connection* targets[kMaxConnections];
    std::size_t n = 0;
    if (!is_server) {
      if (!connected.load() || !server_connection) return DPNERR_NOCONNECTION;
      targets[n++] = server_connection;
    } else if (target == DPNID_ALL_PLAYERS_GROUP) {
      // Drops (which change the table) are collected first.
      for (auto& [id, c] : connections) {
        if (n < kMaxConnections) targets[n++] = c.get();
      }
    } else {
      auto it = connections.find(target);
      if (it == connections.end()) return DPNERR_INVALIDPLAYER;
      targets[n++] = it->second.get();
    }
    for (std::size_t i = 0; i < n; ++i) {
      SendOne(*targets[i], data, size, channel, packet_flags, guaranteed, out);
    }
    // The service thread sends what its handlers queued once it has no event left to hand
    // out; any other sender sends at once, and wakes it for the resend timer a guaranteed
    // datagram starts.
    if (t_current_endpoint != this) {
      enet_host_flush(host);
      for (std::size_t i = 0; guaranteed && i < n; ++i) WakeFor(targets[i]->peer);
    }
  }
  // A dropped connection's departure: posted (only received messages are ever handled
  // inline, and only on the service thread).
  if (out.count > 0) Run(out);
  return DPNSUCCESS_PENDING;
}

HRESULT Endpoint::SendVoice(DPNID target, const std::uint8_t* data, std::uint32_t size,
                            bool guaranteed) {
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
    if (t_current_endpoint != this) {
      enet_host_flush(host);
      if (guaranteed) WakeFor(c->peer);
    }
  }
  if (out.count > 0) Run(out);
  return DPNSUCCESS_PENDING;
}

void Endpoint::SetVoiceSink(const VoiceSink& sink) {
  std::lock_guard lock(host_mutex);
  voice_sink = sink;
}

}  // namespace talmeris::net::detail
