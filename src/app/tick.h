// The periodic tick: the main dialog's 100 ms heartbeat on the main thread.
#pragma once

#include <cstdint>

#include "state/window_port.h"

namespace talmeris {
struct ClientContext;

void RunTick(ClientContext& ctx, WindowId window);

// The altitude of the own vessel (or of the vessel holding it) above the surface, as the
// ambient cue uses it.
float OwnAltitude(ClientContext& ctx);

// A value truncated toward zero to a 16-bit signed integer, as the ambient cue compares it.
std::int16_t TruncateToI16(double value);

// Parts of the once-per-second work and of the running stage that later subsystems fill.
void RunConnectionStage(ClientContext& ctx, WindowId window);

}  // namespace talmeris
