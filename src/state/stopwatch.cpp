#include "state/stopwatch.h"

#include <chrono>

namespace talmeris {
namespace {
std::int64_t SteadyNanoseconds(void*) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

Stopwatch::Stopwatch() : Stopwatch(&SteadyNanoseconds, nullptr, 1'000'000'000) {}

Stopwatch::Stopwatch(CounterFn counter, void* context, std::int64_t ticks_per_second)
    : counter_(counter), context_(context), ticks_per_second_(ticks_per_second) {}

void Stopwatch::UseCounter(CounterFn counter, void* context, std::int64_t ticks_per_second) {
  std::lock_guard lock(mutex_);
  counter_ = counter;
  context_ = context;
  ticks_per_second_ = ticks_per_second;
  stopped_ = true;
  stop_time_ = last_elapsed_time_ = base_time_ = 0;
}

void Stopwatch::Start() {
  std::lock_guard lock(mutex_);
  std::int64_t now = counter_(context_);
  if (stopped_) base_time_ += now - stop_time_;
  stop_time_ = 0;
  last_elapsed_time_ = now;
  stopped_ = false;
}

void Stopwatch::Reset() {
  std::lock_guard lock(mutex_);
  std::int64_t now = counter_(context_);
  base_time_ = last_elapsed_time_ = now;
  stop_time_ = 0;
  stopped_ = false;
}

double Stopwatch::Time() const {
  std::lock_guard lock(mutex_);
  return static_cast<double>(NowLocked() - base_time_) / static_cast<double>(ticks_per_second_);
}

double Stopwatch::Elapsed() {
  std::lock_guard lock(mutex_);
  std::int64_t now = NowLocked();
  double step =
      static_cast<double>(now - last_elapsed_time_) / static_cast<double>(ticks_per_second_);
  last_elapsed_time_ = now;
  return step < 0.0 ? 0.0 : step;
}

}  // namespace talmeris
