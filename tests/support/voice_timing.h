// Mouth-to-ear timing between a speaker's and a listener's in-memory sound devices.
#pragma once

#include <functional>
#include <optional>

#include "support/audio_tools.h"
#include "voice/audio_device_port.h"

namespace talmeris::test {

// Everything `audio` played, one frame after the other.
Samples PlayedSamples(voice::MemoryAudio& audio);

// Speaks two 0.4 s bursts of a tone 0.1 s apart into `speaker` (one talk spurt) and, once
// `done` says the listener's spurt has ended, returns the time from the second burst's first
// sample in the speaker's mouth to the listener's ear: the delay in the middle of a spurt.
// Both devices' records are cleared first; nothing when the second burst was not heard.
std::optional<double> MidSpurtMouthToEarMs(voice::MemoryAudio& speaker,
                                           voice::MemoryAudio& listener,
                                           const std::function<bool()>& done);

}  // namespace talmeris::test
