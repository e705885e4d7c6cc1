#include "voice/detector.h"

#include <opus/opus.h>
#include <speex/speex_jitter.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "voice/audio_device_port.h"

namespace talmeris::voice {

float FrameLevelDb(const std::int16_t* samples, int count) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  const double rms = count > 0 ? std::sqrt(sum / count) / 32768.0 : 0.0;
  return rms > 1.585e-5 ? static_cast<float>(20.0 * std::log10(rms)) : -96.0f;
}

bool VoiceDetector::Update(float level_db) {
  above_ = level_db > open_db_ ? above_ + 1 : 0;
  if (!open_) {
    if (above_ >= attack_) {
      open_ = true;
      quiet_ = 0;
    }
  } else if (level_db > close_db_) {
    quiet_ = 0;
  } else if (++quiet_ > hold_) {
    open_ = false;
    above_ = 0;
  }
  return open_;
}

Talker::Talker() {
  jitter_ = jitter_buffer_init(kFrameSamples);
  int error = 0;
  decoder_ = opus_decoder_create(kSampleRate, 1, &error);
  if (!jitter_ || !decoder_) std::abort();  // out of memory
}

Talker::~Talker() {
  jitter_buffer_destroy(jitter_);
  opus_decoder_destroy(decoder_);
}

void Talker::Put(std::uint16_t sequence, const std::uint8_t* opus, std::uint32_t size,
                 std::int64_t now_frame) {
  if (!Talking(now_frame)) {
    // A new spurt: the buffer starts empty and plays from its first frame.
    jitter_buffer_reset(jitter_);
    opus_decoder_ctl(decoder_, OPUS_RESET_STATE);
    extended_ = 0x100000u + sequence;  // room below for frames older than the first
    started_ = true;
  }
  const auto delta = static_cast<std::int16_t>(sequence - static_cast<std::uint16_t>(extended_));
  const std::uint32_t extended = extended_ + static_cast<std::uint32_t>(std::int32_t{delta});
  if (delta > 0) extended_ = extended;
  JitterBufferPacket packet{};
  packet.data = reinterpret_cast<char*>(const_cast<std::uint8_t*>(opus));
  packet.len = size;
  packet.timestamp = extended * kFrameSamples;
  packet.span = kFrameSamples;
  packet.sequence = sequence;
  jitter_buffer_put(jitter_, &packet);
  last_arrival_ = now_frame;
}

bool Talker::Decode(std::int16_t* out, std::int64_t now_frame) {
  char bytes[512];
  JitterBufferPacket packet{};
  packet.data = bytes;
  packet.len = sizeof bytes;
  const int result = jitter_buffer_get(jitter_, &packet, kFrameSamples, nullptr);
  bool produced = false;
  if (result == JITTER_BUFFER_OK && packet.len > 0) {
    produced = opus_decode(decoder_, reinterpret_cast<const unsigned char*>(packet.data),
                           static_cast<opus_int32>(packet.len), out, kFrameSamples, 0) > 0;
  } else if (Talking(now_frame)) {
    produced = opus_decode(decoder_, nullptr, 0, out, kFrameSamples, 0) > 0;  // concealment
  }
  jitter_buffer_tick(jitter_);
  return produced;
}

bool Talker::Next(std::int16_t* out, std::int64_t now_frame) {
  std::fill(out, out + kFrameSamples, std::int16_t{0});
  if (!started_) return false;
  bool produced = Decode(out, now_frame);
  // A spurt starts with the frames sent ahead of it, which would delay all the rest: a pause
  // while frames wait is shortened by a frame, so the delay falls back to what the network
  // needs without cutting into a word. A backlog that stands (frames that came in a burst
  // after a stall) is shed even without a pause.
  int waiting = 0;
  jitter_buffer_ctl(jitter_, JITTER_BUFFER_GET_AVAILABLE_COUNT, &waiting);
  backlog_.Note(waiting);
  const bool pause = produced && FrameLevelDb(out, kFrameSamples) < kPauseDb;
  int drop = produced ? backlog_.Shed(pause) : 0;
  if (drop == 0 && pause && waiting > 0) drop = 1;
  for (int i = 0; i < std::min(drop, waiting); ++i) {
    ++shortened_;
    produced = Decode(out, now_frame);
  }
  if (!produced) std::fill(out, out + kFrameSamples, std::int16_t{0});
  if (!Talking(now_frame)) started_ = false;
  return produced;
}

}  // namespace talmeris::voice
