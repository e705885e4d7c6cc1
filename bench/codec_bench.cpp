// What the Opus encoder's settings cost and buy for speech as the client codes it (16 kHz,
// 10 ms frames): first Opus's two ways of coding speech (its low-delay coding, CELT only, and
// its voice coding, SILK, with in-band forward error correction) at the client's bitrate and
// complexity, then each complexity and each bitrate of the client's way, with 0, 5 and 15 % of
// packets lost (a lost packet is rebuilt from the next one's forward error correction when it
// carries one and came, else concealed; the share lost is averaged over three draws of which).
// For each: the look-ahead, processor time per frame, the bitrate used, and how close what a
// listener decodes comes to what was said, by two waveform measures (the share of 20 ms windows
// of speech heard as spoken, waveform correlation at least 0.8, as voice_bench counts them; and
// the segmental signal-to-noise ratio over 20 ms windows, with nothing lost). Five spoken
// sentences (espeak-ng). Prints; asserts nothing.
#include <opus/opus.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "support/audio_tools.h"
#include "voice/downsampler.h"
#include "voice/voice_engine.h"
#include "voice/voice_wire.h"

using namespace talmeris;

namespace {

// The segmental SNR (dB, each window clamped to -10..35) of `heard` against `said`, over the
// 20 ms windows of speech, at the delay that lines them up best.
double SegmentalSnrDb(const test::Samples& said, const test::Samples& heard) {
  long delay = 0;
  double best = -1;
  for (long k = 0; k < 960; ++k) {
    double c = 0;
    for (std::size_t i = 0; i + static_cast<std::size_t>(k) < heard.size() && i < said.size();
         i += 3)
      c += static_cast<double>(said[i]) * heard[i + static_cast<std::size_t>(k)];
    if (c > best) {
      best = c;
      delay = k;
    }
  }
  double sum = 0;
  int windows = 0;
  for (std::size_t at = 0;
       at + 960 + static_cast<std::size_t>(delay) <= heard.size() && at + 960 <= said.size();
       at += 960) {
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < 960; ++i) {
      const double a = said[at + i], b = heard[at + i + static_cast<std::size_t>(delay)];
      signal += a * a;
      noise += (a - b) * (a - b);
    }
    if (signal < 960.0 * 300 * 300) continue;  // a pause
    sum += std::clamp(10 * std::log10(signal / (noise + 1)), -10.0, 35.0);
    ++windows;
  }
  return windows ? sum / windows : 0;
}

struct Setting {
  bool low_delay;
  int complexity, bitrate, fec, expected_loss;
};

struct Coded {
  std::vector<std::vector<std::uint8_t>> packets;
  double us_a_frame = 0, kbit_s = 0, lookahead_ms = 0;
};

// `said` through the encoder.
Coded Code(const test::Samples& said, const Setting& setting) {
  Coded coded;
  int error = 0;
  OpusEncoder* encoder = opus_encoder_create(
      voice::kCodecRate, 1,
      setting.low_delay ? OPUS_APPLICATION_RESTRICTED_LOWDELAY : OPUS_APPLICATION_VOIP, &error);
  if (!encoder) std::exit(1);
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(setting.bitrate));
  opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(setting.complexity));
  opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  opus_encoder_ctl(encoder, OPUS_SET_INBAND_FEC(setting.fec));
  opus_encoder_ctl(encoder, OPUS_SET_PACKET_LOSS_PERC(setting.expected_loss));
  opus_int32 lookahead = 0;
  opus_encoder_ctl(encoder, OPUS_GET_LOOKAHEAD(&lookahead));
  coded.lookahead_ms = 1000.0 * lookahead / voice::kCodecRate;
  voice::Downsampler down;
  double seconds = 0, bytes = 0;
  for (std::size_t at = 0; at + voice::kFrameSamples <= said.size(); at += voice::kFrameSamples) {
    std::int16_t frame[voice::kCodecSamples];
    std::uint8_t packet[voice::kMaxOpusBytes];
    down.Run(&said[at], frame);
    const auto t0 = std::chrono::steady_clock::now();
    const int n = opus_encode(encoder, frame, voice::kCodecSamples, packet, voice::kMaxOpusBytes);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (n <= 0) std::exit(1);
    coded.packets.emplace_back(packet, packet + n);
    bytes += n;
  }
  opus_encoder_destroy(encoder);
  const auto frames = static_cast<double>(coded.packets.size());
  coded.us_a_frame = 1e6 * seconds / frames;
  coded.kbit_s = bytes * 8 / (frames * voice::kFrameSamples / voice::kSampleRate) / 1000;
  return coded;
}

// Coded `repeats` times (for the time a frame takes); what a listener hears of it.
void Report(const test::Samples& said, const Setting& setting, int repeats) {
  Coded coded;
  double us = 0;
  for (int r = 0; r < repeats; ++r) {
    coded = Code(said, setting);
    us += coded.us_a_frame / repeats;
  }
  std::printf(
      "look-ahead %.1f ms, encoding %5.1f us a frame (%.2f %% of a core), %4.1f kbit/s; "
      "heard as spoken",
      coded.lookahead_ms, us, us / 100, coded.kbit_s);
  for (const int loss : {0, 5, 15}) {
    double share = 0;
    for (const unsigned seed : {5u, 6u, 7u}) {
      const test::Samples heard = test::DecodeWithLoss(coded.packets, loss, seed);
      if (heard.empty()) std::exit(1);
      share += test::SpokenShare(said, heard) / 3;
    }
    std::printf(" %4.1f %%", 100 * share);
  }
  std::printf(" with 0, 5, 15 %% lost; segmental SNR %.2f dB\n",
              SegmentalSnrDb(said, test::DecodeWithLoss(coded.packets, 0)));
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  test::Samples said;
  for (const char* line : {"Vector two seven zero, climbing to the northern ring.",
                           "Hold your fire, we are friendly, repeat, friendly.",
                           "Form up on my left wing and follow me in.",
                           "Six bogeys low, breaking right, engage at will.",
                           "Requesting docking clearance at the eastern gate."}) {
    test::Append(said, test::Speak(line));
    test::Append(said, test::Silence(0.3));
  }
  if (said.empty()) {
    std::fprintf(stderr, "espeak-ng did not speak\n");
    return 1;
  }
  const voice::VoiceOptions client;
  const bool low = client.opus_low_delay;
  const Setting own{low, client.opus_complexity, client.opus_bitrate, !low,
                    low ? 0 : client.expected_loss_percent};
  std::printf("at %d bit/s, complexity %d:\n", client.opus_bitrate, client.opus_complexity);
  std::printf("  low-delay coding:                                ");
  Report(said, Setting{true, own.complexity, own.bitrate, 0, 0}, repeats);
  for (const int bitrate : {own.bitrate, 48000}) {
    std::printf("  voice coding at %5d, correction for %2d %% loss: ", bitrate,
                client.expected_loss_percent);
    Report(said, Setting{false, own.complexity, bitrate, 1, client.expected_loss_percent}, repeats);
  }
  std::printf("the client's (%s) coding, complexity:\n", low ? "low-delay" : "voice");
  for (const int complexity : {0, 1, 2, 3, 4, 5, 6, 8, 10}) {
    Setting setting = own;
    setting.complexity = complexity;
    std::printf("  %2d: ", complexity);
    Report(said, setting, repeats);
  }
  std::printf("the client's coding at complexity %d, bitrate:\n", client.opus_complexity);
  for (const int bitrate : {24000, 32000, 40000, 48000, 64000}) {
    Setting setting = own;
    setting.bitrate = bitrate;
    std::printf("  %5d: ", bitrate);
    Report(said, setting, repeats);
  }
  return 0;
}
