// The connection table under the host mutex: departures, the displacement rule that keeps a full
// host open to newcomers, drops past the queue bounds, and the once-a-second housekeeping.
#include "net/endpoint.h"

#include <algorithm>

#include "net/control_frames.h"

namespace talmeris::net::detail {

void Endpoint::Depart(std::unique_ptr<Connection> c, Deliveries& out, HRESULT reason) {
  if (c->peer) {
    c->peer->data = nullptr;
    c->peer = nullptr;
  }
  out.Add(c.get(), {MessageId::DestroyPlayer, reason, c->id, nullptr, true});
  departed.push_back(std::move(c));
}

void Endpoint::DropAsTimedOut(Connection& c, Deliveries& out) {
  c.stats.timed_out.fetch_add(1, std::memory_order_relaxed);
  Drop(c, DPNERR_CONNECTIONLOST, out);
}

void Endpoint::Drop(Connection& c, HRESULT reason, Deliveries& out) {
  if (c.peer) {
    c.peer->data = nullptr;
    enet_peer_disconnect_now(c.peer, 0);
    c.peer = nullptr;
  }
  if (!is_server) {
    if (server_connection == &c) server_connection = nullptr;
    if (c.established) {
      connected.store(false);
      out.Add(&c, {MessageId::TerminateSession, reason, c.id, nullptr, true});
    }
    return;
  }
  auto it = connections.find(c.id);
  if (it == connections.end() || it->second.get() != &c) return;
  auto owned = std::move(it->second);
  connections.erase(it);
  Depart(std::move(owned), out, reason == DPNERR_CONNECTIONLOST ? DPN_OK : reason);
}

bool Endpoint::MakeRoom(Deliveries& out) {
  if (pending_connections.size() + connections.size() < kMaxConnections) return true;
  std::unique_ptr<Connection> victim;
  if (!pending_connections.empty()) {
    auto oldest =
        std::min_element(pending_connections.begin(), pending_connections.end(),
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

std::unique_ptr<Connection> Endpoint::TakePending(ENetPeer* peer) {
  for (auto it = pending_connections.begin(); it != pending_connections.end(); ++it) {
    if ((*it)->peer == peer) {
      auto c = std::move(*it);
      pending_connections.erase(it);
      return c;
    }
  }
  return nullptr;
}

void Endpoint::OnDisconnect(ENetEvent& e, Deliveries& out) {
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

void Endpoint::Housekeeping(Deliveries& out) {
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

}  // namespace talmeris::net::detail
