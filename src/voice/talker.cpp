#include "voice/talker.h"

#include <opus/opus.h>

#include <algorithm>
#include <cstdlib>

#include "voice/audio_device_port.h"
#include "voice/detector.h"

namespace talmeris::voice {

Talker::Talker() {
  int error = 0;
  decoder_ = opus_decoder_create(kSampleRate, 1, &error);
  if (!decoder_) std::abort();  // out of memory
}

Talker::~Talker() {
  opus_decoder_destroy(decoder_);
}

void Talker::Put(std::uint16_t sequence, const std::uint8_t* opus, std::uint32_t size,
                 std::int64_t now_frame, bool on_time) {
  if (!Talking(now_frame)) {
    // A new spurt: the buffer starts empty and plays from its first frame.
    opus_decoder_ctl(decoder_, OPUS_RESET_STATE);
    extended_ = 0x100000u + sequence;  // room below for frames older than the first
    jitter_.Start(extended_, now_frame);
    started_ = true;
    first_ = extended_;
  }
  const auto delta = static_cast<std::int16_t>(sequence - static_cast<std::uint16_t>(extended_));
  const std::uint32_t extended = extended_ + static_cast<std::uint32_t>(std::int32_t{delta});
  if (delta > 0) extended_ = extended;
  jitter_.Put(extended, opus, size);
  // The frames that open a spurt were sent together, all but the newest late on purpose: they
  // say nothing of the network.
  if (on_time && extended >= first_ + kSentAhead) jitter_.Measure(extended, now_frame);
  last_arrival_ = now_frame;
}

bool Talker::Decode(std::int16_t* out, std::int64_t now_frame) {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  switch (jitter_.Get(&data, &size)) {
    case JitterBuffer::Take::kFrame:
      return opus_decode(decoder_, data, static_cast<opus_int32>(size), out, kFrameSamples, 0) > 0;
    case JitterBuffer::Take::kRecover:
      return opus_decode(decoder_, data, static_cast<opus_int32>(size), out, kFrameSamples, 1) > 0;
    case JitterBuffer::Take::kConceal:
      return Talking(now_frame) && opus_decode(decoder_, nullptr, 0, out, kFrameSamples, 0) > 0;
    case JitterBuffer::Take::kNothing:
      break;
  }
  return false;
}

bool Talker::Next(std::int16_t* out, std::int64_t now_frame) {
  std::fill(out, out + kFrameSamples, std::int16_t{0});
  if (!started_) return false;
  bool produced = Decode(out, now_frame);
  // The delay moves towards what the network needs only in the talker's pauses: a quiet frame
  // while the delay is above it is followed at once by the next (see JitterBuffer). Inside a
  // word it stays as it is, so what is heard is never cut, stretched or sped up.
  const bool pause = !produced || FrameLevelDb(out, kFrameSamples) < kPauseDb;
  // Sound that never pauses (a tone, a siren) would keep an excess for ever: after a second
  // without a pause, one frame of it goes.
  loud_run_ = pause ? 0 : loud_run_ + 1;
  const bool overdue = loud_run_ >= kLongestUnpaused && jitter_.Excess(now_frame) > 0;
  if (overdue) loud_run_ = 0;
  if (jitter_.Adjust(now_frame, pause || overdue) > 0) {
    ++shortened_;
    produced = Decode(out, now_frame);
  }
  if (!produced) std::fill(out, out + kFrameSamples, std::int16_t{0});
  if (!Talking(now_frame)) started_ = false;
  return produced;
}

}  // namespace talmeris::voice
