// The process-wide high-resolution stopwatch, in seconds as doubles.
#pragma once

#include <cstdint>
#include <mutex>

namespace talmeris {

class Stopwatch {
 public:
  // A counter source: ticks and their frequency. Tests drive the watch with their own.
  using CounterFn = std::int64_t (*)(void* context);

  Stopwatch();  // std::chrono::steady_clock in nanoseconds
  Stopwatch(CounterFn counter, void* context, std::int64_t ticks_per_second);

  // Replaces the counter source (tests); the watch is stopped again.
  void UseCounter(CounterFn counter, void* context, std::int64_t ticks_per_second);

  void Start();
  void Reset();
  double Time() const;  // seconds since start or the last reset
  double Elapsed();     // seconds since the previous start, reset or elapsed(); never below 0

 private:
  std::int64_t NowLocked() const { return stop_time_ != 0 ? stop_time_ : counter_(context_); }

  CounterFn counter_;
  void* context_;
  std::int64_t ticks_per_second_;
  mutable std::mutex mutex_;  // time() and elapsed() run on the main and the callback threads
  bool stopped_ = true;
  std::int64_t stop_time_ = 0;
  std::int64_t last_elapsed_time_ = 0;
  std::int64_t base_time_ = 0;
};

}  // namespace talmeris
