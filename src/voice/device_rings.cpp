#include "voice/device_rings.h"

#include <algorithm>

namespace talmeris::voice {

namespace {

std::chrono::microseconds Duration(std::size_t samples) {
  return std::chrono::microseconds(static_cast<std::int64_t>(samples) * 1000000 / kSampleRate);
}

// `at` as a test gives it, else now.
std::chrono::steady_clock::time_point Now(std::chrono::steady_clock::time_point at) {
  return at == std::chrono::steady_clock::time_point{} ? std::chrono::steady_clock::now() : at;
}

}  // namespace

void DeviceRings::Exchange(const std::int16_t* in, std::int16_t* out, std::size_t count, bool xrun,
                           std::chrono::steady_clock::time_point at) {
  {
    std::lock_guard lock(mutex_);
    largest_period_ = std::max(largest_period_, count);
    const auto now = Now(at);
    // The callbacks' phase: a callback earlier than expected sets it; a later one (the card's
    // clock slower, or this thread let run late) moves it a sixteenth of the way.
    const auto expected = expected_ + Duration(last_count_);
    if (!any_exchange_ || xrun || now < expected || now - expected > 2 * Duration(count)) {
      expected_ = now;
    } else {
      expected_ = expected + (now - expected) / 16;
    }
    last_count_ = count;
    if (xrun) {
      if (const std::size_t keep = count + kFrameSamples; playback_.size > keep) {
        playback_.Drop(playback_.size - keep);  // the oldest: the delay the stall added
      }
      // The time the card stood still is time that passed for the voice thread too, as if its
      // capture had been overwritten: the talkers then move on by it instead of playing late.
      if (any_exchange_) {
        const auto gap =
            std::chrono::duration_cast<std::chrono::microseconds>(now - last_exchange_);
        const auto missed = static_cast<std::size_t>(gap.count()) * kSampleRate / 1000000;
        if (missed > 2 * count) capture_lost_ += std::min(missed - count, kCapacity);
      }
    }
    if (xrun || !any_exchange_) {  // the card stalled, not the voice thread
      written_ = writing_ = false;
      waited_write_ = TimePoint{};
      owed_ = 0;
    }
    last_exchange_ = now;
    any_exchange_ = true;
    const std::size_t got = playback_.Pop(out, count);
    std::fill(out + got, out + count, std::int16_t{0});
    // What was lacking played as silence in its time: that much of what the thread writes next
    // is dropped, so what follows plays at the delay it had, not later by the gap. Unless the
    // thread already dropped a write for this and still came short: it is behind for good, and
    // the delay grows by the gap instead (owing on would silence it).
    if (got < count && writing_) owed_ = paid_ ? 0 : std::min(owed_ + (count - got), kCapacity);
    paid_ = false;
    // Ran short though the voice thread is writing: it handed over too late, so it gets more
    // time. Once until it writes again: a stalled thread counts once.
    if (got < count && written_) {
      margin_ = std::min<std::chrono::microseconds>(margin_ + kMarginStep, Duration(count));
      written_ = false;
      clean_since_ = now;
    } else if (const auto slack =
                   std::chrono::duration_cast<std::chrono::microseconds>(now - waited_write_);
               waited_write_ != TimePoint{} && slack < kBaseMargin / 2) {
      // The last write came in time, narrowly: the thread woke late from its wait. The margin
      // grows so that such a wake-up leaves the base to spare. Measured against this callback,
      // not the one expected: when the whole machine stood still, the callback came late as
      // well and the write was in time.
      margin_ = std::min<std::chrono::microseconds>(margin_ + kBaseMargin - slack, Duration(count));
      clean_since_ = now;
    } else if (now - clean_since_ > kCleanWhile) {
      // Half the widening goes after each clean while, so a margin widened by one hiccup is
      // back near the base within seconds rather than minutes.
      margin_ =
          std::max(margin_ - std::max((margin_ - kBaseMargin) / 2, kMarginStep / 4), kBaseMargin);
      clean_since_ = now;
    }
    waited_write_ = TimePoint{};
    if (in) {
      capture_lost_ += capture_.Push(in, count);
      played_.Push(out, count);  // overflows just as the capture does
    }
  }
  captured_.notify_one();
}

int DeviceRings::ReadCapture(std::int16_t* frame, std::int16_t* played,
                             std::chrono::microseconds timeout, bool* late,
                             std::chrono::steady_clock::time_point at) {
  std::unique_lock lock(mutex_);
  if (!captured_.wait_for(lock, timeout, [&] { return capture_.size >= kFrameSamples; })) return 0;
  last_read_ = Now(at);
  const std::size_t waiting = capture_.size / kFrameSamples;
  const std::size_t keep = std::max<std::size_t>(
      kCaptureBacklogFrames, 2 * ((largest_period_ + kFrameSamples - 1) / kFrameSamples));
  std::size_t skipped = 0;
  if (late) *late = waiting > keep;
  if (waiting > keep && !late) {
    skipped = waiting - keep;
    capture_.Drop(skipped * kFrameSamples);
    played_.Drop(skipped * kFrameSamples);
  }
  // What the full ring overwrote is time that passed as well.
  skipped += capture_lost_ / kFrameSamples;
  // The thread moves on by the frames it skips: no silence played meanwhile is owed.
  if (skipped > 0 || (late && *late)) owed_ = 0;
  capture_lost_ %= kFrameSamples;
  capture_.Pop(frame, kFrameSamples);
  std::int16_t discard[kFrameSamples];
  played_.Pop(played ? played : discard, kFrameSamples);
  return 1 + static_cast<int>(std::min<std::size_t>(skipped, 1000));
}

std::chrono::steady_clock::time_point DeviceRings::Due() const {
  const auto period = Duration(last_count_);
  return expected_ + period - std::min<std::chrono::microseconds>(margin_, period);
}

std::chrono::steady_clock::time_point DeviceRings::PlaybackDue() {
  std::lock_guard lock(mutex_);
  return any_exchange_ ? Due() : std::chrono::steady_clock::now();
}

void DeviceRings::WritePlayback(const std::int16_t* frame, TimePoint at) {
  const auto now = Now(at);
  std::lock_guard lock(mutex_);
  written_ = writing_ = true;
  // Whether a write that waited for its hand-over came in time, the callback that takes it
  // tells (see Exchange). A write that waited on a capture read after the hand-over was due (the
  // card's callback came late, or the thread woke late to it) does not count: it could not have
  // come sooner, and a wider margin would only delay every other hand-over.
  waited_write_ = any_exchange_ && last_read_ <= Due() ? now : TimePoint{};
  if (owed_ > 0) {
    const std::size_t skip = std::min<std::size_t>(owed_, kFrameSamples);
    owed_ -= skip;
    paid_ = true;
    playback_.Push(frame + skip, kFrameSamples - skip);
    return;
  }
  const int depth = static_cast<int>(playback_.size / kFrameSamples);
  backlog_.Note(depth);
  if (depth == 0) {
    playback_.Push(frame, kFrameSamples);
    return;
  }
  const bool quiet = FrameLevelDb(frame, kFrameSamples) < kPauseDb;
  const int drop = std::min(backlog_.Shed(quiet), depth);
  if (drop == 1 && quiet) return;  // a pause is one frame shorter
  // Otherwise the oldest go: one jump in what is heard.
  playback_.Drop(static_cast<std::size_t>(drop) * kFrameSamples);
  playback_.Push(frame, kFrameSamples);
}

}  // namespace talmeris::voice
