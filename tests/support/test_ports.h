// Ports for the servers and relays a test starts on loopback.
#pragma once

#include <cstdint>

namespace talmeris::test {

// A UDP port no other test process and no socket of this machine holds right now.
std::uint32_t NextTestPort();

}  // namespace talmeris::test
