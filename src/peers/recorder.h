// The flight data recorder's controls as the main dialog uses them.
#pragma once

#include "app/window_port.h"

namespace talmeris {
struct ClientContext;

// True while a flight data file is open.
bool RecordingActive(ClientContext& ctx);
// The FDR button: opens the next file or closes the open one.
void ToggleRecording(ClientContext& ctx, WindowId window);

}  // namespace talmeris
