// Standing answers: alignments, alliances, characters and passwords, and the PlayerStanding and
// PlayerIdentity updates that follow them.
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

int DevServer::SlotOf(const std::string& handle) const {
  for (const auto& [id, c] : clients_) {
    if (c->logged_in && c->handle == handle) return c->slot;
  }
  for (const auto& b : bots_) {
    if (b.online && b.handle == handle) return b.slot;
  }
  return -1;
}

std::string DevServer::HandleAt(int slot) const {
  for (const auto& [id, c] : clients_) {
    if (c->logged_in && c->slot == slot) return c->handle;
  }
  for (const auto& b : bots_) {
    if (b.online && b.slot == slot) return b.handle;
  }
  return {};
}

int DevServer::AllianceOf(const std::string& handle) const {
  for (const auto& [id, a] : alliances_) {
    if (a.members.count(handle)) return id;
  }
  return 0;
}

std::string DevServer::StandingText(const std::string& viewer, const std::string& handle) {
  auto alignment = alignments_.find({viewer, handle});
  const int aligned = alignment == alignments_.end() ? 1 : alignment->second;
  const int id = AllianceOf(handle);
  if (id == 0) return "None,0,0," + std::to_string(aligned) + ",0,0,0";
  const Alliance& a = alliances_[id];
  const int allegiance = a.chair == handle ? 65535 : id;
  return a.name + "," + std::to_string(allegiance) + "," + std::to_string(a.members.at(handle)) +
         "," + std::to_string(aligned) + "," + std::to_string(a.tax) + "," +
         std::to_string(a.redistribution) + "," + std::to_string(a.discount);
}

void DevServer::AnnounceStanding(const std::string& handle) {
  const int slot = SlotOf(handle);
  if (slot < 0) return;
  for (auto& [id, other] : clients_) {
    if (other->logged_in)
      SendText(id, kPlayerStanding, static_cast<std::uint8_t>(slot),
               StandingText(other->handle, handle));
  }
}

void DevServer::OnStandingShort(Client& c, std::uint8_t type, float v1, float v2, float v3,
                                float v4) {
  // The values arrive as any f32: taken as whole numbers the one way that never traps, and the
  // slot checked before it is used.
  const std::int64_t w1 = WholeNumber(v1), w2 = WholeNumber(v2), w3 = WholeNumber(v3);
  if (type == kSetAlignment) {
    if (w1 < 0 || w1 >= 32 || w2 < 0 || w2 > 3) return;
    const int slot = static_cast<int>(w1), alignment = static_cast<int>(w2);
    const std::string player = HandleAt(slot);
    if (player.empty()) return;
    alignments_[{c.handle, player}] = alignment;
    Log("alignment " + c.handle + " -> " + player + ": " + std::to_string(alignment));
    SendText(c.id, kPlayerStanding, static_cast<std::uint8_t>(slot),
             StandingText(c.handle, player));
    return;
  }
  auto percent = [](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, 100));
  };
  const std::int64_t form = WholeNumber(v4);
  const int own = AllianceOf(c.handle);
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  if (form == 0) {  // join the alliance a player belongs to (65535: the only alliance there is)
    int id = w1 >= 0 && w1 <= 65535 ? static_cast<int>(w1) : 0;
    if (id == 65535 && alliances_.size() == 1) id = alliances_.begin()->first;
    if (own != 0 || !alliances_.count(id)) {
      Log("join refused for " + c.handle);
      return;
    }
    alliances_[id].members[c.handle] = now;
    Log(c.handle + " joined " + alliances_[id].name);
    AnnounceStanding(c.handle);
  } else if (form == 1 && own != 0 && alliances_[own].chair == c.handle) {
    Alliance& a = alliances_[own];
    std::string next;
    for (const auto& [member, since] : a.members) {
      if (member != c.handle && (next.empty() || since < a.members[next])) next = member;
    }
    if (next.empty()) {
      Log(c.handle + " resigned; " + a.name + " dissolved");
      alliances_.erase(own);
      AnnounceStanding(c.handle);
      return;
    }
    a.chair = next;
    Log(c.handle + " resigned; " + next + " chairs " + a.name);
    AnnounceStanding(c.handle);
    AnnounceStanding(next);
  } else if (form == 2 && own != 0 && alliances_[own].chair != c.handle) {
    alliances_[own].members.erase(c.handle);
    Log(c.handle + " left " + alliances_[own].name);
    AnnounceStanding(c.handle);
  } else if (form == 3 && own != 0 && alliances_[own].chair == c.handle) {
    Alliance& a = alliances_[own];
    a.discount = percent(w1);
    a.tax = percent(w2);
    a.redistribution = percent(w3);
    Log("rates of " + a.name + ": tax " + std::to_string(a.tax) + ", redistribution " +
        std::to_string(a.redistribution) + ", discount " + std::to_string(a.discount));
    for (const auto& [member, since] : a.members) AnnounceStanding(member);
  } else {
    Log("alliance request " + std::to_string(form) + " refused for " + c.handle);
  }
}

void DevServer::OnStandingText(Client& c, std::uint8_t type, std::uint8_t param,
                               const std::string& text) {
  switch (type) {
    case 10: {  // CreateAlliance
      if (AllianceOf(c.handle) != 0 || text.empty() || next_alliance_ >= 65535) {
        Log("alliance not created for " + c.handle);
        return;
      }
      const int id = next_alliance_++;
      alliances_[id] = Alliance{text, c.handle, {{c.handle, std::time(nullptr)}}};
      Log(c.handle + " created " + text);
      AnnounceStanding(c.handle);
      return;
    }
    case 20: {  // RemoveAllianceMember
      const int own = AllianceOf(c.handle);
      if (own == 0 || alliances_[own].chair != c.handle || text == c.handle ||
          !alliances_[own].members.erase(text)) {
        Log("remove " + text + " refused for " + c.handle);
        return;
      }
      Log(c.handle + " removed " + text + " from " + alliances_[own].name);
      AnnounceStanding(text);
      return;
    }
    case 12:  // CommitCharacter
      if (param != 1 && param != 2) return;
      c.name = text;
      c.gender = param;
      for (auto& a : options_.accounts) {
        if (a.handle == c.handle) {
          a.character_name = text;
          a.gender = param;
        }
      }
      Log(c.handle + " is now " + text);
      for (auto& [id, other] : clients_) {
        if (other->logged_in)
          SendText(id, kPlayerIdentity, static_cast<std::uint8_t>(c.slot),
                   std::to_string(c.gender) + "," + c.handle + ",Pilot," + std::to_string(c.id) +
                       "," + c.name);
      }
      return;
    case 16:  // PasswordChange
      for (auto& a : options_.accounts) {
        if (a.handle == c.handle) {
          a.password = text;  // hashed again when the world is kept
          a.password_hash.clear();
        }
      }
      Log("password changed for " + c.handle);
      return;
    default:
      return;
  }
}

}  // namespace talmeris::devserver
