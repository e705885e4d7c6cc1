// What the Opus encoder's settings cost and buy for speech as the client codes it (16 kHz,
// 10 ms frames, in-band forward error correction): first each complexity at the client's
// bitrate, then bitrates and forward error correction at the client's complexity with 0, 5 and
// 15 % of packets lost (a lost packet is rebuilt from the next one's coarser copy when that
// came, else concealed). For each: processor time per frame, the bitrate used, and how close
// what a listener decodes comes to what was said, by two waveform measures (the share of 20 ms
// windows of speech heard as spoken, waveform correlation at least 0.8, as voice_bench counts
// them; and the segmental signal-to-noise ratio over 20 ms windows). Five spoken sentences
// (espeak-ng). Prints; asserts nothing.
//   codec_bench [REPEATS]
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
  int complexity, bitrate, fec, expected_loss;
};

struct Coded {
  test::Samples heard;
  double us_a_frame = 0, kbit_s = 0;
};

// `said` through the encoder and a decoder, with `loss_percent` of the packets lost (the same
// ones for every setting).
Coded Code(const test::Samples& said, const Setting& setting, int loss_percent) {
  Coded coded;
  int error = 0;
  OpusEncoder* encoder = opus_encoder_create(voice::kCodecRate, 1, OPUS_APPLICATION_VOIP, &error);
  if (!encoder) std::exit(1);
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(setting.bitrate));
  opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(setting.complexity));
  opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  opus_encoder_ctl(encoder, OPUS_SET_INBAND_FEC(setting.fec));
  opus_encoder_ctl(encoder, OPUS_SET_PACKET_LOSS_PERC(setting.expected_loss));
  voice::Downsampler down;
  std::vector<std::vector<std::uint8_t>> packets;
  double seconds = 0, bytes = 0;
  for (std::size_t at = 0; at + voice::kFrameSamples <= said.size(); at += voice::kFrameSamples) {
    std::int16_t frame[voice::kCodecSamples];
    std::uint8_t packet[voice::kMaxOpusBytes];
    down.Run(&said[at], frame);
    const auto t0 = std::chrono::steady_clock::now();
    const int n = opus_encode(encoder, frame, voice::kCodecSamples, packet, voice::kMaxOpusBytes);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (n <= 0) std::exit(1);
    packets.emplace_back(packet, packet + n);
    bytes += n;
  }
  coded.heard = test::DecodeWithLoss(packets, loss_percent);
  if (coded.heard.empty()) std::exit(1);
  opus_encoder_destroy(encoder);
  const auto frames = static_cast<double>(packets.size());
  coded.us_a_frame = 1e6 * seconds / frames;
  coded.kbit_s = bytes * 8 / (frames * voice::kFrameSamples / voice::kSampleRate) / 1000;
  return coded;
}

void Report(const test::Samples& said, const Coded& coded) {
  int windows = 0;
  const double share = test::SpokenShare(said, coded.heard, &windows);
  std::printf("%.1f %% of %d windows heard as spoken; segmental SNR %.2f dB\n", 100 * share,
              windows, SegmentalSnrDb(said, coded.heard));
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
  std::printf("complexity, at %d bit/s with forward error correction for %d %% loss:\n",
              client.opus_bitrate, client.expected_loss_percent);
  for (const int complexity : {0, 1, 2, 3, 4, 5, 6, 8, 10}) {
    const Setting setting{complexity, client.opus_bitrate, 1, client.expected_loss_percent};
    Coded coded;
    double us = 0;
    for (int r = 0; r < repeats; ++r) {
      coded = Code(said, setting, 0);
      us += coded.us_a_frame / repeats;
    }
    std::printf("  %2d: encoding %5.1f us a frame (%.2f %% of a core); ", complexity, us, us / 100);
    Report(said, coded);
  }
  std::printf("bitrate and forward error correction, at complexity %d:\n", client.opus_complexity);
  for (const int bitrate : {24000, 32000, 40000, 48000, 64000}) {
    for (const int expected : {0, 5, 10}) {
      for (const int loss : {0, 5, 15}) {
        const Setting setting{client.opus_complexity, bitrate, expected > 0, expected};
        const Coded coded = Code(said, setting, loss);
        std::printf("  %5d bit/s (%4.1f kbit/s used), FEC for %2d %%, %2d %% lost: ", bitrate,
                    coded.kbit_s, expected, loss);
        Report(said, coded);
      }
    }
  }
  return 0;
}
