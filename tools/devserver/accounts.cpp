// Accounts and login: the account message, the login acknowledgement, completing the login,
// and introducing players to each other.
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

void DevServer::OnAccountMessage(Client& c, const std::uint8_t* data) {
  std::string handle(LoadFixedText(data, 13));
  std::string password(LoadFixedText(data + 13, 16));
  if (data[256] == 2) {
    std::string referrer(LoadFixedText(data + 29, 13));
    std::string name(LoadFixedText(data + 42, 30));
    bool taken = false, referrer_known = referrer.empty();
    for (auto& a : options_.accounts) {
      taken = taken || a.handle == handle;
      referrer_known = referrer_known || a.handle == referrer;
    }
    std::uint8_t reply = taken ? 1 : !referrer_known ? 2 : 0;
    if (reply == 0) options_.accounts.push_back(Account{handle, password, name, data[72]});
    SendShort(c.id, kAccountCreationReply, reply);
    Log("new account " + handle + " -> " + std::to_string(reply));
    return;
  }
  const Account* account = nullptr;
  for (auto& a : options_.accounts) {
    if (a.handle == handle) account = &a;
  }
  const float release = LoadF32(data + 60);
  if (!account) {
    SendShort(c.id, kLoginStatus, 0, 2.0f, 2.0f);
  } else if (!PasswordMatches(*account, password)) {
    SendShort(c.id, kLoginStatus, 0, 0.0f, 2.0f);
  } else if (FindByHandle(handle)) {
    SendShort(c.id, kLoginStatus, 0, 0.0f, 3.0f);
  } else if (release < options_.minimum_release) {
    SendShort(c.id, kLoginStatus, 0, 0.0f, 4.0f);
  } else {
    c.handle = handle;
    c.data_revision = LoadU16(data + 66);
    c.name = account->character_name.empty() ? handle : account->character_name;
    c.gender = account->gender;
    c.verified = true;
    SendShort(c.id, kLoginStatus, 0, 1.0f, 2.0f);
  }
  Log("login " + handle);
}

void DevServer::OnLoginAcknowledge(Client& c) {
  if (c.logged_in || c.patching || c.slot < 0) return;
  if (!patch_.empty() && c.data_revision < options_.patch_revision) {
    // Out of date: the patch first, one chunk per request, then the login completes.
    std::uint32_t counted = 0;
    for (const auto& chunk : patch_) counted += chunk.operation == 4 ? 0 : 1;
    c.patching = true;
    c.next_chunk = 0;
    SendShort(c.id, kLoginStatus, 0, static_cast<float>(c.slot), 1.0f,
              static_cast<float>(counted * kChunkData));
    Log("patching " + c.handle + ": " + std::to_string(patch_.size()) + " chunks");
    return;
  }
  CompleteLogin(c, options_.data_revision);
}

void DevServer::CompleteLogin(Client& c, std::uint16_t revision) {
  SendShort(c.id, kLoginStatus, 0, static_cast<float>(c.slot), 0.0f, revision);
  c.logged_in = true;
  SetVoiceListener(c.id, true);
  Introduce(c.id, c.slot, c.handle, c.name, c.gender, c.id);  // its own identity
  for (auto& [id, other] : clients_) {
    if (other.get() != &c && other->logged_in)
      Introduce(c.id, other->slot, other->handle, other->name, other->gender, other->id);
  }
  for (auto& b : bots_) {
    if (b.online) Introduce(c.id, b.slot, b.handle, b.name, b.gender, BotIdentity(b.slot));
  }
  AnnounceToLoggedIn(c.slot, c.handle, c.name, c.gender, c.id, c.id);
  // Offline messages left while the player was away.
  auto waiting = offline_.find(c.handle);
  if (waiting != offline_.end()) {
    for (const std::string& text : waiting->second) SendText(c.id, kOfflineMessage, 0, text);
    offline_.erase(waiting);
  }
  Log("running " + c.handle);
}

void DevServer::AddAccount(const Account& account) {
  std::lock_guard lock(mutex_);
  options_.accounts.push_back(account);
  SaveWorldIfChanged();
}

void DevServer::Introduce(DPNID to, int slot, const std::string& handle, const std::string& name,
                          std::uint8_t gender, DPNID identity) {
  // The identity number is the player's id on the session: voice targets name players by it.
  SendText(
      to, kPlayerIdentity, static_cast<std::uint8_t>(slot),
      std::to_string(gender) + "," + handle + ",Pilot," + std::to_string(identity) + "," + name);
  SendText(to, kPlayerStanding, static_cast<std::uint8_t>(slot),
           StandingText(FindClient(to) ? FindClient(to)->handle : std::string(), handle));
  std::string vessel = handle.substr(0, 5) + ",00000,1,0,0,0,0," + std::to_string(slot) +
                       ",0,0,TAL-" + std::to_string(100 + slot);
  SendText(to, kVesselIdentity, static_cast<std::uint8_t>(slot), vessel);
}

void DevServer::AnnounceLogOff(int slot) {
  for (auto& [id, other] : clients_) {
    if (!other->logged_in) continue;
    SendShort(id, kPlayerLoggedOff, static_cast<std::uint8_t>(slot));
    SendShort(id, kVesselGone, static_cast<std::uint8_t>(slot));
  }
}

void DevServer::AnnounceToLoggedIn(int slot, const std::string& handle, const std::string& name,
                                   std::uint8_t gender, DPNID except, DPNID identity) {
  for (auto& [id, other] : clients_) {
    if (other->logged_in && id != except) Introduce(id, slot, handle, name, gender, identity);
  }
}

}  // namespace talmeris::devserver
