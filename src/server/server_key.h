// The game server's key for the secure session, and where it comes from, first that applies:
// TALMERIS_SERVER_KEY for this run; the installation's `server.key` (64 hex digits, patchable
// like any file); a key built into the client for its built-in server; the key remembered for
// the address in the user's known_servers (see known_servers.h). Without any, the key a server
// first proves is remembered, and so is a key server.key pinned, so that losing that file never
// reopens first use. A pin file that exists but holds no key refuses the connect. The connect's
// stage and its completion call these: the stage on the main thread, the completion on the
// handler thread, never at once (the completion follows the connect). No lock.
#pragma once

#include <filesystem>
#include <string>

namespace talmeris {
struct ClientContext;

constexpr const char* kServerKeyFile = "server.key";

// Makes the client session secure before its connect, pinned to the key that applies, if any.
// Empty, or the text of the box that refuses the connect (a pin file that holds no key).
std::string SecureServerSession(ClientContext& ctx);
// After the connect completed: remembers a key learned on first use or pinned by server.key.
void ServerSessionConnected(ClientContext& ctx);
// A connect refused for the key the server proved: logs it, and gives the text of the box that
// tells the player what was expected, what was proven, what it can mean and what to do.
std::string ServerKeyRefused(ClientContext& ctx);

// The file of remembered keys.
std::filesystem::path KnownServersFile(const ClientContext& ctx);

}  // namespace talmeris
