// The process-wide pseudo-random generator: values 0 to 32767, the same sequence on every
// platform for the same seed.
#pragma once

#include <cstdint>
#include <mutex>

namespace talmeris {

class RandomGenerator {
 public:
  static constexpr int kMax = 32767;

  void Seed(std::uint32_t seed) {
    std::lock_guard lock(mutex_);
    state_ = seed;
  }
  int Next() {
    std::lock_guard lock(mutex_);
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7fff);
  }

 private:
  std::mutex mutex_;
  std::uint32_t state_ = 1;
};

}  // namespace talmeris
