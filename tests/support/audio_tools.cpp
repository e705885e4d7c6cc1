#include "support/audio_tools.h"

#include <opus/opus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace talmeris::test {
namespace {

constexpr double kRate = 48000.0;

std::filesystem::path TempName(const char* suffix) {
  static int counter = 0;
  return std::filesystem::temp_directory_path() /
         ("talmeris-audio-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + suffix);
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

Samples Tone(double hz, double seconds, double dbfs) {
  const double amplitude = 32767.0 * std::pow(10.0, dbfs / 20.0);
  Samples s(static_cast<std::size_t>(seconds * kRate));
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * hz * i / kRate));
  return s;
}

Samples Noise(double seconds, double dbfs, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, 32767.0 * std::pow(10.0, dbfs / 20.0));
  Samples s(static_cast<std::size_t>(seconds * kRate));
  for (auto& v : s) v = static_cast<std::int16_t>(std::clamp(normal(random), -32768.0, 32767.0));
  return s;
}

Samples Silence(double seconds) {
  return Samples(static_cast<std::size_t>(seconds * kRate), 0);
}

void Append(Samples& to, const Samples& more) {
  to.insert(to.end(), more.begin(), more.end());
}

Samples Speak(const std::string& sentence) {
  const auto wav = TempName(".wav"), raw = TempName(".raw");
  const std::string command = "espeak-ng -w " + wav.string() + " " + Quote(sentence) + " && sox " +
                              wav.string() + " -r 48000 -c 1 -b 16 -e signed-integer -t raw " +
                              raw.string();
  Samples s;
  if (std::system(command.c_str()) == 0) {
    if (std::FILE* f = std::fopen(raw.c_str(), "rb")) {
      std::int16_t buffer[4096];
      std::size_t n;
      while ((n = std::fread(buffer, 2, 4096, f)) > 0) s.insert(s.end(), buffer, buffer + n);
      std::fclose(f);
    }
  }
  std::filesystem::remove(wav);
  std::filesystem::remove(raw);
  return s;
}

SoxStat Measure(const Samples& samples) {
  SoxStat stat;
  const auto raw = TempName(".raw"), report = TempName(".txt");
  if (std::FILE* f = std::fopen(raw.c_str(), "wb")) {
    std::fwrite(samples.data(), 2, samples.size(), f);
    std::fclose(f);
  }
  const std::string command = "sox -t raw -r 48000 -e signed-integer -b 16 -c 1 " + raw.string() +
                              " -n stat 2> " + report.string();
  if (std::system(command.c_str()) == 0) {
    if (std::FILE* f = std::fopen(report.c_str(), "r")) {
      char line[256];
      int found = 0;
      while (std::fgets(line, sizeof line, f)) {
        double v;
        if (std::sscanf(line, "Length (seconds): %lf", &v) == 1) stat.seconds = v, ++found;
        if (std::sscanf(line, "RMS amplitude: %lf", &v) == 1) stat.rms = v, ++found;
        if (std::sscanf(line, "Rough frequency: %lf", &v) == 1) stat.rough_frequency = v, ++found;
      }
      std::fclose(f);
      stat.ok = found == 3;
    }
  }
  std::filesystem::remove(raw);
  std::filesystem::remove(report);
  return stat;
}

double Rms(const Samples& samples, std::size_t from, std::size_t to) {
  double sum = 0;
  to = std::min(to, samples.size());
  for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

long FirstLoud(const Samples& samples, double threshold, long from) {
  const double level = threshold * 32768.0;
  for (long i = std::max(0L, from); i < static_cast<long>(samples.size()); ++i) {
    if (std::abs(static_cast<double>(samples[i])) >= level) return i;
  }
  return -1;
}

namespace {

// `s` through a low-pass filter at 7 kHz (a 63-tap windowed sinc): what wideband speech keeps.
std::vector<double> Wideband(const Samples& s) {
  constexpr int kTaps = 63, kHalf = kTaps / 2;
  std::array<double, kTaps> taps;
  double sum = 0;
  for (int i = 0; i < kTaps; ++i) {
    const double x = i - kHalf, fc = 7000.0 / 48000.0;
    const double sinc = x == 0 ? 2 * fc : std::sin(2 * M_PI * fc * x) / (M_PI * x);
    taps[i] = sinc * (0.54 - 0.46 * std::cos(2 * M_PI * i / (kTaps - 1)));
    sum += taps[i];
  }
  std::vector<double> out(s.size());
  for (std::size_t n = 0; n < s.size(); ++n) {
    double v = 0;
    for (int i = 0; i < kTaps; ++i) {
      const long at = static_cast<long>(n) + i - kHalf;
      if (at >= 0 && at < static_cast<long>(s.size())) v += taps[i] * s[at];
    }
    out[n] = v / sum;
  }
  return out;
}

}  // namespace

SpeechHeard CompareSpeech(const Samples& said_samples, const Samples& heard_samples) {
  constexpr long kWindow = 960, kSearch = 576, kWideSearch = 2880, kPauseWindows = 15;
  constexpr long kChange = 240, kSame = 48;
  const std::vector<double> said = Wideband(said_samples), heard = Wideband(heard_samples);
  const long said_start = FirstLoud(said_samples, 0.02),
             heard_start = FirstLoud(heard_samples, 0.02);
  SpeechHeard result;
  if (said_start < 0 || heard_start < 0) return result;
  long offset = heard_start - said_start;
  long pause = kPauseWindows;  // windows without speech since the last with it
  bool counted = false;        // this sentence's change is counted
  bool unsettled = true;       // the delay has not settled since the last pause
  long settled = offset;       // where the delay last settled (at first, a guess)
  long moved_to = -1;          // where the delay moved while speaking, to be confirmed
  const auto n = static_cast<long>(said.size()), m = static_cast<long>(heard.size());
  for (long at = said_start; at + kWindow <= n; at += kWindow) {
    double said_energy = 0;
    for (long i = 0; i < kWindow; ++i) said_energy += said[at + i] * said[at + i];
    if (said_energy < kWindow * (0.01 * 32768) * (0.01 * 32768)) {
      ++pause;
      unsettled = true;
      moved_to = -1;
      continue;
    }
    const bool sentence_starts = pause >= kPauseWindows;
    if (sentence_starts) {
      ++result.sentences;
      counted = false;
    }
    pause = 0;
    ++result.windows;
    // After a pause the delay may have changed by several frames (or a talk spurt started): it
    // is looked for further away from where it last settled, until it has settled again. (Not
    // from the last fit: through a voiced sound that fits a pitch period off as well as at its
    // delay, the search would walk away from the delay.)
    const long search = unsettled ? kWideSearch : kSearch;
    const long center = unsettled ? settled : offset;
    double best = 0, at_settled = 0;  // the best fit, and the best within 1 ms of the settled delay
    long best_offset = offset;
    for (long shift = center - search; shift <= center + search; ++shift) {
      if (at + shift < 0 || at + shift + kWindow > m) continue;
      double cross = 0, heard_energy = 0;
      for (long i = 0; i < kWindow; ++i) {
        const double h = heard[at + shift + i];
        cross += said[at + i] * h;
        heard_energy += h * h;
      }
      const double c = cross / std::sqrt(said_energy * heard_energy + 1.0);
      if (c > best) {
        best = c;
        best_offset = shift;
      }
      if (std::abs(shift - settled) <= kSame) at_settled = std::max(at_settled, c);
    }
    if (best < 0.8) continue;
    ++result.spoken;
    offset = best_offset;
    // The delay changed while speaking: since the last pause, a window fits more than 5 ms away
    // from where the delay settled and not where it settled, and the next window heard as spoken
    // fits there too. (A voiced sound fits a pitch period off as well, now and then better.)
    if (unsettled) {
      // Settled: two clear fits in a row at the same delay (not the edge of the pause, nor a
      // peak a pitch period off).
      if (best >= 0.9 && moved_to >= 0 && std::abs(offset - moved_to) <= kSame) {
        unsettled = false;
        settled = offset;
      }
      moved_to = unsettled && best >= 0.9 ? offset : -1;
    } else if (std::abs(offset - settled) <= kChange || at_settled >= 0.8) {
      moved_to = -1;
    } else if (moved_to >= 0 && std::abs(offset - moved_to) <= kSame) {
      if (!counted) ++result.delay_changed;
      counted = true;
      settled = offset;
      moved_to = -1;
    } else {
      moved_to = offset;
    }
  }
  return result;
}

Samples DecodeWithLoss(const std::vector<std::vector<std::uint8_t>>& packets, int loss_percent,
                       unsigned seed) {
  std::mt19937 random(seed);
  std::vector<bool> lost;
  for (std::size_t i = 0; i < packets.size(); ++i)
    lost.push_back(static_cast<int>(random() % 100) < loss_percent);
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(static_cast<opus_int32>(kRate), 1, &error);
  if (!decoder) return {};
  Samples heard;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const bool recover = lost[i] && i + 1 < packets.size() && !lost[i + 1];
    const std::vector<std::uint8_t>* p = !lost[i]  ? &packets[i]
                                         : recover ? &packets[i + 1]
                                                   : nullptr;
    std::int16_t out[480];
    if (opus_decode(decoder, p ? p->data() : nullptr, p ? static_cast<opus_int32>(p->size()) : 0,
                    out, 480, recover ? 1 : 0) <= 0) {
      heard.clear();
      break;
    }
    heard.insert(heard.end(), out, out + 480);
  }
  opus_decoder_destroy(decoder);
  return heard;
}

double SpokenShare(const Samples& said, const Samples& heard, int* windows) {
  const SpeechHeard h = CompareSpeech(said, heard);
  if (windows) *windows = h.windows;
  return h.Share();
}

}  // namespace talmeris::test
