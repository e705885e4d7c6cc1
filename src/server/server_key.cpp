#include "server/server_key.h"

#include <cstdio>
#include <sstream>
#include <string>

#include "net/secure_session.h"
#include "state/context.h"
#include "state/files.h"

namespace talmeris {
namespace {

constexpr std::size_t kKnownServersMax = 64 * 1024;  // bytes of known_servers read

std::string Address(const ClientContext& ctx) {
  return ctx.server_host + ":" + std::to_string(ctx.server_port);
}

// The key remembered for `address`, if any.
bool Remembered(const std::string& text, const std::string& address, net::Key* key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto space = line.find(' ');
    if (space == std::string::npos || line.compare(0, space, address) != 0 || space == 0) continue;
    if (net::ParseKeyText(line.data() + space + 1, line.size() - space - 1, key)) return true;
  }
  return false;
}

}  // namespace

std::filesystem::path KnownServersFile(const ClientContext& ctx) {
  const auto home = UserConfigHome(ctx.user_config_home);
  return home.empty() ? std::filesystem::path() : home / "talmeris" / "known_servers";
}

void SecureServerSession(ClientContext& ctx) {
  if (!ctx.net.net_client) return;
  net::Key key;
  const std::string pinned = ReadFileBytes(ctx.File(kServerKeyFile), 1024);
  ctx.server_key_from_file =
      !pinned.empty() && net::ParseKeyText(pinned.data(), pinned.size(), &key);
  if (!pinned.empty() && !ctx.server_key_from_file) {
    // A damaged server.key pins nothing anyone could prove: the connect is refused.
    key.fill(0);
    ctx.server_key_from_file = true;
  }
  ctx.server_key_remembered =
      !ctx.server_key_from_file &&
      Remembered(ReadFileBytes(KnownServersFile(ctx), kKnownServersMax), Address(ctx), &key);
  const bool pin = ctx.server_key_from_file || ctx.server_key_remembered;
  ctx.net.net_client->SecureWith(pin ? key.data() : nullptr);
}

void ServerSessionConnected(ClientContext& ctx) {
  if (ctx.server_key_from_file || ctx.server_key_remembered || !ctx.net.net_client) return;
  net::Key key;
  if (!ctx.net.net_client->ServerKey(key.data())) return;
  const auto file = KnownServersFile(ctx);
  if (file.empty()) return;
  std::string text = ReadFileBytes(file, kKnownServersMax);
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += Address(ctx) + " " + net::KeyText(key).data() + "\n";
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (!WriteFileWhole(file, text, 0600)) {
    ctx.event_log.Add(ctx.main_window.load(), "Could not remember the server's key!");
  }
}

void ServerKeyRefused(ClientContext& ctx) {
  ctx.event_log.Add(ctx.main_window.load(),
                    ctx.server_key_from_file
                        ? "The server's key is not the one expected (server.key in this folder)!"
                        : "The server's key is not the one remembered (talmeris/known_servers)!");
}

}  // namespace talmeris
