// What the Opus encoder's complexity costs and buys for speech as the client codes it (16 kHz,
// 10 ms frames, 32 kbit/s, in-band forward error correction for 10 % loss): processor time per
// frame, and how close what a listener decodes comes to what was said, by two waveform
// measures (the share of 20 ms windows of speech heard as spoken, waveform correlation at least
// 0.8, as voice_bench counts them; and the segmental signal-to-noise ratio over 20 ms windows).
// Five spoken sentences (espeak-ng). Prints; asserts nothing.
//   codec_bench [REPEATS]
#include <opus/opus.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "support/audio_tools.h"
#include "voice/downsampler.h"
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
  for (const int complexity : {0, 1, 2, 3, 4, 5, 6, 8, 10}) {
    test::Samples heard;
    double seconds = 0;
    long frames = 0;
    for (int r = 0; r < repeats; ++r) {
      int error = 0;
      OpusEncoder* encoder = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &error);
      OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
      if (!encoder || !decoder) return 1;
      opus_encoder_ctl(encoder, OPUS_SET_BITRATE(32000));
      opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(complexity));
      opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
      opus_encoder_ctl(encoder, OPUS_SET_INBAND_FEC(1));
      opus_encoder_ctl(encoder, OPUS_SET_PACKET_LOSS_PERC(10));
      voice::Downsampler down;
      heard.clear();
      for (std::size_t at = 0; at + voice::kFrameSamples <= said.size();
           at += voice::kFrameSamples) {
        std::int16_t frame[voice::kCodecSamples], out[voice::kFrameSamples];
        unsigned char packet[voice::kMaxOpusBytes];
        down.Run(&said[at], frame);
        const auto t0 = std::chrono::steady_clock::now();
        const int n =
            opus_encode(encoder, frame, voice::kCodecSamples, packet, voice::kMaxOpusBytes);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ++frames;
        if (n <= 0 || opus_decode(decoder, packet, n, out, voice::kFrameSamples, 0) <= 0) return 1;
        heard.insert(heard.end(), out, out + voice::kFrameSamples);
      }
      opus_encoder_destroy(encoder);
      opus_decoder_destroy(decoder);
    }
    int windows = 0;
    const double share = test::SpokenShare(said, heard, &windows);
    std::printf(
        "complexity %2d: encoding %5.1f us a frame (%.2f %% of a core); %.1f %% of %d windows "
        "heard as spoken; segmental SNR %.2f dB\n",
        complexity, 1e6 * seconds / static_cast<double>(frames),
        1e4 * seconds / static_cast<double>(frames), 100 * share, windows,
        SegmentalSnrDb(said, heard));
  }
  return 0;
}
