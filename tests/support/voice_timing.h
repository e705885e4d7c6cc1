// Mouth-to-ear timing between a speaker's and a listener's in-memory sound devices.
#pragma once

#include <functional>
#include <optional>
#include <vector>

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

// Speaks `seconds` of a steady 400 Hz tone (speech without a pause) into `speaker`, carrying a
// 30 ms marker every 200 ms, each at a pitch of its own among 16. `meanwhile(t)` is called about
// every 10 ms with the seconds spoken so far. Once `done` says the listener's spurt has ended,
// returns each marker heard: when it was spoken (seconds into the speech) and its mouth-to-ear
// time. Both devices' records are cleared first.
struct MarkerTiming {
  double spoken_s;
  double latency_ms;
};
std::vector<MarkerTiming> MarkerLatencies(voice::MemoryAudio& speaker, voice::MemoryAudio& listener,
                                          double seconds,
                                          const std::function<void(double)>& meanwhile,
                                          const std::function<bool()>& done);

}  // namespace talmeris::test
