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

// How `heard` holds what was `said`, window by 20 ms window of speech (louder than -40 dBFS):
// a window is heard as spoken at waveform correlation at least 0.8 at the delay that fits best,
// searched within 12 ms of the last window's (so a delay that changed, a frame dropped or
// inserted, is followed), and within 60 ms after a pause, until two clear fits (0.9) in a row
// agree on where the delay settled. Sentences are the stretches of speech between pauses of
// 300 ms or more. A sentence's delay changed while speaking when, since the delay settled, two
// windows in a row fit more than 5 ms away from it and are not heard as spoken at it (a voiced
// sound also fits a pitch period off, now and then better); a delay that changed in a pause,
// between sentences or between words, is not counted.
struct SpeechHeard {
  int windows = 0;  // of speech
  int spoken = 0;   // of those, heard as spoken
  int sentences = 0;
  int delay_changed = 0;  // sentences whose delay changed while speaking
  double Share() const { return windows > 0 ? static_cast<double>(spoken) / windows : 0.0; }
};
SpeechHeard CompareSpeech(const Samples& said, const Samples& heard);

// Opus `packets` (10 ms each) as a listener decodes them at 48 kHz with `loss_percent` of them
// lost (the same ones for the same seed): a lost one is rebuilt from the next one's forward
// error correction when that came, else concealed. Empty when the decoder fails.
Samples DecodeWithLoss(const std::vector<std::vector<std::uint8_t>>& packets, int loss_percent,
                       unsigned seed = 5);

// CompareSpeech's share heard as spoken; `windows` gets how many windows were speech.
double SpokenShare(const Samples& said, const Samples& heard, int* windows = nullptr);

}  // namespace talmeris::test
