// The development server's core: its life, the session's events, sends, slots, and chat.
#include "devserver_internal.h"

#include <sodium.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/bytes.h"
#include "net/enet_transport.h"
#include "net/secure_session.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "voice/voice_wire.h"

namespace talmeris::devserver {

using namespace net;

void DevServer::Log(const std::string& line) {
  if (options_.log) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

bool DevServer::Start() {
  EnetOptions enet;
  enet.listen_host = options_.listen_host;
  // It speaks only the secure session, proving its static key.
  KeyPair key;
  if (options_.has_secret_key) {
    Key secret;
    std::copy(options_.secret_key.begin(), options_.secret_key.end(), secret.begin());
    key = KeyPairFromSecret(secret);
    sodium_memzero(secret.data(), secret.size());
    sodium_memzero(options_.secret_key.data(), options_.secret_key.size());
  } else {
    key = MakeKeyPair();
  }
  std::copy(key.public_key.begin(), key.public_key.end(), public_key_.begin());
  enet.secure_host = true;
  std::copy(key.secret_key.begin(), key.secret_key.end(), enet.host_secret_key.begin());
  network_ = CreateEnetNetwork(enet);
  network_->CreateServer(&server_);
  // The transport keeps the one copy of the secret it needs; these are wiped.
  sodium_memzero(key.secret_key.data(), key.secret_key.size());
  sodium_memzero(enet.host_secret_key.data(), enet.host_secret_key.size());
  server_->Initialize(this, &DevServer::Handle, 1);
  Address device;
  network_->SetSP(device, CLSID_DP8SP_TCPIP);
  network_->AddComponent(device, "port", options_.port);
  ApplicationDesc app;
  app.application = kServerApplication;
  app.flags = DPNSESSION_CLIENT_SERVER;
  started_ = std::chrono::steady_clock::now();
  if (options_.demo) {
    const char* handles[] = {"vega", "orrin", "tamsin"};
    const char* names[] = {"Vega Marsh", "Orrin Tal", "Tamsin Row"};
    for (int i = 0; i < 3; ++i) {
      bots_.push_back(Bot{static_cast<int>(options_.max_players) - 1 - i, handles[i], names[i],
                          static_cast<std::uint8_t>(1 + i % 2), true, 8.0 + 7.0 * i,
                          static_cast<float>(i)});
    }
  }
  patch_ = PlanPatch(options_);
  server_->SetVoiceSink({this, &DevServer::OnVoice, nullptr});
  if (Failed(server_->Host(app, device))) return false;
  running_ = true;
  demo_thread_ = std::thread([this] { DemoLoop(); });
  Log("listening on port " + std::to_string(options_.port));
  return true;
}

void DevServer::Stop() {
  if (!running_.exchange(false)) return;
  if (demo_thread_.joinable()) demo_thread_.join();
  server_->Close(1);
}

void DevServer::UniverseClock(float* hours, float* seconds) const {
  double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  t += 3000.0;  // start late in an hour so the rollover shows soon
  *hours = static_cast<float>(100 + std::floor(t / 3600.0));
  *seconds = static_cast<float>(std::fmod(t, 3600.0));
}

HRESULT DevServer::Handle(void* self, const Message& m) {
  auto* s = static_cast<DevServer*>(self);
  switch (m.id) {
    case MessageId::CreatePlayer:
      s->OnCreatePlayer(m.player);
      break;
    case MessageId::DestroyPlayer:
      if (m.result == net::DPNERR_TAMPERED)
        s->Log("connection " + std::to_string(m.player) + " tampered with or damaged on the way");
      s->OnDestroyPlayer(m.player);
      break;
    case MessageId::Receive:
      s->OnReceive(m.player, m.data, m.size);
      break;
    default:
      break;
  }
  return DPN_OK;
}

void DevServer::SendTo(DPNID id, const std::uint8_t* data, std::uint32_t size, bool guaranteed) {
  server_->SendTo(id, data, size, guaranteed ? 0 : 1000, guaranteed ? 0x128 : 0x122);
}

void DevServer::SendShort(DPNID id, std::uint8_t type, std::uint8_t param, float v1, float v2,
                          float v3, float v4) {
  auto b = ShortMessage{type, param, v1, v2, v3, v4}.Encode();
  SendTo(id, b.data(), b.size());
}

void DevServer::SendText(DPNID id, std::uint8_t type, std::uint8_t param, const std::string& text) {
  auto m = TextMessage::Make(type, param, text);
  SendTo(id, m.bytes.data(), m.bytes.size());
}

int DevServer::FreeSlot() const {
  for (int slot = 0; slot < static_cast<int>(options_.max_players); ++slot) {
    bool taken = false;
    for (auto& [id, c] : clients_) taken = taken || c->slot == slot;
    for (auto& b : bots_) taken = taken || (b.slot == slot);
    if (!taken) return slot;
  }
  return -1;
}

DevServer::Client* DevServer::FindClient(DPNID id) {
  auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second.get();
}

DevServer::Client* DevServer::FindByHandle(const std::string& handle, bool during_login) {
  for (auto& [id, c] : clients_) {
    // The handle is set once the login is verified, before the client acknowledges it.
    if ((c->logged_in || (during_login && !c->handle.empty())) && c->handle == handle) {
      return c.get();
    }
  }
  return nullptr;
}

void DevServer::OnCreatePlayer(DPNID id) {
  if (!running_) return;  // the host's own player, reported while Host runs
  std::lock_guard lock(mutex_);
  auto c = std::make_unique<Client>();
  c->id = id;
  c->slot = FreeSlot();
  float hours, seconds;
  UniverseClock(&hours, &seconds);
  // A full server welcomes with slot 32, which the client refuses.
  SendShort(id, kSessionWelcome, static_cast<std::uint8_t>(c->slot < 0 ? 32 : c->slot), seconds,
            options_.newest_release, hours);
  Log("connected " + std::to_string(id) + " slot " + std::to_string(c->slot));
  clients_[id] = std::move(c);
}

void DevServer::OnDestroyPlayer(DPNID id) {
  SetVoiceListener(id, false);
  std::lock_guard lock(mutex_);
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  std::unique_ptr<Client> c = std::move(it->second);
  clients_.erase(it);
  if (c->logged_in) AnnounceLogOff(c->slot);
  Log("disconnected " + (c->handle.empty() ? std::to_string(id) : c->handle));
}

void DevServer::OnReceive(DPNID id, const std::uint8_t* data, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  Client* c = FindClient(id);
  if (!c) return;
  if (size == kAccountMessageSize) {
    OnAccountMessage(*c, data);
  } else if (size == kTextMessageSize && data[0] == kChatLine && c->logged_in) {
    OnChat(*c, data);
  } else if (size == kTextMessageSize && c->logged_in) {
    OnStandingText(*c, data[0], data[1], std::string(LoadFixedText(data + 4, 84)));
  } else if (size == kShortMessageSize) {
    ShortMessage m = ShortMessage::Decode(data);
    if (m.type == kLoginAcknowledge && c->verified) {
      OnLoginAcknowledge(*c);
    } else if (m.type == kPatchChunkRequest && c->patching) {
      SendNextChunk(*c);
    } else if (m.type == kExpletiveReport && c->logged_in) {
      ++expletives_[c->handle];
      Log("expletive from " + c->handle);
    } else if ((m.type == kSetAlignment || m.type == kAllianceRequest) && c->logged_in) {
      OnStandingShort(*c, m.type, m.value1, m.value2, m.value3, m.value4);
    } else if (m.type == kNameSuggestionRequest) {
      bool male = m.value1 == 1.0f || (m.value1 == 0.0f && (name_counter_ % 2) == 0);
      const char* name = male ? kMaleNames[name_counter_ % 4] : kFemaleNames[name_counter_ % 4];
      ++name_counter_;
      SendText(id, kCharacterNameSuggestion, male ? 1 : 2, name);
    }
  }
  // Accounts, characters, standing and offline messages change only through these.
  if (size == kAccountMessageSize || size == kTextMessageSize || size == kShortMessageSize) {
    SaveWorldIfChanged();
  }
}

void DevServer::OnChat(Client& c, const std::uint8_t* data) {
  std::uint8_t line[kTextMessageSize];
  std::copy(data, data + kTextMessageSize, line);
  line[1] = static_cast<std::uint8_t>(c.slot);  // the sender's slot
  for (auto& [id, other] : clients_) {
    if (other.get() != &c && other->logged_in) SendTo(id, line, kTextMessageSize);
  }
  Log("chat " + c.handle + ": " + std::string(LoadFixedText(data + 4, 84)));
}

}  // namespace talmeris::devserver
