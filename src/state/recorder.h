// The flight data recorder's controls as the main dialog uses them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/window_port.h"

namespace talmeris {
struct ClientContext;

// True while a flight data file is open.
bool RecordingActive(ClientContext& ctx);
// The FDR button: opens the next file or closes the open one. True when a file is now open.
bool ToggleRecording(ClientContext& ctx, WindowId window);

// One sample of the own vessel (a VesselStateMessage or an own-vessel report), taken when
// fdr_record_due is set; the caller holds world_lock. The sample clears the flag.
void RecordSample(ClientContext& ctx, const std::uint8_t* sample, std::size_t size);

// Queues an event code for the flight record (the caller holds world_lock). A code of 0, or a
// full queue, changes nothing.
void QueueEvent(ClientContext& ctx, std::uint8_t code);

}  // namespace talmeris
