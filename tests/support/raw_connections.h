// Raw ENet connections made by a test itself, as any local program could make them: some say
// hello with an application's GUID, some say nothing at all.
#pragma once

#include <enet/enet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "net/transport.h"

namespace talmeris::test {

struct RawConnections {
  explicit RawConnections(std::size_t channels, std::size_t peers = 128) : channels(channels) {
    host = enet_host_create(nullptr, peers, channels, 0, 0);
  }
  ~RawConnections() {
    if (host) enet_host_destroy(host);
  }
  RawConnections(const RawConnections&) = delete;
  RawConnections& operator=(const RawConnections&) = delete;

  // `count` connections to a loopback port; with `hello`, each says hello for that application
  // once connected.
  void Connect(std::uint32_t port, int count, const net::Guid* hello = nullptr) {
    ENetAddress address;
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = static_cast<enet_uint16>(port);
    for (int i = 0; i < count; ++i) {
      ENetPeer* peer = enet_host_connect(host, &address, channels, 0x314D4C54);
      if (peer) peer->data = const_cast<net::Guid*>(hello);
    }
  }
  // Services the host until `done` holds (true) or the deadline passes (false).
  template <typename Done>
  bool Service(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ENetEvent e;
      while (enet_host_service(host, &e, 5) > 0) {
        if (e.type == ENET_EVENT_TYPE_CONNECT) {
          ++connected;
          if (const auto* app = static_cast<const net::Guid*>(e.peer->data)) {
            std::uint8_t hello[26] = {1, 1};
            std::memcpy(hello + 2, app->bytes.data(), 16);
            enet_peer_send(e.peer, 0, enet_packet_create(hello, sizeof hello, 1));
          }
        } else if (e.type == ENET_EVENT_TYPE_RECEIVE) {
          if (e.channelID == 0 && e.packet->dataLength > 0 && e.packet->data[0] == 2) ++welcomed;
          enet_packet_destroy(e.packet);
        } else if (e.type == ENET_EVENT_TYPE_DISCONNECT) {
          ++disconnected;
        }
      }
    }
    return true;
  }
  void Send(int peer, std::uint8_t channel, std::size_t size, enet_uint32 flags) {
    std::vector<std::uint8_t> data(size, 0x5A);
    enet_peer_send(&host->peers[peer], channel, enet_packet_create(data.data(), size, flags));
    enet_host_flush(host);
  }

  std::size_t channels;
  ENetHost* host;
  // Counted on the servicing thread; another thread may read them.
  std::atomic<int> connected{0}, welcomed{0}, disconnected{0};
};

}  // namespace talmeris::test
