#include "peersim.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "base/bytes.h"
#include "net/enet_transport.h"
#include "server/protocol.h"
#include "server/text_fields.h"

namespace talmeris::peersim {

using namespace net;

Simulator::Simulator(Options options) : options_(std::move(options)) {}

Simulator::~Simulator() {
  Stop();
}

void Simulator::Line(const std::string& line) {
  if (options_.on_line) options_.on_line(line);
}

bool Simulator::Start() {
  network_ = CreateEnetNetwork();
  network_->CreateClient(&client_);
  client_->Initialize(this, &Simulator::Handle, 1);
  Address host, device;
  network_->SetSP(host, CLSID_DP8SP_TCPIP);
  network_->SetSP(device, CLSID_DP8SP_TCPIP);
  network_->AddComponent(host, "hostname", std::string_view(options_.host));
  network_->AddComponent(host, "port", options_.port);
  ApplicationDesc app;
  app.application = *Guid::Parse("{2AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
  app.flags = DPNSESSION_CLIENT_SERVER;
  running_ = true;
  return Succeeded(client_->Connect(app, host, device));
}

void Simulator::Stop() {
  if (!running_.exchange(false)) return;
  if (reporter_.joinable()) reporter_.join();
  client_->Close(kCloseImmediate);
}

HRESULT Simulator::Handle(void* self, const Message& m) {
  auto* s = static_cast<Simulator*>(self);
  switch (m.id) {
    case MessageId::ConnectComplete:
      if (m.result != DPN_OK) {
        s->Line("connect failed");
        break;
      }
      s->connected_ = true;
      s->Line("connected");
      if (s->options_.register_on_connect) {
        s->SendShort(7, 0, 0.0f, s->options_.tag, s->options_.kind,
                     s->options_.propulsion ? 1.0f : 0.0f);
      }
      if (s->options_.report_hz > 0) s->reporter_ = std::thread([s] { s->ReportLoop(); });
      break;
    case MessageId::TerminateSession:
      s->connected_ = false;
      s->Line("terminated");
      break;
    case MessageId::Receive: {
      if (s->options_.on_payload) s->options_.on_payload(m.data, m.size);
      s->FollowOwnVessel(m.data, m.size);
      if (!s->options_.on_line) break;
      char line[256];
      if (m.size == ShortMessage::kSize) {
        ShortMessage x = ShortMessage::Decode(m.data);
        std::snprintf(line, sizeof line, "short %u %u %g %g %g %g", x.type, x.param, x.value1,
                      x.value2, x.value3, x.value4);
        s->Line(line);
        if (x.type == 0 && x.param == 255) s->Line("refused");
        if (x.type == 3) s->Line("welcomed");
      } else if (m.size == TextMessage::kSize) {
        std::snprintf(line, sizeof line, "text %u %u %s", m.data[0], m.data[1],
                      std::string(MessageText(m.data + 4, 84)).c_str());
        s->Line(line);
      } else if (m.size == 64) {
        std::snprintf(line, sizeof line, "state %u", m.data[0]);
        s->Line(line);
      } else {
        std::snprintf(line, sizeof line, "bytes %u", m.size);
        s->Line(line);
      }
      break;
    }
    default:
      break;
  }
  return DPN_OK;
}

void Simulator::SendShort(std::uint8_t type, std::uint8_t param, float v1, float v2, float v3,
                          float v4) {
  auto b = ShortMessage{type, param, v1, v2, v3, v4}.Encode();
  client_->Send(b.data(), b.size(), 0, 0x128);
}

void Simulator::SendText(std::uint8_t type, std::uint8_t param, const std::string& text) {
  auto m = TextMessage::Make(type, param, text);
  client_->Send(m.bytes.data(), m.bytes.size(), 0, 0x128);
}

void Simulator::SendRaw(const std::vector<std::uint8_t>& bytes, bool guaranteed) {
  client_->Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()), guaranteed ? 0 : 1000,
                guaranteed ? 0x128 : 0x122);
}

void Simulator::FollowOwnVessel(const std::uint8_t* data, std::uint32_t size) {
  std::lock_guard lock(own_mutex_);
  if (size == ShortMessage::kSize && data[0] == 0) {
    own_slot_ = data[1];  // the welcome: the own vessel's slot
  } else if (size == 64 && own_slot_ >= 0 && data[0] == own_slot_) {
    float position[3];
    for (int i = 0; i < 3; ++i) position[i] = LoadF32(data + 4 + 4 * i);
    // The welcome also brings the vessel table, the own vessel at the centre until someone has
    // flown it: that is no place to fly on from.
    if (position[0] == 0 && position[1] == 0 && position[2] == 0) return;
    for (int i = 0; i < 3; ++i) {
      own_position_[i] = position[i];
      own_velocity_[i] = LoadF32(data + 16 + 4 * i);
    }
    std::copy(data + 44, data + 50, own_rates_);
    own_known_ = true;
    own_at_ = std::chrono::steady_clock::now();
  }
}

void Simulator::SendReport() {
  std::uint8_t r[60] = {};
  const std::uint32_t n = reports_.fetch_add(1);
  float position[3], velocity[3] = {};
  {
    std::lock_guard lock(own_mutex_);
    if (own_known_) {
      std::copy(own_rates_, own_rates_ + 6, r + 40);  // turning as the server has it
      // On from where the server last put the vessel, at its velocity (km and km/s).
      const float dt =
          std::chrono::duration<float>(std::chrono::steady_clock::now() - own_at_).count();
      for (int i = 0; i < 3; ++i) {
        position[i] = own_position_[i] + own_velocity_[i] * dt;
        velocity[i] = own_velocity_[i];
      }
    } else {
      // Nothing from the server yet: a circle 0.4 km up at 250 m/s, with that velocity.
      const double hz = options_.report_hz > 0 ? options_.report_hz : 20.0;
      const double radius = 2940.0, rate = 0.25 / radius, angle = rate * n / hz;
      position[0] = static_cast<float>(radius * std::cos(angle));
      position[1] = static_cast<float>(radius * std::sin(angle));
      position[2] = 0.0f;
      velocity[0] = static_cast<float>(-radius * rate * std::sin(angle));
      velocity[1] = static_cast<float>(radius * rate * std::cos(angle));
    }
  }
  for (int i = 0; i < 3; ++i) {
    StoreF32(r + 4 * i, position[i]);
    StoreF32(r + 12 + 4 * i, velocity[i]);
  }
  StoreF32(r + 24 + 12, 1.0f);  // orientation w
  StoreF32(r + 52, 1000.0f);    // fuel
  r[56] = 0xFF;                 // moving freely
  client_->Send(r, sizeof r, 1000, 0x122);
}

void Simulator::ReportLoop() {
  auto period = std::chrono::duration<double>(1.0 / options_.report_hz);
  auto next = std::chrono::steady_clock::now();
  while (running_ && connected_) {
    SendReport();
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
    std::this_thread::sleep_until(next);
  }
}

std::string Simulator::Command(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::string rest;
  std::getline(in, rest);
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  if (verb == "register") {
    SendShort(7, 0, 0.0f, options_.tag, options_.kind, options_.propulsion ? 1.0f : 0.0f);
  } else if (verb == "switch") {
    SendShort(12, 0, 0, 0, 0, std::strtof(rest.c_str(), nullptr));
  } else if (verb == "dock") {
    SendShort(2, 0, std::strtof(rest.c_str(), nullptr), 1.0f);
  } else if (verb == "undock") {
    SendShort(2, 0, 0, 0.0f);
  } else if (verb == "chat") {
    SendText(0, 0, rest);
  } else if (verb == "shared") {
    SendText(15, 1, rest);
  } else if (verb == "report") {
    int n = rest.empty() ? 1 : std::atoi(rest.c_str());
    for (int i = 0; i < n; ++i) SendReport();
  } else if (verb == "cue") {
    SendShort(10, 0, 1, 2, 3, 4);
  } else {
    return "commands: register | switch CODE | dock I | undock | chat TEXT | shared TEXT | "
           "report [N] | cue | quit\n";
  }
  return "ok\n";
}

}  // namespace talmeris::peersim
