#include "support/test_ports.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace talmeris::test {

namespace {

// Whether a UDP socket can be bound to `port` right now.
bool PortFree(std::uint32_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell; let the caller's bind report it
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

}  // namespace

std::uint32_t NextTestPort() {
  // A range of its own per test process, so parallel test runs do not collide, and below the
  // kernel's ephemeral range (32768 and up by default), where any socket bound to port 0 (every
  // transport client) may land. A port something already holds is passed over.
  static std::atomic<std::uint32_t> port{static_cast<std::uint32_t>(12000 + (getpid() % 499) * 40)};
  for (int tries = 0; tries < 200; ++tries) {
    const std::uint32_t candidate = port.fetch_add(1);
    if (PortFree(candidate)) return candidate;
  }
  return port.fetch_add(1);
}

}  // namespace talmeris::test
