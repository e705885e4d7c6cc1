// Sound for the voice tests and benchmark: tones, sentences spoken by espeak-ng, and what sox
// measures of a recording.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talmeris::test {

using Samples = std::vector<std::int16_t>;  // 48 kHz mono

Samples Tone(double hz, double seconds, double dbfs);
Samples Noise(double seconds, double dbfs, unsigned seed = 1);
Samples Silence(double seconds);
void Append(Samples& to, const Samples& more);
// A sentence spoken by espeak-ng, at 48 kHz; empty when espeak-ng or sox is missing.
Samples Speak(const std::string& sentence);

// What `sox -n stat` says of a recording.
struct SoxStat {
  bool ok = false;
  double seconds = 0;
  double rms = 0;              // of full scale
  double rough_frequency = 0;  // Hz
};
SoxStat Measure(const Samples& samples);

// The RMS of samples [from, to) (of those there are), in sample units.
double Rms(const Samples& samples, std::size_t from, std::size_t to);

// The first sample whose magnitude reaches `threshold` (of full scale) at or after `from`; -1
// when none does.
long FirstLoud(const Samples& samples, double threshold, long from = 0);

// The share of the 20 ms windows of speech in `said` (louder than -40 dBFS) that `heard` holds
// as they were said: waveform correlation at least 0.8 at the delay that fits best, searched
// within 12 ms of the last window's (so a delay that changed, a frame dropped or inserted, is
// followed). `windows` gets how many windows were speech.
double SpokenShare(const Samples& said, const Samples& heard, int* windows = nullptr);

}  // namespace talmeris::test
