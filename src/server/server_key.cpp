#include "server/server_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "net/secure_session.h"
#include "server/known_servers.h"
#include "state/context.h"
#include "state/files.h"

namespace talmeris {
namespace {

std::string Address(const ClientContext& ctx) {
  return ctx.server_host + ":" + std::to_string(ctx.server_port);
}

enum class KeyFile { kAbsent, kKey, kBad };

// The installation's server.key: absent, a key, or anything else (empty, damaged, a folder,
// unreadable, too long), which pins nothing anyone could prove.
KeyFile ReadKeyFile(const std::filesystem::path& path, net::Key* key) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? KeyFile::kAbsent : KeyFile::kBad;
  char text[1025];
  std::size_t size = 0;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (ok && size < sizeof text) {
    const ssize_t n = ::read(fd, text + size, sizeof text - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);  // read only: nothing a failed close could lose
  return ok && size < sizeof text && net::ParseKeyText(text, size, key) ? KeyFile::kKey
                                                                        : KeyFile::kBad;
}

std::string WhereExpected(const ClientContext& ctx) {
  switch (ctx.server_pin) {
    case ServerPin::kChosen:
      return "set by TALMERIS_SERVER_KEY";
    case ServerPin::kFile:
      return "from " + ctx.File(kServerKeyFile).string();
    case ServerPin::kBuiltIn:
      return "built into this client";
    default:
      return "remembered in " + KnownServersFile(ctx).string();
  }
}

std::string WhatToDo(const ClientContext& ctx) {
  switch (ctx.server_pin) {
    case ServerPin::kChosen:
      return "set TALMERIS_SERVER_KEY to the new key";
    case ServerPin::kFile:
      return "update the game (a patch or a new installation brings their new server.key)";
    case ServerPin::kBuiltIn:
      return "install the client release that carries it";
    default:
      return "run\n    talmeris --forget-server " + Address(ctx) + "\nand connect again";
  }
}

}  // namespace

std::filesystem::path KnownServersFile(const ClientContext& ctx) {
  const auto home = UserConfigHome(ctx.user_config_home);
  return home.empty() ? std::filesystem::path() : home / "talmeris" / "known_servers";
}

std::string SecureServerSession(ClientContext& ctx) {
  if (!ctx.net.net_client) return {};
  const std::string address = Address(ctx);
  net::Key& key = ctx.server_pin_key;
  ctx.server_pin = ServerPin::kNone;
  if (!ctx.server_key_chosen.empty()) {
    if (!net::ParseKeyText(ctx.server_key_chosen.data(), ctx.server_key_chosen.size(), &key)) {
      return "TALMERIS_SERVER_KEY holds no key: it must be the game server's key as 64 "
             "hexadecimal digits.";
    }
    ctx.server_pin = ServerPin::kChosen;
  }
  const auto key_file = ctx.File(kServerKeyFile);
  if (ctx.server_pin == ServerPin::kNone) {
    switch (ReadKeyFile(key_file, &key)) {
      case KeyFile::kKey:
        ctx.server_pin = ServerPin::kFile;
        break;
      case KeyFile::kBad:
        ctx.event_log.Add(ctx.main_window.load(), "The server key file is damaged!");
        return "The server key file " + key_file.string() +
               " is damaged or cannot be read: it must hold the game server's key as 64 "
               "hexadecimal digits.\n\nWithout it the client cannot tell the game server from "
               "an impostor, so it does not connect. Reinstall the game, or ask the server's "
               "operators for the file.";
      case KeyFile::kAbsent:
        break;
    }
  }
  if (ctx.server_pin == ServerPin::kNone && !ctx.server_key_built_in.empty() &&
      net::ParseKeyText(ctx.server_key_built_in.data(), ctx.server_key_built_in.size(), &key)) {
    ctx.server_pin = ServerPin::kBuiltIn;
  }
  const auto known = KnownServersFile(ctx);
  if (ctx.server_pin == ServerPin::kNone && !known.empty()) {
    const KnownServerLookup seen = LookUpKnownServer(known, address);
    if (seen.result == KnownServer::kDamaged || seen.result == KnownServer::kUnreadable) {
      ctx.event_log.Add(ctx.main_window.load(), "The file of known server keys is damaged!");
      std::string where = known.string();
      if (seen.result == KnownServer::kDamaged) {
        where = "Line " + std::to_string(seen.line) + " of " + where + " is damaged: it holds";
      } else {
        where += " cannot be read, so it gives";
      }
      return where + " no key for the game server at " + address +
             ".\n\nWithout it the client cannot tell the game server from an impostor, so it "
             "does not connect. If you trust the server, run\n    talmeris --forget-server " +
             address + "\nand connect again.";
    }
    if (seen.result == KnownServer::kKnown) {
      key = seen.key;
      ctx.server_pin = ServerPin::kRemembered;
    }
  }
  ctx.net.net_client->SecureWith(ctx.server_pin == ServerPin::kNone ? nullptr : key.data());
  return {};
}

void ServerSessionConnected(ClientContext& ctx) {
  if (!ctx.net.net_client) return;
  // A key learned on first use is remembered, and so is one a server.key pinned: a patch that
  // later deletes or empties that file then does not open the way to first use again.
  net::Key key;
  if (ctx.server_pin == ServerPin::kFile) {
    key = ctx.server_pin_key;
  } else if (ctx.server_pin != ServerPin::kNone || !ctx.net.net_client->ServerKey(key.data())) {
    return;
  }
  const auto file = KnownServersFile(ctx);
  if (!file.empty() && !RememberServer(file, Address(ctx), key)) {
    ctx.event_log.Add(ctx.main_window.load(), "Could not remember the server's key!");
  }
}

std::string ServerKeyRefused(ClientContext& ctx) {
  ctx.event_log.Add(ctx.main_window.load(),
                    ctx.server_pin == ServerPin::kFile
                        ? "The server's key is not the one expected (server.key in this folder)!"
                    : ctx.server_pin == ServerPin::kRemembered
                        ? "The server's key is not the one remembered (talmeris/known_servers)!"
                        : "The server's key is not the one expected!");
  net::Key proven{};
  if (ctx.net.net_client) ctx.net.net_client->ServerKey(proven.data());
  return "The game server at " + Address(ctx) +
         " proved a key other than the one this client expects.\n\n"
         "Expected:  " +
         KeyFingerprint(ctx.server_pin_key) + " (" + WhereExpected(ctx) +
         ")\nProven:    " + KeyFingerprint(proven) +
         "\n\nEither the server's operators changed its key, or someone between you and the "
         "server is pretending to be it. Your password was not sent.\n\nIf the operators "
         "announced this new key, " +
         WhatToDo(ctx) + ". Otherwise do not play over this network until it is explained.";
}

}  // namespace talmeris
