#include "support/headless_client.h"

#include <unistd.h>

namespace talmeris::test {

std::uint32_t NextTestPort() {
  // A range of its own per test process, so parallel test runs do not collide.
  static std::atomic<std::uint32_t> port{static_cast<std::uint32_t>(40000 + (getpid() % 499) * 40)};
  return port.fetch_add(1);
}

}  // namespace talmeris::test
