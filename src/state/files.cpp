// Whole-file reads and writes and permissions for the installation's files; no state, no lock.
#include "state/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace talmeris {

bool WriteAll(int fd, std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFileWhole(const std::filesystem::path& path, std::string_view bytes, unsigned mode) {
  std::filesystem::path temp = path;
  temp += ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

std::string ReadFileBytes(const std::filesystem::path& path, std::size_t max) {
  std::string bytes;
  if (std::FILE* f = OpenFile(path, "rb")) {
    char buffer[4096];
    std::size_t n;
    while (bytes.size() < max && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
      bytes.append(buffer, std::min(n, max - bytes.size()));
    }
    std::fclose(f);
  }
  return bytes;
}

bool RestrictToUser(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if ((st.st_mode & 077) == 0) return true;
  return ::fchmod(fd, st.st_mode & 07700) == 0;
}

}  // namespace talmeris
