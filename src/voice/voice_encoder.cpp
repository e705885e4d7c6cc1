#include "voice/voice_encoder.h"

#include <opus/opus.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstdlib>

#include "voice/detector.h"
#include "voice/voice_engine.h"
#include "voice/voice_wire.h"

namespace talmeris::voice {

void FlushDenormals() {
#if defined(__SSE__)
  _mm_setcsr(_mm_getcsr() | 0x8040);  // flush to zero, denormals are zero
#endif
}

VoiceEncoder::VoiceEncoder(const VoiceOptions& options, bool echo_cancellation) {
  int error = 0;
  opus_ = opus_encoder_create(kCodecRate, 1, OPUS_APPLICATION_VOIP, &error);
  preprocess_ = speex_preprocess_state_init(kStepSamples, kCodecRate);
  if (echo_cancellation) echo_ = speex_echo_state_init(kStepSamples, kEchoTailSamples);
  if (!opus_ || !preprocess_ || (echo_cancellation && !echo_)) std::abort();  // out of memory
  opus_encoder_ctl(opus_, OPUS_SET_BITRATE(options.opus_bitrate));
  opus_encoder_ctl(opus_, OPUS_SET_COMPLEXITY(options.opus_complexity));
  opus_encoder_ctl(opus_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  int on = 1;
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  // The automatic record volume brings speech to about -18 dB below full scale.
  float level = 30000.0f;
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
  if (echo_) {
    int rate = kCodecRate;
    speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    // What the canceller leaves of the echo is suppressed with the noise.
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
  }
}

VoiceEncoder::~VoiceEncoder() {
  opus_encoder_destroy(opus_);
  speex_preprocess_state_destroy(preprocess_);
  if (echo_) speex_echo_state_destroy(echo_);
}

// The microphone and the reference lost the frames together, so the echo's delay behind the
// reference still holds and what the canceller learned stays good; it only has to see the gap as
// time that passed, or it would line the echo up against reference samples from before it. So it
// is given silence on both sides for the gap, up to its tail (beyond that its history is silence
// either way). Frames the thread was merely late for never come here: they reach the canceller
// as they were.
void VoiceEncoder::Lost(int frames) {
  if (!echo_ || reference_quiet_ >= kReferenceLiveFrames) return;
  static constexpr std::array<std::int16_t, kStepSamples> kSilence{};
  std::array<std::int16_t, kStepSamples> discard;
  const int steps =
      std::min(frames * (kCodecSamples / kStepSamples), kEchoTailSamples / kStepSamples);
  for (int i = 0; i < steps; ++i)
    speex_echo_cancellation(echo_, kSilence.data(), kSilence.data(), discard.data());
}

void VoiceEncoder::SetAutoVolume(bool on) {
  int value = on ? 1 : 0;
  if (value == agc_) return;
  agc_ = value;
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC, &value);
}

void VoiceEncoder::Condition(const std::int16_t* frame, const std::int16_t* played,
                             std::int16_t* out) {
  std::array<std::int16_t, kCodecSamples> mic_16{}, played_16{};
  mic_.Run(frame, mic_16.data());
  const bool live = played && FrameLevelDb(played, kFrameSamples) > -96.0f;
  reference_quiet_ = live ? 0 : std::min(reference_quiet_ + 1, kReferenceLiveFrames);
  if (!echo_ || reference_quiet_ >= kReferenceLiveFrames) {
    std::copy(mic_16.begin(), mic_16.end(), out);
    return;  // nothing played lately: there is no echo to take out
  }
  reference_.Run(played, played_16.data());
  for (int at = 0; at < kCodecSamples; at += kStepSamples)
    speex_echo_cancellation(echo_, mic_16.data() + at, played_16.data() + at, out + at);
}

void VoiceEncoder::Preprocess(std::int16_t* frame) {
  for (int at = 0; at < kCodecSamples; at += kStepSamples)
    speex_preprocess_run(preprocess_, frame + at);
}

void VoiceEncoder::Restart() {
  opus_encoder_ctl(opus_, OPUS_RESET_STATE);
}

std::uint32_t VoiceEncoder::Encode(const std::int16_t* frame, std::uint8_t* out) {
  const opus_int32 n = opus_encode(opus_, frame, kCodecSamples, out, kMaxOpusBytes);
  return n > 0 ? static_cast<std::uint32_t>(n) : 0;
}

}  // namespace talmeris::voice
