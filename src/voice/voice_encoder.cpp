#include "voice/voice_encoder.h"

#include <opus/opus.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
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
  reference_db_.fill(-96.0f);  // nothing played yet
  int error = 0;
  opus_ = opus_encoder_create(
      kCodecRate, 1,
      options.opus_low_delay ? OPUS_APPLICATION_RESTRICTED_LOWDELAY : OPUS_APPLICATION_VOIP,
      &error);
  preprocess_ = speex_preprocess_state_init(kStepSamples, kCodecRate);
  if (echo_cancellation) echo_ = speex_echo_state_init(kStepSamples, kEchoTailSamples);
  if (!opus_ || !preprocess_ || (echo_cancellation && !echo_)) std::abort();  // out of memory
  opus_encoder_ctl(opus_, OPUS_SET_BITRATE(options.opus_bitrate));
  opus_encoder_ctl(opus_, OPUS_SET_COMPLEXITY(options.opus_complexity));
  opus_encoder_ctl(opus_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  if (!options.opus_low_delay) {
    // Each packet also carries the frame before it, coarser (Opus's in-band forward error
    // correction), so a listener rebuilds a frame that was lost or came too late from the next.
    opus_encoder_ctl(opus_, OPUS_SET_INBAND_FEC(1));
    opus_encoder_ctl(opus_, OPUS_SET_PACKET_LOSS_PERC(options.expected_loss_percent));
  }
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

namespace {

// Far speech quieter than this in the reference leaves no echo worth holding back; a microphone
// quieter than this holds nothing worth measuring the canceller on (dBFS, as FrameLevelDb).
constexpr float kFarFloorDb = -60.0f;
constexpr float kMicFloorDb = -50.0f;
constexpr float kLoudFarDb = -35.0f;
// An echo may come back louder than it was played (a loud speaker beside the microphone, the
// microphone's gain): up to 6 dB louder still counts as possibly echo.
constexpr float kEchoMarginDb = 6.0f;

}  // namespace

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
  if (reference_quiet_ == kReferenceLiveFrames) reference_db_.fill(-96.0f);
  if (!echo_ || reference_quiet_ >= kReferenceLiveFrames) {
    std::copy(mic_16.begin(), mic_16.end(), out);
    return;  // nothing played lately: there is no echo to take out
  }
  reference_.Run(played, played_16.data());
  for (int at = 0; at < kCodecSamples; at += kStepSamples)
    speex_echo_cancellation(echo_, mic_16.data() + at, played_16.data() + at, out + at);

  HoldBackUnlearnedEcho(mic_16.data(), played_16.data(), out);
}

void VoiceEncoder::HoldBackUnlearnedEcho(const std::int16_t* mic, const std::int16_t* played,
                                         std::int16_t* out) {
  // The oldest of the ring was played a whole tail ago: all its echo has come by now.
  const float tail_ago = reference_db_[reference_at_ % kEchoTailFrames];
  reference_db_[reference_at_++ % kEchoTailFrames] = FrameLevelDb(played, kCodecSamples);
  const float far = *std::max_element(reference_db_.begin(), reference_db_.end());
  const float in = FrameLevelDb(mic, kCodecSamples);
  mic_quiet_frames_ = in <= kMicFloorDb ? mic_quiet_frames_ + 1 : 0;
  const bool maybe_echo = far > kFarFloorDb && in <= far + kEchoMarginDb;
  // A microphone that stayed quiet all through the tail after something loud was played hears
  // no echo (a headset): there is nothing to hold back, as if the canceller had learned.
  const bool no_echo = tail_ago > kLoudFarDb && mic_quiet_frames_ >= kEchoTailFrames;
  if ((maybe_echo && in > kMicFloorDb) || no_echo) {
    const float removed = no_echo ? kEchoLearnedDb + 10.0f : in - FrameLevelDb(out, kCodecSamples);
    echo_removed_db_ += 0.05f * (removed - echo_removed_db_);
    if (echo_removed_db_ >= kEchoLearnedDb) echo_learned_ = true;
    if (echo_removed_db_ < kEchoUnlearnedDb) echo_learned_ = false;
  }
  static const float kHeld = std::pow(10.0f, kEchoHoldDb / 20.0f);
  const float target = maybe_echo && !echo_learned_ ? kHeld : 1.0f;
  if (target == 1.0f && hold_gain_ == 1.0f) return;
  for (int i = 0; i < kCodecSamples; ++i) {
    const float g = hold_gain_ + (target - hold_gain_) * static_cast<float>(i + 1) / kCodecSamples;
    out[i] = static_cast<std::int16_t>(std::lround(out[i] * g));
  }
  hold_gain_ = target;
}

void VoiceEncoder::Preprocess(std::int16_t* frame) {
  // The automatic record volume must not learn from the far talker's echo (it would raise it to
  // speech level): while anything was played lately, it may lower its gain but not raise it.
  const bool freeze = reference_quiet_ < kReferenceLiveFrames;
  if (agc_ == 1 && freeze != agc_frozen_) {
    agc_frozen_ = freeze;
    int increment = freeze ? 0 : 12;  // dB a second; 12 is the preprocessor's own
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC_INCREMENT, &increment);
  }
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
