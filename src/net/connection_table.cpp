// The connection table under the host mutex: departures, the displacement rule that keeps a full
// host open to newcomers, drops past the queue bounds, and the once-a-second housekeeping.
#include "net/endpoint.h"

#include <enet/time.h>

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
  // Every connection is pinged in the same round, so that one wake-up serves them all.
  const bool ping_round = now - last_ping_round_ns >= kPingIntervalNs;
  if (ping_round) last_ping_round_ns = now;
  auto tend = [&](Connection& c) {
    if (!c.peer) return;
    c.stats.packets_retried.store(c.peer->packetsLost, std::memory_order_relaxed);
    if (c.established && ping_round) {
      SendPing(c.peer, now);
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
      if (c->peer && now - c->opened_ns > options.hello_timeout_ms * 1'000'000ull) {
        c->peer->data = nullptr;
        enet_peer_disconnect_now(c->peer, 0);
        c->peer = nullptr;
      }
    }
    std::erase_if(pending_connections, [](const auto& c) { return c->peer == nullptr; });
  } else if (server_connection) {
    tend(*server_connection);
    if (!server_connection->established &&
        now - server_connection->opened_ns > options.connect_timeout_ms * 1'000'000ull) {
      FailConnect(*server_connection, DPNERR_NORESPONSE, out);
    }
  }
}

int Endpoint::SleepMs() {
  if (!host) return 0;
  if (!departed.empty()) return kDepartedSleepMs;
  const std::uint64_t now_ns = NowNs();
  const enet_uint32 now = enet_time_get();
  int sleep = kMaxSleepMs;
  auto due_at = [&](enet_uint32 when) {
    const int ms =
        ENET_TIME_LESS(when, now) ? 0 : static_cast<int>(ENET_TIME_DIFFERENCE(when, now));
    sleep = std::min(sleep, ms + 1);  // ENet acts once the time is past, not on it
  };
  auto due_in_ns = [&](std::uint64_t since, std::uint64_t interval) {
    const std::uint64_t passed = now_ns - since;
    const std::uint64_t left = passed >= interval ? 0 : interval - passed;
    sleep = std::min(sleep, static_cast<int>((left + 999'999) / 1'000'000));
  };
  if (sent_guaranteed && ENET_TIME_DIFFERENCE(now, last_guaranteed_send) < kGuaranteedLingerMs) {
    sleep = kResendSlackMs;
  }
  for (std::size_t i = 0; i < host->peerCount; ++i) {
    const ENetPeer& p = host->peers[i];
    if (p.state == ENET_PEER_STATE_DISCONNECTED) continue;
    if (!enet_list_empty(&p.sentReliableCommands)) {
      due_at(p.nextTimeout);  // a resend, or the time-out
    } else if (!enet_list_empty(&p.outgoingCommands) || !enet_list_empty(&p.acknowledgements) ||
               p.state == ENET_PEER_STATE_ZOMBIE) {
      sleep = std::min(sleep, 1);  // ENet has more to do at once
    } else if (p.state == ENET_PEER_STATE_CONNECTED) {
      due_at(p.lastReceiveTime + p.pingInterval);  // the keep-alive
    }
  }
  // The throughput figures move on with the ping round; they need no wake-up of their own.
  bool any_established = false;
  auto tend = [&](const Connection& c) {
    if (c.established) {
      any_established = true;
    } else {
      const std::uint32_t ms = is_server ? options.hello_timeout_ms : options.connect_timeout_ms;
      due_in_ns(c.opened_ns, ms * 1'000'000ull + 1);
    }
  };
  if (is_server) {
    for (const auto& [id, c] : connections) tend(*c);
    for (const auto& c : pending_connections) tend(*c);
  } else if (server_connection) {
    tend(*server_connection);
  }
  if (any_established) due_in_ns(last_ping_round_ns, kPingIntervalNs);
  return sleep;
}

void Endpoint::WakeFor(const ENetPeer* peer) {
  sent_guaranteed = true;
  last_guaranteed_send = host->serviceTime;  // the flush just before set it
  if (!sleeping || !peer || enet_list_empty(&peer->sentReliableCommands)) return;
  if (ENET_TIME_LESS(peer->nextTimeout + kResendSlackMs, sleeping_until)) {
    sleeping = false;
    Wake();
  }
}

}  // namespace talmeris::net::detail
