// The handshake and the control messages (HELLO, WELCOME, REJECT, PING, PONG) under the host mutex.
#include "net/endpoint.h"

#include <algorithm>

#include "net/control_frames.h"

namespace talmeris::net::detail {

void Endpoint::SendControl(ENetPeer* peer, const std::uint8_t* data, std::size_t size,
                           bool reliable) {
  ENetPacket* p = enet_packet_create(data, size, reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
  if (p && enet_peer_send(peer, kControlChannel, p) < 0) enet_packet_destroy(p);
}

void Endpoint::Configure(ENetPeer* peer) {
  enet_peer_timeout(peer, 0, options.timeout_min_ms, options.timeout_max_ms);
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
