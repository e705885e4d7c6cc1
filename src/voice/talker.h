// One remote talker: its jitter buffer and Opus decoder. A missing frame is rebuilt from the
// next frame's forward error correction when that is here and carries it (Opus's voice coding
// does; the client's own low-delay coding does not), else concealed. Owned by the voice thread;
// no lock.
#pragma once

#include <cstdint>

#include "voice/audio_device_port.h"
#include "voice/jitter_buffer.h"

struct OpusDecoder;

namespace talmeris::voice {

class Talker {
 public:
  Talker();
  ~Talker();
  Talker(const Talker&) = delete;
  Talker& operator=(const Talker&) = delete;

  // A frame arrived; `now_frame` is the listener's frame clock. A frame after a silence starts a
  // new spurt from an empty buffer. `on_time`: it was taken in as it came (not after a stall of
  // the listener), so its transit says something of the network.
  void Put(std::uint16_t sequence, const std::uint8_t* opus, std::uint32_t size,
           std::int64_t now_frame, bool on_time = true);
  // The next 10 ms of this talker into `out` (480 samples); false (and silence) when the talker
  // is not talking.
  bool Next(std::int16_t* out, std::int64_t now_frame);
  // Talking: a frame arrived within the last `kSilenceFrames` frames.
  bool Talking(std::int64_t now_frame) const {
    return last_arrival_ >= 0 && now_frame - last_arrival_ < kSilenceFrames;
  }
  std::int64_t last_arrival() const { return last_arrival_; }
  static constexpr int kLongestUnpaused = 100;    // 1 s
  static constexpr int kSilenceFrames = 20;       // 200 ms without a frame ends a spurt
  static constexpr std::uint32_t kSentAhead = 5;  // a spurt's first frames, sent together
  int shortened() const { return shortened_; }    // frames skipped to lower the delay

 private:
  bool Decode(std::int16_t* out, std::int64_t now_frame);

  JitterBuffer jitter_;
  OpusDecoder* decoder_;
  std::int64_t last_arrival_ = -1;
  int loud_run_ = 0;            // frames in a row that were no pause
  std::uint32_t first_ = 0;     // the spurt's first sequence number, unwrapped
  std::uint32_t extended_ = 0;  // the last sequence number, unwrapped
  bool started_ = false;
  int shortened_ = 0;
};

}  // namespace talmeris::voice
