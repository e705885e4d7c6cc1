/* A companion program written from docs/transport.md and the peer protocol alone, on raw ENet,
 * sharing no code with the client. It connects to the peer host, says HELLO, registers as a view
 * program and waits for the welcome's last message (ShortMessage type 3).
 * Usage: raw_peer PORT. Exit code 0 when welcomed within 10 seconds. */
#include <enet/enet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const uint8_t kPeerGuid[16] = {0x3B, 0xCA, 0xD4, 0x2A, 0x68, 0xAC, 0x9B, 0x4D,
                                      0x95, 0x22, 0xBE, 0x59, 0xCD, 0x48, 0x52, 0x76};

static void put_f32(uint8_t* p, float f) {
  uint32_t u;
  memcpy(&u, &f, 4);
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(u >> (8 * i));
}

int main(int argc, char** argv) {
  if (argc < 2 || enet_initialize() != 0) return 2;
  ENetHost* host = enet_host_create(NULL, 1, 4, 0, 0);
  ENetAddress address;
  enet_address_set_host_ip(&address, "127.0.0.1");
  address.port = (enet_uint16)atoi(argv[1]);
  ENetPeer* peer = enet_host_connect(host, &address, 4, 0x314D4C54u);
  int welcomed = 0, registered = 0, messages = 0;
  ENetEvent e;
  for (int ms = 0; ms < 10000 && !welcomed; ++ms) {
    while (enet_host_service(host, &e, 1) > 0) {
      if (e.type == ENET_EVENT_TYPE_CONNECT) {
        uint8_t hello[26] = {1, 1};
        memcpy(hello + 2, kPeerGuid, 16);
        enet_peer_send(peer, 0, enet_packet_create(hello, sizeof hello, ENET_PACKET_FLAG_RELIABLE));
      } else if (e.type == ENET_EVENT_TYPE_RECEIVE) {
        const uint8_t* d = e.packet->data;
        size_t n = e.packet->dataLength;
        if (e.channelID == 0 && n >= 14 && d[0] == 2 && !registered) {
          /* WELCOME: register as the view program (kind 1, propulsion). */
          uint8_t reg[20] = {7, 0};
          put_f32(reg + 8, 4.0f);
          put_f32(reg + 12, 1.0f);
          put_f32(reg + 16, 1.0f);
          enet_peer_send(peer, 1, enet_packet_create(reg, 20, ENET_PACKET_FLAG_RELIABLE));
          registered = 1;
        } else if (e.channelID == 0 && n >= 9 && d[0] == 4) {
          uint8_t pong[9];
          memcpy(pong, d, 9);
          pong[0] = 5;
          enet_peer_send(peer, 0, enet_packet_create(pong, 9, 0));
        } else if (e.channelID != 0) {
          ++messages;
          if (n == 20 && d[0] == 3) welcomed = 1;
        }
        enet_packet_destroy(e.packet);
      } else if (e.type == ENET_EVENT_TYPE_DISCONNECT) {
        return 1;
      }
    }
  }
  printf("%s after %d messages\n", welcomed ? "welcomed" : "not welcomed", messages);
  enet_peer_disconnect_now(peer, 1);
  enet_host_flush(host);
  enet_host_destroy(host);
  return welcomed ? 0 : 1;
}
