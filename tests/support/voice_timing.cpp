#include "support/voice_timing.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <thread>

namespace talmeris::test {
namespace {

double Ms(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

// The power of `hz` in the 5 ms of `s` from `from`.
double Power(const Samples& s, long from, double hz) {
  double re = 0, im = 0;
  for (long i = 0; i < 240; ++i) {
    const double w = 2 * M_PI * hz * static_cast<double>(i) / 48000.0;
    re += s[from + i] * std::cos(w);
    im += s[from + i] * std::sin(w);
  }
  return re * re + im * im;
}

// `hz` stands out in the 5 ms of `s` from `from`: loud, and four times the power of each of
// `others`.
bool StandsOut(const Samples& s, long from, double hz, std::initializer_list<double> others) {
  const double p = Power(s, from, hz);
  if (p <= 1e10) return false;
  for (double o : others)
    if (p <= 4 * Power(s, from, o)) return false;
  return true;
}

// When sample `index` of the spoken stream was said (ms on the steady clock), from the
// speaker's records: a captured period covers the time just before it was handed out.
std::optional<double> SpokenAt(const std::vector<voice::MemoryAudio::Captured>& captured,
                               long period, long index) {
  long first = -1;
  for (const auto& f : captured) {
    if (f.first_sample < 0) continue;
    if (first < 0) first = static_cast<long>(f.first_sample);
    const long at = first + index;
    if (f.first_sample <= at && at < f.first_sample + period)
      return Ms(f.at) + static_cast<double>(at - f.first_sample - period) / 48.0;
  }
  return std::nullopt;
}

// When each heard sample reached the ear (ms on the steady clock).
std::vector<double> HeardAt(const std::vector<voice::MemoryAudio::Played>& played) {
  std::vector<double> at;
  for (const auto& f : played)
    for (std::size_t i = 0; i < f.samples.size(); ++i)
      at.push_back(Ms(f.at) + static_cast<double>(i) / 48.0);
  return at;
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
  // The second burst is pitched apart from the first, so its onset is found by its pitch, not
  // by where a quiet gap happens to fall.
  Samples bursts = Tone(600, 0.4, -12);
  test::Append(bursts, Silence(0.1));
  const long second = static_cast<long>(bursts.size());
  test::Append(bursts, Tone(1200, 0.4, -12));
  speaker.Speak(bursts);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::optional<double> spoken =
      SpokenAt(speaker.CapturedFrames(), speaker.period_samples, second);
  const Samples heard = PlayedSamples(listener);
  const std::vector<double> heard_at = HeardAt(listener.PlayedFrames());
  if (!spoken) return std::nullopt;
  // The first 5 ms in which the higher pitch is the louder, then back to the start of the loud
  // run it belongs to.
  auto loud = [&](long i) { return std::abs(static_cast<double>(heard[i])) >= 0.05 * 32768; };
  long block = -1;
  for (long from = 0; from + 240 <= static_cast<long>(heard.size()); from += 240) {
    if (StandsOut(heard, from, 1200, {600})) {
      block = from;
      break;
    }
  }
  if (block < 0) return std::nullopt;
  long onset = block;
  for (long quiet = 0; onset > 0 && quiet < 96; --onset) quiet = loud(onset - 1) ? 0 : quiet + 1;
  onset = FirstLoud(heard, 0.05, onset);
  if (onset < 0) return std::nullopt;
  const double ms = heard_at[static_cast<std::size_t>(onset)] - *spoken;
  return ms >= 0 ? std::optional<double>(ms) : std::nullopt;
}

std::vector<MarkerTiming> MarkerLatencies(voice::MemoryAudio& speaker, voice::MemoryAudio& listener,
                                          double seconds,
                                          const std::function<void(double)>& meanwhile,
                                          const std::function<bool()>& done) {
  speaker.ClearRecords();
  listener.ClearRecords();
  constexpr long kEvery = 9600, kMarker = 1440;  // 200 ms apart, 30 ms long
  auto pitch = [](long k) { return 1000.0 + 250.0 * static_cast<double>(k % 16); };
  Samples speech = Tone(400, seconds, -12);
  const long markers = static_cast<long>(speech.size()) / kEvery;
  for (long k = 0; k < markers; ++k) {
    const Samples m = Tone(pitch(k), 0.03, -12);
    std::copy(m.begin(), m.begin() + kMarker, speech.begin() + k * kEvery + kEvery / 2);
  }
  speaker.Speak(speech);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration<double>(seconds + 10);
  while (speaker.Pending() > 0 || !done()) {
    if (std::chrono::steady_clock::now() > deadline) return {};
    meanwhile(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto captured = speaker.CapturedFrames();
  const Samples heard = PlayedSamples(listener);
  const std::vector<double> heard_at = HeardAt(listener.PlayedFrames());
  std::vector<MarkerTiming> found;
  for (long k = 0; k < markers; ++k) {
    const long index = k * kEvery + kEvery / 2;
    const std::optional<double> spoken = SpokenAt(captured, speaker.period_samples, index);
    if (!spoken) continue;
    // The first 5 ms, within a second of it being said, in which its pitch stands out above
    // the tone and the markers nearest in pitch (two either side: in 5 ms, a marker 500 Hz
    // away can still pass for this one when this one was not heard).
    for (long from = 0; from + 240 <= static_cast<long>(heard.size()); from += 48) {
      const double at = heard_at[static_cast<std::size_t>(from)];
      if (at < *spoken) continue;
      if (at > *spoken + 1000) break;
      if (StandsOut(heard, from, pitch(k),
                    {400, pitch(k + 14), pitch(k + 15), pitch(k + 1), pitch(k + 2)})) {
        found.push_back({static_cast<double>(index) / 48000.0, at + 80 / 48.0 - *spoken});
        break;
      }
    }
  }
  return found;
}

}  // namespace talmeris::test
