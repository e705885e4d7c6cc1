#include <algorithm>
#include <thread>

#include "voice/audio_device_port.h"

namespace talmeris::voice {

constexpr std::size_t kMaxRecords = 3000;  // 60 s of frames

class MemoryDevice final : public AudioDevice {
 public:
  explicit MemoryDevice(MemoryAudio& audio)
      : audio_(audio), start_(std::chrono::steady_clock::now()) {}
  ~MemoryDevice() override {
    std::lock_guard lock(audio_.mutex_);
    --audio_.open_count_;
  }

  bool ReadCapture(std::int16_t* frame, std::chrono::milliseconds timeout) override {
    const auto due = start_ + kFrameDuration * (frames_ + 1);
    const auto now = std::chrono::steady_clock::now();
    if (due - now > timeout) {
      std::this_thread::sleep_for(timeout);
      return false;
    }
    std::this_thread::sleep_until(due);
    ++frames_;
    std::lock_guard lock(audio_.mutex_);
    std::int64_t first = -1;
    for (int i = 0; i < kFrameSamples; ++i) {
      if (audio_.speech_.empty()) {
        frame[i] = 0;
        continue;
      }
      if (first < 0) first = audio_.captured_total_;
      frame[i] = audio_.speech_.front();
      audio_.speech_.pop_front();
      ++audio_.captured_total_;
    }
    if (audio_.keep_records && audio_.captured_.size() < kMaxRecords)
      audio_.captured_.push_back({std::chrono::steady_clock::now(), first});
    return true;
  }

  void WritePlayback(const std::int16_t* frame) override {
    std::lock_guard lock(audio_.mutex_);
    if (!audio_.keep_records || audio_.played_.size() >= kMaxRecords) return;
    audio_.played_.push_back({std::chrono::steady_clock::now(),
                              std::vector<std::int16_t>(frame, frame + kFrameSamples)});
  }

 private:
  MemoryAudio& audio_;
  std::chrono::steady_clock::time_point start_;
  std::int64_t frames_ = 0;
};

std::unique_ptr<AudioDevice> MemoryAudio::Open(const std::string&, const std::string&) {
  std::lock_guard lock(mutex_);
  if (!available) return nullptr;
  ++open_count_;
  return std::make_unique<MemoryDevice>(*this);
}

void MemoryAudio::Speak(const std::vector<std::int16_t>& samples) {
  std::lock_guard lock(mutex_);
  speech_.insert(speech_.end(), samples.begin(), samples.end());
  spoken_total_ += static_cast<std::int64_t>(samples.size());
}

std::size_t MemoryAudio::Pending() {
  std::lock_guard lock(mutex_);
  return speech_.size();
}

std::vector<MemoryAudio::Played> MemoryAudio::PlayedFrames() {
  std::lock_guard lock(mutex_);
  return played_;
}

std::vector<MemoryAudio::Captured> MemoryAudio::CapturedFrames() {
  std::lock_guard lock(mutex_);
  return captured_;
}

void MemoryAudio::ClearRecords() {
  std::lock_guard lock(mutex_);
  played_.clear();
  captured_.clear();
}

bool MemoryAudio::Opened() {
  std::lock_guard lock(mutex_);
  return open_count_ > 0;
}

}  // namespace talmeris::voice
