#include "peers/recorder.h"

#include "state/context.h"

namespace talmeris {

// Recording itself arrives with the recorder's issue; no file is ever open until then.
bool RecordingActive(ClientContext&) {
  return false;
}
void ToggleRecording(ClientContext&, WindowId) {}

void RecordSample(ClientContext& ctx, const std::uint8_t*, std::size_t) {
  // Writing the flight record arrives with the recorder; the sample is consumed meanwhile.
  ctx.world.fdr_record_due = false;
}

void QueueEvent(ClientContext& ctx, std::uint8_t code) {
  for (std::uint8_t& entry : ctx.world.fdr_events) {
    if (entry == 0) {
      entry = code;
      return;
    }
  }
}

}  // namespace talmeris
