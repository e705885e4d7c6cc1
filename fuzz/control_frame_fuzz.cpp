// The transport's control messages as any datagram on channel 0 may carry them: decoding reads
// only what the type needs, refuses what the transport must not act on, and what it accepts
// encodes back to the same frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/control_frames.h"

using namespace talmeris::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ControlFrame f;
  if (!DecodeControl(data, size, &f)) return 0;
  if (f.type == kWelcome && f.player == 0) std::abort();
  if (f.type == kReject && !Failed(f.result)) std::abort();
  std::uint8_t bytes[kMaxControlSize];
  const std::size_t n = EncodeControl(f, bytes);
  if (n == 0 || n > size || std::memcmp(bytes, data, n) != 0) std::abort();
  ControlFrame again;
  if (!DecodeControl(bytes, n, &again) || again.type != f.type || again.clock != f.clock ||
      again.player != f.player || again.result != f.result || !(again.application == f.application))
    std::abort();
  return 0;
}
