// The known_servers file: lookups, appends and removals under the file's own flock (see the
// header). No state, no lock of the process.
#include "server/known_servers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "state/files.h"

namespace talmeris {
namespace {

// Longer lines are never ours: an address and a key take far less.
constexpr std::size_t kLineMax = 512;
// Times a writer locks again after the file under the name changed while it waited: each time
// another writer has finished, so this is only a bound against a file system that never says
// the same inode twice.
constexpr int kAttempts = 1000;

// Whether `line` is about `address`: it starts with the address, followed by a blank or nothing.
bool ForAddress(std::string_view line, std::string_view address) {
  return line.size() >= address.size() && line.compare(0, address.size(), address) == 0 &&
         (line.size() == address.size() || line[address.size()] == ' ' ||
          line[address.size()] == '\t' || line[address.size()] == '\r');
}

// The file opened with `flags` and locked exclusively. `current` is false when the name was given
// to another file while this one waited for the lock (a removal rewrote it): lock again.
struct LockedFile {
  int fd = -1;
  bool current = false;
  LockedFile(const std::filesystem::path& file, int flags) {
    fd = ::open(file.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0) return;
    int locked;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat held {
    }, named{};
    current = locked == 0 && ::fstat(fd, &held) == 0 && ::stat(file.c_str(), &named) == 0 &&
              held.st_ino == named.st_ino && held.st_dev == named.st_dev;
  }
  bool Close() {
    const bool ok = fd < 0 || ::close(fd) == 0;  // the lock goes with the descriptor
    fd = -1;
    return ok;
  }
  ~LockedFile() { Close(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
};

}  // namespace

KnownServerLookup LookUpKnownServer(const std::filesystem::path& file, std::string_view address) {
  KnownServerLookup found;
  std::FILE* f = OpenFile(file, "rb");
  if (!f) {
    if (errno != ENOENT) found.result = KnownServer::kUnreadable;
    return found;
  }
  std::string line;
  bool overlong = false;
  long number = 0;
  auto judge = [&] {
    ++number;
    if (!ForAddress(line, address) || found.result == KnownServer::kDamaged) return;
    net::Key key;
    const std::string_view rest = std::string_view(line).substr(address.size());
    if (overlong || !net::ParseKeyText(rest.data(), rest.size(), &key)) {
      found.result = KnownServer::kDamaged;
      found.line = number;
      return;
    }
    found.result = KnownServer::kKnown;
    found.key = key;
  };
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        judge();
        line.clear();
        overlong = false;
      } else if (line.size() < kLineMax) {
        line += buffer[i];
      } else {
        overlong = true;
      }
    }
  }
  if (!line.empty()) judge();
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) found.result = KnownServer::kUnreadable;
  return found;
}

bool RememberServer(const std::filesystem::path& file, std::string_view address,
                    const net::Key& key) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    LockedFile locked(file, O_RDWR | O_APPEND | O_CREAT);
    if (locked.fd < 0) return false;
    if (!locked.current) continue;
    const KnownServerLookup seen = LookUpKnownServer(file, address);
    if (seen.result == KnownServer::kKnown && seen.key == key) return locked.Close();
    struct stat st {};
    char last = '\n';
    if (::fstat(locked.fd, &st) != 0) return false;
    if (st.st_size > 0 && ::pread(locked.fd, &last, 1, st.st_size - 1) != 1) return false;
    std::string bytes(last != '\n' ? "\n" : "");  // a line cut short stays apart from ours
    bytes.append(address).append(" ").append(net::KeyText(key).data()).append("\n");
    const bool written = WriteAll(locked.fd, bytes) && ::fsync(locked.fd) == 0;
    return locked.Close() && written;
  }
  return false;
}

long ForgetServer(const std::filesystem::path& file, std::string_view address) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    LockedFile locked(file, O_RDWR);
    if (locked.fd < 0) return errno == ENOENT ? 0 : -1;
    if (!locked.current) continue;
    std::string all, kept;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(locked.fd, buffer, sizeof buffer)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      all.append(buffer, static_cast<std::size_t>(n));
    }
    long removed = 0;
    for (std::size_t at = 0; at < all.size();) {
      std::size_t end = all.find('\n', at);
      end = end == std::string::npos ? all.size() : end + 1;
      const std::string_view line(all.data() + at, end - at);
      if (ForAddress(line.substr(0, line.size() - (line.back() == '\n')), address)) {
        ++removed;
      } else {
        kept += line;
      }
      at = end;
    }
    if (removed == 0) return locked.Close() ? 0 : -1;
    // The rest goes to a new file that takes the name while the old one is still locked; a
    // writer waiting for the old one's lock then finds the name moved on and locks the new one.
    if (!WriteFileWhole(file, kept, 0600)) return -1;
    return locked.Close() ? removed : -1;
  }
  return -1;
}

std::string KeyFingerprint(const net::Key& key) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 8; ++i) {
    if (i > 0 && i % 2 == 0) text += ' ';
    text += kHex[key[i] >> 4];
    text += kHex[key[i] & 15];
  }
  return text;
}

}  // namespace talmeris
