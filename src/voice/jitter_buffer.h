// A talker's jitter buffer: the frames that arrived, by sequence number, and when to play
// each. Owned by the voice thread; no lock.
//
// A frame's transit is the listener's frame clock when it arrived less its sequence number (the
// talker's clock): constant on a steady network, up to the jitter more on a jittery one. The least
// transit of the last kBaseWindow arrivals is the network's base (it follows the two clocks' drift,
// or a card that slipped a part of a period, within a second), and kQuantile per cent of the last
// kWindow arrivals came within `spread` frames of the base as it was then (or as it rose to since,
// when it rose by two frames or more: frames that all come later are no jitter). Frame n plays at
// listener frame n + delay + base; the buffer aims at delay = spread, so that few frames come too
// late, and moves the delay one frame at a time, only while the talker pauses (a quiet frame), so a
// word is never cut or stretched. A spurt starts with the frames sent ahead of it, the oldest
// first: it plays at once, and the delay that adds falls back in the pauses that follow. The
// measure outlives the spurt.
#pragma once

#include <array>
#include <cstdint>

#include "voice/voice_wire.h"

namespace talmeris::voice {

class JitterBuffer {
 public:
  static constexpr int kSlots = 64;       // 640 ms of frames ahead of the one playing
  static constexpr int kWindow = 256;     // arrivals the jitter is measured over
  static constexpr int kBaseWindow = 64;  // arrivals the base is the least of
  static constexpr int kQuantile = 95;    // per cent of them in time
  static constexpr int kMaxSpread = 30;   // frames of jitter that are ever waited for

  // A new spurt, arrived at `now`: empty, its first frame (the oldest sent ahead) the next to
  // play.
  void Start(std::uint32_t first, std::int64_t now);
  // Frame `sequence` (unwrapped) arrived. Frames too late to play, repeated, or too far ahead
  // to hold are dropped.
  void Put(std::uint32_t sequence, const std::uint8_t* opus, std::uint32_t size);
  // Frame `sequence` arrived at `now`: its transit counts. (The frames sent ahead of a spurt
  // are not measured: they were sent late on purpose.)
  void Measure(std::uint32_t sequence, std::int64_t now);

  // What plays at `now`; each call moves on by one frame, except after a hold.
  enum class Take { kNothing, kFrame, kRecover, kConceal };
  // kFrame: `*data`/`*size` are the frame's packet. kRecover: the frame is missing and the next
  // one is here: `*data` is that next packet, whose forward error correction (if it carries
  // any; else the decoder conceals) rebuilds it.
  // kConceal: missing, nothing to rebuild it from. kNothing: nothing to play (before the
  // spurt's first frame, or held for a frame).
  Take Get(const std::uint8_t** data, std::uint32_t* size);
  // After the frame that played at `now`, `quiet` when it was a pause: +1 when the delay is above
  // its aim (the caller plays the next frame at once instead, skipping ahead), -1 when it is
  // below (the next Get holds), else 0. A frame that was missing holds as a pause does when the
  // delay is more than a frame below its aim: after a stall of the listener the buffer can run
  // ahead of the frames, each of which then comes after its turn and is dropped, and what plays
  // is concealment, not the talker's sound (waiting for a pause could wait for ever: the
  // concealment of sound that never pauses need not fall to one).
  int Adjust(std::int64_t now, bool quiet);
  // Frames the delay stands above its aim at `now` (below it when negative).
  int Excess(std::int64_t now) const;
  // The delay above the network's base (frames) as it stands at `now`, and its aim.
  int Delay(std::int64_t now) const { return static_cast<int>(now - next_ + 1 - Base()); }
  int Aim() const { return Spread(); }

 private:
  struct Slot {
    std::uint32_t sequence = 0;
    bool present = false;
    std::uint16_t size = 0;
    std::uint8_t opus[kMaxOpusBytes];
  };
  std::int64_t Base() const;
  int Spread() const;

  std::array<Slot, kSlots> slots_;
  std::array<std::int64_t, kWindow> transit_{};  // a ring
  std::array<int, kWindow> above_base_{};        // each transit less the base when it came
  int transits_ = 0;                             // measured so far (up to kWindow)
  int transit_at_ = 0;
  std::uint32_t next_ = 0;     // the next frame to play
  std::uint32_t highest_ = 0;  // the newest frame held
  bool hold_ = false;
  bool missed_ = false;  // the last Get found its frame missing
};

}  // namespace talmeris::voice
