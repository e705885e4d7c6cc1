// The handshake and the control messages (HELLO, WELCOME, REJECT, PING, PONG, and the secure
// session's SECURE HELLO and SECURE WELCOME) under the host mutex.
#include "net/endpoint.h"

#include <algorithm>

#include <sodium.h>

#include "net/control_frames.h"
#include "net/secure_session.h"

namespace talmeris::net::detail {

void Endpoint::SendControl(ENetPeer* peer, const std::uint8_t* data, std::size_t size,
                           bool reliable) {
  auto* c = static_cast<Connection*>(peer->data);
  const bool sealed = c && c->seal.active;  // after the handshake, control messages are sealed
  ENetPacket* p = enet_packet_create(sealed ? nullptr : data, sealed ? size + kSealOverhead : size,
                                     reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
  if (!p) return;
  if (sealed) Seal(c->seal, kControlChannel, reliable, data, size, p->data);
  if (enet_peer_send(peer, kControlChannel, p) < 0) {
    enet_packet_destroy(p);
    if (sealed) Unseal(c->seal, kControlChannel, reliable);  // a reliable lane keeps no gap
  }
}

void Endpoint::SendPing(ENetPeer* peer, std::uint64_t clock) {
  ControlFrame ping;
  ping.type = kPing;
  ping.clock = clock;
  std::uint8_t bytes[kMaxControlSize];
  // Guaranteed: its acknowledgement, which leaves with the PONG, is what tells ENet the peer is
  // alive, so ENet's own keep-alive never needs to fire beside it.
  SendControl(peer, bytes, EncodeControl(ping, bytes), true);
}

void Endpoint::Configure(ENetPeer* peer) {
  enet_peer_timeout(peer, 0, options.timeout_min_ms, options.timeout_max_ms);
  enet_peer_ping_interval(peer, kKeepAliveMs);
  // Loopback traffic is never thinned out by ENet's unreliable throttle.
  enet_peer_throttle_configure(peer, ENET_PEER_PACKET_THROTTLE_INTERVAL, 0, 0);
}

void Endpoint::NoteRtt(Connection& c, std::uint64_t sent_ns) {
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

void Endpoint::OnConnect(ENetEvent& e, Deliveries& out) {
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
  } else if (server_connection && secure) {
    std::uint8_t hello[kSecureHelloSize];
    WriteSecureHello(&server_connection->handshake, MakeKeyPair(), application, NowNs(), hello);
    SendControl(e.peer, hello, sizeof hello, true);
  } else if (server_connection) {
    ControlFrame hello;
    hello.type = kHello;
    hello.application = application;
    hello.clock = NowNs();
    std::uint8_t bytes[kMaxControlSize];
    SendControl(e.peer, bytes, EncodeControl(hello, bytes), true);
  }
}

void Endpoint::OnControl(ENetPeer* peer, const std::uint8_t* d, std::size_t n, Deliveries& out) {
  auto* c = static_cast<Connection*>(peer->data);
  if (!c || n == 0) return;
  if (secure && !c->seal.active) {
    OnSecureControl(*c, peer, d, n, out);
    return;
  }
  ControlFrame f;
  if (!DecodeControl(d, n, &f)) return;  // malformed control messages are ignored
  std::uint8_t bytes[kMaxControlSize];
  switch (f.type) {
    case kHello: {
      if (!is_server || c->established) return;
      auto owned = TakePending(peer);
      if (!owned) return;
      if (f.version != kProtocolVersion || !(f.application == application)) {
        Refuse(peer);
        return;
      }
      owned->id = next_id++;
      ControlFrame welcome;
      welcome.type = kWelcome;
      welcome.player = owned->id;
      welcome.clock = f.clock;
      SendControl(peer, bytes, EncodeControl(welcome, bytes), true);
      Admit(std::move(owned), out);
      return;
    }
    case kWelcome:
      if (is_server || c->established || secure) return;
      Welcomed(*c, f.player, f.clock, out);
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
      // A client sends its own PING with the answer and starts its round again from here: both
      // sides' PINGs then leave in the same moments, and neither wakes the other in between.
      if (!is_server && c->established) {
        last_ping_round_ns = NowNs();
        SendPing(peer, last_ping_round_ns);
      }
      return;
    }
    case kPong:
      NoteRtt(*c, f.clock);
      return;
  }
}

void Endpoint::Admit(std::unique_ptr<Connection> owned, Deliveries& out) {
  owned->established = true;
  Connection* raw = owned.get();
  connections[raw->id] = std::move(owned);
  out.Add(raw, {MessageId::CreatePlayer, DPN_OK, raw->id, nullptr, true});
}

void Endpoint::Refuse(ENetPeer* peer) {
  ControlFrame reject;
  reject.type = kReject;
  reject.result = DPNERR_INVALIDAPPLICATION;
  std::uint8_t bytes[kMaxControlSize];
  peer->data = nullptr;  // gone for the table; the REJECT leaves in clear
  SendControl(peer, bytes, EncodeControl(reject, bytes), true);
  enet_peer_disconnect_later(peer, static_cast<enet_uint32>(DPNERR_INVALIDAPPLICATION));
}

void Endpoint::Welcomed(Connection& c, DPNID player, std::uint64_t clock, Deliveries& out) {
  c.id = player;
  c.established = true;
  NoteRtt(c, clock);
  connecting.store(false);
  connected.store(true);
  out.Add(&c, {MessageId::ConnectComplete, DPN_OK, c.id, nullptr, true});
}

// Before the keys only the handshake counts: a host answers a SECURE HELLO (and refuses a plain
// HELLO), a client takes a SECURE WELCOME that opens or a REJECT, and a plain WELCOME fails its
// connect (a server that proves no key is not the server).
void Endpoint::OnSecureControl(Connection& c, ENetPeer* peer, const std::uint8_t* d, std::size_t n,
                               Deliveries& out) {
  if (c.established) return;
  if (is_server) {
    HelloFields hello;
    if (d[0] == kSecureHello && !ReadSecureHello(&c.handshake, d, n, &hello)) return;  // short
    if (d[0] != kSecureHello && d[0] != kHello) return;
    auto owned = TakePending(peer);
    if (!owned) return;
    std::uint8_t welcome[kSecureWelcomeSize];
    SessionKeys keys;
    if (d[0] == kHello || hello.version != kSecureVersion || !(hello.application == application) ||
        !WriteSecureWelcome(owned->handshake, host_key, MakeKeyPair(), next_id, hello.clock,
                            welcome, &keys)) {
      Refuse(peer);
      return;
    }
    owned->id = next_id++;
    SendControl(peer, welcome, sizeof welcome, true);  // in clear: the keys start after it
    owned->seal.keys = keys;
    owned->seal.active = true;
    Admit(std::move(owned), out);
    return;
  }
  if (d[0] == kReject) {
    // A REJECT travels in clear and proves nothing: it never claims a key was refused.
    ControlFrame f;
    if (DecodeControl(d, n, &f))
      FailConnect(c, f.result == DPNERR_SERVERKEY ? DPNERR_HOSTREJECTEDCONNECTION : f.result, out);
    return;
  }
  if (d[0] == kWelcome) {
    FailConnect(c, DPNERR_NOTSECURE, out);
    return;
  }
  WelcomeFields welcome;
  SessionKeys keys;
  if (d[0] != kSecureWelcome || !ReadSecureWelcome(c.handshake, d, n, &welcome, &keys) ||
      welcome.player == 0 || welcome.version != kSecureVersion) {
    return;  // damaged or forged: the real one may still come, else the connect times out
  }
  proven_server_key = welcome.server_key;
  server_key_proven = true;  // even a key then refused: the refusal shows it
  if (pin_server_key &&
      sodium_memcmp(welcome.server_key.data(), expected_server_key.data(), kKeySize) != 0) {
    sodium_memzero(&keys, sizeof keys);
    FailConnect(c, DPNERR_SERVERKEY, out);
    return;
  }
  c.seal.keys = keys;
  c.seal.active = true;
  Welcomed(c, welcome.player, welcome.clock, out);
}

void Endpoint::FailConnect(Connection& c, HRESULT result, Deliveries& out) {
  connecting.store(false);
  if (c.peer) {
    c.peer->data = nullptr;
    enet_peer_reset(c.peer);
    c.peer = nullptr;
  }
  out.Add(&c, {MessageId::ConnectComplete, result, 0, nullptr, true});
  server_connection = nullptr;
}

}  // namespace talmeris::net::detail
