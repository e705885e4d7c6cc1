// Operator commands (standard input) and the calls behind them.
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

bool DevServer::Notice(const std::string& handle, const std::string& text) {
  std::lock_guard lock(mutex_);
  bool sent = false;
  for (auto& [id, c] : clients_) {
    if (c->logged_in && (handle == "all" || c->handle == handle)) {
      SendText(id, kServerNotice, 0, text);
      sent = true;
    }
  }
  return sent;
}

void DevServer::Offline(const std::string& handle, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (Client* c = FindByHandle(handle)) {
    SendText(c->id, kOfflineMessage, 0, text);
  } else {
    offline_[handle].push_back(text);
    SaveWorldIfChanged();
  }
}

std::string DevServer::Statistics(const std::string& handle) {
  std::lock_guard lock(mutex_);
  Client* c = FindByHandle(handle, true);
  ConnectionInfo i;
  if (!c || Failed(server_->GetConnectionInfo(c->id, &i))) return {};
  char line[256];
  std::snprintf(line, sizeof line,
                "rtt %u ms, sent %u guaranteed %u not, received %u guaranteed %u not, "
                "%u messages, retried %u, dropped %u",
                i.round_trip_latency_ms, i.packets_sent_guaranteed, i.packets_sent_non_guaranteed,
                i.packets_received_guaranteed, i.packets_received_non_guaranteed,
                i.messages_received, i.packets_retried, i.packets_dropped);
  return line;
}

int DevServer::Expletives(const std::string& handle) {
  std::lock_guard lock(mutex_);
  auto it = expletives_.find(handle);
  return it == expletives_.end() ? 0 : it->second;
}

std::vector<PlayerInfo> DevServer::Players() {
  std::lock_guard lock(mutex_);
  std::vector<PlayerInfo> out;
  for (auto& [id, c] : clients_) out.push_back({id, c->slot, c->handle});
  return out;
}

bool DevServer::SendRaw(const std::string& handle, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  Client* c = FindByHandle(handle, true);
  if (!c || bytes.empty()) return false;
  SendTo(c->id, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return true;
}

bool DevServer::Kick(const std::string& handle) {
  std::lock_guard lock(mutex_);
  Client* c = FindByHandle(handle);
  if (!c) return false;
  SendShort(c->id, kSessionEnd, 0, 1.0f);
  return true;
}

void DevServer::AnnounceShutdown() {
  std::lock_guard lock(mutex_);
  for (auto& [id, c] : clients_) SendShort(id, kSessionEnd, 0, 0.0f);
}

std::string DevServer::Command(const std::string& line) {
  std::istringstream in(line);
  std::string verb, who;
  in >> verb;
  if (verb == "list") {
    std::string out;
    for (auto& p : Players()) {
      out += std::to_string(p.slot) + " " + (p.handle.empty() ? "-" : p.handle) + "\n";
    }
    return out.empty() ? "nobody\n" : out;
  }
  if (verb == "kick") {
    if (!(in >> who)) return "usage: kick HANDLE\n";
    return Kick(who) ? "kicked\n" : "no such player\n";
  }
  if (verb == "shutdown") {
    AnnounceShutdown();
    return "shutdown announced\n";
  }
  if (verb == "send") {  // send HANDLE HEXBYTES
    std::string hex;
    if (!(in >> who >> hex)) return "usage: send HANDLE HEXBYTES\n";
    auto digit = [](char ch) -> int {
      if (ch >= '0' && ch <= '9') return ch - '0';
      if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
      if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
      return -1;
    };
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > kMaxPayload) {
      return "bad hex: an even number of hexadecimal digits, at most 65536 bytes\n";
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      const int high = digit(hex[i]), low = digit(hex[i + 1]);
      if (high < 0 || low < 0) return "bad hex: not a hexadecimal digit\n";
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return SendRaw(who, bytes) ? "sent\n" : "not sent\n";
  }
  if (verb == "fill") {  // fill HANDLE SIZE BYTE
    std::size_t size = 0;
    int value = 0;
    if (!(in >> who >> size >> value)) return "usage: fill HANDLE SIZE BYTE\n";
    if (size == 0 || size > kMaxPayload) return "bad size\n";
    if (value < 0 || value > 255) return "bad byte\n";
    return SendRaw(who, std::vector<std::uint8_t>(size, static_cast<std::uint8_t>(value)))
               ? "sent\n"
               : "not sent\n";
  }
  if (verb == "notice") {  // notice HANDLE|all TEXT
    std::string text;
    in >> who;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    if (who.empty() || text.empty()) return "usage: notice HANDLE|all TEXT\n";
    return Notice(who, text) ? "sent\n" : "nobody signed in by that name\n";
  }
  if (verb == "offline") {  // offline HANDLE TEXT
    std::string text;
    in >> who;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    if (who.empty() || text.empty()) return "usage: offline HANDLE TEXT\n";
    Offline(who, text);
    return "stored or delivered\n";
  }
  if (verb == "ownpath") {  // ownpath on|off
    std::string state;
    in >> state;
    if (state != "on" && state != "off") return "usage: ownpath on|off\n";
    std::lock_guard lock(mutex_);
    options_.own_path = state == "on";
    return "own vessel path " + state + "\n";
  }
  if (verb == "stats") {  // stats HANDLE
    in >> who;
    std::string line = Statistics(who);
    return line.empty() ? "no such player\n" : line + "\n";
  }
  if (verb == "account") {  // account HANDLE PASSWORD
    Account a;
    in >> a.handle >> a.password;
    if (a.handle.empty() || a.password.empty()) return "usage: account HANDLE PASSWORD\n";
    AddAccount(a);
    return "added\n";
  }
  return "commands: list | kick H | shutdown | send H HEX | fill H SIZE BYTE | account H P | "
         "notice H|all TEXT | offline H TEXT | ownpath on|off | stats H\n";
}

}  // namespace talmeris::devserver
