// The file of server keys remembered by the client (talmeris/known_servers in the user's config
// folder): a line "HOST:PORT KEY" each, KEY as 64 hex digits. Lines are only ever appended, one
// write each, and for an address the last line counts. Everything that changes the file (a
// client remembering a key, `--forget-server`) holds an exclusive flock on it and checks that the
// file it locked is still the one under the name; readers need no lock. No state of its own: the
// file is shared between processes, and the lock is the file's.
#pragma once

#include <filesystem>
#include <string_view>

#include "net/secure_session.h"

namespace talmeris {

enum class KnownServer {
  kUnknown,     // no line for the address (or no file)
  kKnown,       // `key` is the last key remembered for it
  kDamaged,     // a line for the address holds no key: `line` says which (from 1)
  kUnreadable,  // the file exists but cannot be read through
};

struct KnownServerLookup {
  KnownServer result = KnownServer::kUnknown;
  net::Key key{};
  long line = 0;
};

// What the file remembers for `address`; reads the whole file, however long.
KnownServerLookup LookUpKnownServer(const std::filesystem::path& file, std::string_view address);

// Appends "address key" unless it is already the address's last line. False when the line could
// not be written whole (the file keeps every line it had).
bool RememberServer(const std::filesystem::path& file, std::string_view address,
                    const net::Key& key);

// Removes every line for `address`, keeping all others: the number removed, or -1 when the file
// could not be rewritten (it is then as it was).
long ForgetServer(const std::filesystem::path& file, std::string_view address);

// A short form of a key for people to compare: its first 8 bytes as four groups of hex digits,
// "1a2b 3c4d 5e6f 7081".
std::string KeyFingerprint(const net::Key& key);

}  // namespace talmeris
