// The sending half of voice: the microphone at 16 kHz, echo cancellation against what the card
// played, the preprocessor (noise suppression, automatic record volume) and the Opus encoder.
// Owned by one thread (the voice thread or the setup monitor); no lock.
#pragma once

#include <cstdint>

#include "voice/downsampler.h"

struct OpusEncoder;
struct SpeexPreprocessState_;
struct SpeexEchoState_;

namespace talmeris::voice {

struct VoiceOptions;

// The preprocessor and the echo canceller work in 5 ms steps; the preprocessor delays what it
// hands on by one of them.
constexpr int kStepSamples = 80;
constexpr int kEchoTailSamples = kCodecRate / 5;  // an echo up to 200 ms after it was played
// The echo canceller runs while anything was played in the last 250 ms (more than its tail).
constexpr int kReferenceLiveFrames = 25;

// Silence decays the filters' state towards denormal numbers, which the processor handles a
// hundred times slower: the voice threads flush them to zero.
void FlushDenormals();

class VoiceEncoder {
 public:
  VoiceEncoder(const VoiceOptions& options, bool echo_cancellation);
  ~VoiceEncoder();
  VoiceEncoder(const VoiceEncoder&) = delete;
  VoiceEncoder& operator=(const VoiceEncoder&) = delete;

  // `frames` were lost (the thread was so late that the device's ring overwrote them).
  void Lost(int frames);
  void SetAutoVolume(bool on);
  // A 48 kHz microphone frame to 16 kHz, less the echo of `played` (what the device played as
  // it was captured, or null).
  void Condition(const std::int16_t* frame, const std::int16_t* played, std::int16_t* out);
  void Preprocess(std::int16_t* frame);
  // A spurt starts from a fresh encoder state: the frames between spurts were never encoded.
  void Restart();
  // The Opus packet for one 16 kHz frame into `out` (kMaxOpusBytes); 0 when none.
  std::uint32_t Encode(const std::int16_t* frame, std::uint8_t* out);

 private:
  OpusEncoder* opus_ = nullptr;
  SpeexPreprocessState_* preprocess_ = nullptr;
  SpeexEchoState_* echo_ = nullptr;  // null: echo cancellation is off
  Downsampler mic_, reference_;
  int reference_quiet_ = kReferenceLiveFrames;  // frames since anything was played
  int agc_ = -1;                                // the automatic record volume as last set
};

}  // namespace talmeris::voice
