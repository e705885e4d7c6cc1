// The game server's key for the secure session. The installation's `server.key` (64 hex digits,
// patchable like any file) pins it; without that file the key a server first proves is
// remembered for its address in the config folder (talmeris/known_servers, a line
// "HOST:PORT KEY" each) and a later different key is refused. The connect's stage and its
// completion call these; the completion runs on the handler thread, the stage on the main
// thread, never at once (the completion follows the connect).
#pragma once

#include <filesystem>

namespace talmeris {
struct ClientContext;

constexpr const char* kServerKeyFile = "server.key";

// Makes the client session secure before its connect, pinned to the key that applies, if any.
void SecureServerSession(ClientContext& ctx);
// After the connect completed: remembers a key learned on first use. A connect refused for its
// key logs why, and where the expected key is kept.
void ServerSessionConnected(ClientContext& ctx);
void ServerKeyRefused(ClientContext& ctx);

// The file of remembered keys.
std::filesystem::path KnownServersFile(const ClientContext& ctx);

}  // namespace talmeris
