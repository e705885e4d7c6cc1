// The demo: three scripted players that log on and off, move, and now and then say something.
#include "devserver_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/bytes.h"
#include "net/enet_transport.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "voice/voice_wire.h"

namespace talmeris::devserver {

using namespace net;

void DevServer::DemoLoop() {
  while (running_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard lock(mutex_);
    double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (options_.own_path) {
      // Each signed-in player's own vessel flies a wide circle at about 250 m/s, climbing and
      // descending between 4.6 and 6.2 km above the surface every 90 s and rolling gently,
      // with the velocity that path has (km and km/s, the planet's centre at the origin).
      constexpr double kSurface = 2939.6, kSpeed = 0.25, kPeriod = 90.0;
      const double wave = 2.0 * 3.14159265358979 / kPeriod;
      const double radius = kSurface + 5.4 + 0.8 * std::sin(wave * now);
      const double climb = 0.8 * wave * std::cos(wave * now);  // km/s
      const double turn = kSpeed / (kSurface + 5.4), angle = turn * now;
      std::uint8_t state[kVesselStateSize] = {};
      StoreF32(state + 4, static_cast<float>(radius * std::cos(angle)));
      StoreF32(state + 8, static_cast<float>(radius * std::sin(angle)));
      StoreF32(state + 16,
               static_cast<float>(climb * std::cos(angle) - radius * turn * std::sin(angle)));
      StoreF32(state + 20,
               static_cast<float>(climb * std::sin(angle) + radius * turn * std::cos(angle)));
      StoreF32(state + 40, 1.0f);  // orientation w
      StoreU16(state + 46, static_cast<std::uint16_t>(static_cast<std::int16_t>(
                               520 * std::sin(wave * 3 * now))));             // roll rate
      state[50] = static_cast<std::uint8_t>(40 + 30 * std::cos(wave * now));  // thrust i
      state[56] = 0xFF;                                                       // moving freely
      for (auto& [id, c] : clients_) {
        if (!c->logged_in) continue;
        state[0] = static_cast<std::uint8_t>(c->slot);
        SendTo(id, state, sizeof state, false);
      }
    }
    for (auto& b : bots_) {
      if (now >= b.next_toggle) {
        b.online = !b.online;
        b.next_toggle = now + (b.online ? 25.0 : 8.0);
        if (b.online) {
          AnnounceToLoggedIn(b.slot, b.handle, b.name, b.gender, 0, BotIdentity(b.slot));
        } else {
          AnnounceLogOff(b.slot);
        }
      }
      if (!b.online) continue;
      if (now >= b.next_chat) {
        if (b.next_chat > 0) {
          auto line = TextMessage::Make(kChatLine, static_cast<std::uint8_t>(b.slot),
                                        kBotLines[name_counter_++ % std::size(kBotLines)]);
          for (auto& [id, c] : clients_) {
            if (c->logged_in) SendTo(id, line.bytes.data(), kTextMessageSize);
          }
        }
        b.next_chat = now + 20.0 + 9.0 * (b.slot % 3);
      }
      b.angle += 0.01f;
      std::uint8_t position[kPlayerPositionSize] = {static_cast<std::uint8_t>(b.slot), 0, 1, 0};
      StoreU16(position + 6,
               static_cast<std::uint16_t>(static_cast<std::int16_t>(100 * std::cos(b.angle))));
      StoreU16(position + 8,
               static_cast<std::uint16_t>(static_cast<std::int16_t>(100 * std::sin(b.angle))));
      position[10] = static_cast<std::uint8_t>(b.angle * 40);
      std::uint8_t state[kVesselStateSize] = {static_cast<std::uint8_t>(b.slot)};
      StoreF32(state + 4, 2950.0f * std::cos(b.angle));
      StoreF32(state + 8, 2950.0f * std::sin(b.angle));
      StoreF32(state + 28, 1.0f);
      state[56] = 0xFF;  // moving freely
      for (auto& [id, c] : clients_) {
        if (!c->logged_in) continue;
        SendTo(id, position, sizeof position, false);
        SendTo(id, state, sizeof state, false);
      }
    }
  }
}

}  // namespace talmeris::devserver
