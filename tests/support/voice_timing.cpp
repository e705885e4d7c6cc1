#include "support/voice_timing.h"

#include <chrono>
#include <functional>
#include <thread>

namespace talmeris::test {
namespace {

double Ms(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

}  // namespace

Samples PlayedSamples(voice::MemoryAudio& audio) {
  Samples all;
  for (const auto& f : audio.PlayedFrames()) Append(all, f.samples);
  return all;
}

std::optional<double> MidSpurtMouthToEarMs(voice::MemoryAudio& speaker,
                                           voice::MemoryAudio& listener,
                                           const std::function<bool()>& done) {
  speaker.ClearRecords();
  listener.ClearRecords();
  Samples bursts = Tone(600, 0.4, -12);
  test::Append(bursts, Silence(0.1));
  const long second = static_cast<long>(bursts.size());
  test::Append(bursts, Tone(600, 0.4, -12));
  speaker.Speak(bursts);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // When the second burst was spoken: a captured frame covers the 20 ms before it was handed
  // out, and the bursts begin at the first frame that carried speech.
  std::optional<double> spoken;
  long first = -1;
  for (const auto& f : speaker.CapturedFrames()) {
    if (f.first_sample < 0) continue;
    if (first < 0) first = static_cast<long>(f.first_sample);
    const long at = first + second;
    if (f.first_sample <= at && at < f.first_sample + voice::kFrameSamples)
      spoken = Ms(f.at) - 20.0 + static_cast<double>(at - f.first_sample) / 48.0;
  }
  // When the listener's device got it: the first loud sample after the gap between the bursts.
  const auto played = listener.PlayedFrames();
  const Samples heard = PlayedSamples(listener);
  long from = FirstLoud(heard, 0.05);
  if (from < 0 || !spoken) return std::nullopt;
  auto loud_within = [&](long start, long length) {
    for (long i = start; i < std::min<long>(static_cast<long>(heard.size()), start + length); ++i)
      if (std::abs(static_cast<double>(heard[i])) >= 0.05 * 32768) return true;
    return false;
  };
  while (from < static_cast<long>(heard.size()) && loud_within(from, 2400)) from += 480;
  const long onset = FirstLoud(heard, 0.05, from);
  if (onset < 0) return std::nullopt;
  const double at_ear = Ms(played[static_cast<std::size_t>(onset / voice::kFrameSamples)].at) +
                        static_cast<double>(onset % voice::kFrameSamples) / 48.0;
  return at_ear - *spoken;
}

}  // namespace talmeris::test
