// What lies between a sound card's callback and the voice thread: the captured samples waiting
// to be read and the samples waiting to be played, each in a fixed ring, with the bounds that
// keep the delay low. Guarded by its own mutex (innermost; the callback holds it only to copy).
//
// Capture: the thread reads whole frames; when it fell behind (a stalled thread), only the
// newest kCaptureBacklogFrames (or two of the card's periods, if longer) wait and the rest are
// counted as skipped (or handed out marked late, for the echo canceller alone), so a stall
// never leaves a backlog behind it.
// Playback: the ring adds to the card's own output latency, which nothing here can shorten.
// The ring's standing part (its least depth just before a frame is written, over half a
// second) is excess, shed as `Backlog` says: a large excess at once, a small one a frame at a
// time (quiet frames first, loud ones one in ten). When a callback found too little because
// the thread was late, the silence it played stands for what was missing: that much of the
// thread's next writes is dropped, so the delay stays as it was rather than growing by the gap
// inside a word (unless the thread is behind for good, when the delay grows instead).
// Hand-over: the voice thread mixes what the next callback plays just before that callback is
// due (`PlaybackDue`), not a whole period ahead, so on a card with a long period what arrived
// meanwhile is heard a period sooner. The callbacks' phase is followed from their times. The
// margin before each widens when a callback found too little to play, or when the thread woke
// from its wait so late that less than half the base was left before the callback that took
// what it wrote (by what was missing, so the next such wake-up leaves the base), and narrows
// again after a clean while.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "voice/audio_device_port.h"
#include "voice/detector.h"

namespace talmeris::voice {

constexpr int kCaptureBacklogFrames = 3;

// A ring of samples with a fixed capacity; the oldest are overwritten when it is full.
template <std::size_t N>
struct SampleRing {
  std::array<std::int16_t, N> samples{};
  std::size_t head = 0, size = 0;
  // Returns how many of the oldest were overwritten.
  std::size_t Push(const std::int16_t* in, std::size_t n) {
    std::size_t lost = 0;
    for (std::size_t i = 0; i < n; ++i) {
      samples[(head + size) % N] = in[i];
      if (size == N) {
        head = (head + 1) % N;
        ++lost;
      } else {
        ++size;
      }
    }
    return lost;
  }
  std::size_t Pop(std::int16_t* out, std::size_t n) {
    const std::size_t got = n < size ? n : size;
    for (std::size_t i = 0; i < got; ++i) out[i] = samples[(head + i) % N];
    head = (head + got) % N;
    size -= got;
    return got;
  }
  void Drop(std::size_t n) {
    n = n < size ? n : size;
    head = (head + n) % N;
    size -= n;
  }
};

class DeviceRings {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // The card's callback: `count` samples captured (null: none) and `count` to play; what the
  // ring lacks is played as silence. `xrun`: the card says it ran dry or overflowed since the
  // last callback (it stalled): what piled up to be played meanwhile is shed at once, down to
  // this period and one frame, so the listener is back to the talker's delay.
  // `at`: when the callback came (tests); now when not given.
  void Exchange(const std::int16_t* in, std::int16_t* out, std::size_t count, bool xrun = false,
                std::chrono::steady_clock::time_point at = {});

  // The voice thread. ReadCapture waits up to `timeout` for a frame: 0 when none came, else the
  // frames of time it covers (more than 1 when older frames were skipped or overwritten);
  // `played` gets what was played as it was captured. With `late`, the frames past the bound
  // are handed out first, each with `*late` set, instead of being skipped.
  // `at`: when it read (tests); now when not given.
  int ReadCapture(std::int16_t* frame, std::int16_t* played, std::chrono::microseconds timeout,
                  bool* late = nullptr, std::chrono::steady_clock::time_point at = {});
  // `at`: when it was written (tests); now when not given.
  void WritePlayback(const std::int16_t* frame, std::chrono::steady_clock::time_point at = {});
  // When to write what the next callback plays: its expected time less the margin. Now, before
  // the first callback.
  std::chrono::steady_clock::time_point PlaybackDue();

  static constexpr std::chrono::microseconds kBaseMargin{4000};
  static constexpr std::chrono::microseconds kMarginStep{2000};
  static constexpr std::chrono::seconds kCleanWhile{2};  // then the margin narrows

 private:
  std::chrono::steady_clock::time_point Due() const;            // PlaybackDue's, under the lock
  static constexpr std::size_t kCapacity = 32 * kFrameSamples;  // 320 ms each way
  std::mutex mutex_;
  std::condition_variable captured_;
  SampleRing<kCapacity> capture_, playback_;
  SampleRing<kCapacity> played_;    // what each callback played, beside what it captured
  std::size_t largest_period_ = 0;  // samples, of any callback so far
  std::size_t capture_lost_ = 0;    // samples overwritten before the thread read them, or
                                    // that a stalled card never captured
  std::chrono::steady_clock::time_point last_exchange_;  // the card's last callback
  bool any_exchange_ = false;
  Backlog backlog_;
  // The hand-over: when the last callback was expected (its phase, followed slowly when late),
  // how many samples it took, the margin, and since when no callback ran short.
  std::chrono::steady_clock::time_point expected_;
  std::size_t last_count_ = 0;
  std::chrono::microseconds margin_ = kBaseMargin;
  std::chrono::steady_clock::time_point clean_since_;
  std::chrono::steady_clock::time_point last_read_;  // when the thread last took a frame
  TimePoint waited_write_;  // the last write since the callback that waited for its hand-over
  bool written_ = false;    // the voice thread wrote since the last stall
  bool writing_ = false;    // the voice thread wrote since the card started or stalled
  std::size_t owed_ = 0;    // samples a late thread's next writes drop (played as silence)
  bool paid_ = false;       // a write was dropped for them since the last callback
};

}  // namespace talmeris::voice
