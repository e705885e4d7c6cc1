#include "support/audio_tools.h"

#include <unistd.h>

#include <algorithm>
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

}  // namespace talmeris::test
