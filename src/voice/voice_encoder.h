// The sending half of voice: the microphone at 16 kHz, echo cancellation against what the card
// played, the preprocessor (noise suppression, automatic record volume) and the Opus encoder.
// Owned by one thread (the voice thread or the setup monitor); no lock.
#pragma once

#include <array>
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

// Until the echo canceller has learned the echo's path it hands the echo on nearly whole. While
// it learns, a frame captured as something was played, and no more than 6 dB louder than the
// loudest of what was played within the canceller's tail, may be nothing but echo: it is held back
// (brought down kEchoHoldDb). A frame louder than that is the player speaking and passes. The
// canceller counts as having learned once it takes, on such frames, kEchoLearnedDb out on average
// (it unlearns below kEchoUnlearnedDb, as when the echo's path changed).
constexpr float kEchoHoldDb = -40.0f;
constexpr float kEchoLearnedDb = 18.0f;
constexpr float kEchoUnlearnedDb = 8.0f;
constexpr int kEchoTailFrames = kEchoTailSamples / kCodecSamples + 1;

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
  // Whether the canceller has learned the echo's path (see above).
  bool echo_learned() const { return echo_learned_; }

 private:
  // What follows the canceller: the held-back echo (see above), on the 16 kHz frames.
  void HoldBackUnlearnedEcho(const std::int16_t* mic, const std::int16_t* played,
                             std::int16_t* out);

  OpusEncoder* opus_ = nullptr;
  SpeexPreprocessState_* preprocess_ = nullptr;
  SpeexEchoState_* echo_ = nullptr;  // null: echo cancellation is off
  Downsampler mic_, reference_;
  int reference_quiet_ = kReferenceLiveFrames;         // frames since anything was played
  int agc_ = -1;                                       // the automatic record volume as last set
  bool agc_frozen_ = false;                            // while something was played lately
  std::array<float, kEchoTailFrames> reference_db_{};  // the 16 kHz reference's levels, a ring
  int reference_at_ = 0;
  int mic_quiet_frames_ = 0;      // in a row, below the floor worth measuring
  float echo_removed_db_ = 0.0f;  // what the canceller takes out, on average
  bool echo_learned_ = false;
  float hold_gain_ = 1.0f;  // applied to the canceller's output, ramped frame to frame
};

}  // namespace talmeris::voice
