// The in-memory sound card: a timer thread per open device calls the rings' callback every
// period. MemoryAudio's mutex guards what was spoken, the records and the stalls; the device's
// rings have their own (taken after it, never the other way round).
#include <algorithm>
#include <cmath>
#include <thread>

#include "voice/audio_device_port.h"
#include "voice/device_rings.h"

namespace talmeris::voice {

constexpr std::size_t kMaxRecords = 6000;  // 60 s of 10 ms periods
constexpr std::size_t kEchoHistory = kSampleRate;

class MemoryDevice final : public AudioDevice {
 public:
  explicit MemoryDevice(MemoryAudio& audio)
      : audio_(audio),
        period_(static_cast<std::size_t>(std::clamp(audio.period_samples, 48, 4800))),
        latency_(audio.output_latency),
        echo_samples_(static_cast<std::int64_t>((audio.output_latency + audio.echo_delay).count() *
                                                kSampleRate / 1000000)),
        echo_gain_(audio.echo_gain),
        played_(kEchoHistory, 0),
        timer_(&MemoryDevice::Run, this) {}
  ~MemoryDevice() override {
    {
      std::lock_guard lock(stop_mutex_);
      stop_ = true;
    }
    stop_cv_.notify_one();
    timer_.join();
    std::lock_guard lock(audio_.mutex_);
    --audio_.open_count_;
  }

  int ReadCapture(std::int16_t* frame, std::int16_t* played, std::chrono::microseconds timeout,
                  bool* late) override {
    std::chrono::microseconds stall{0};
    {
      std::lock_guard lock(audio_.mutex_);
      std::swap(stall, audio_.reader_stall_);
    }
    if (stall.count() > 0) std::this_thread::sleep_for(stall);
    return rings_.ReadCapture(frame, played, timeout, late);
  }
  void WritePlayback(const std::int16_t* frame) override { rings_.WritePlayback(frame); }
  std::chrono::steady_clock::time_point PlaybackDue() override { return rings_.PlaybackDue(); }

 private:
  void Run() {
    std::vector<std::int16_t> in(period_), out(period_);
    auto next = std::chrono::steady_clock::now();
    std::int64_t index = 0;  // of the first sample of this period, in both streams
    for (;;) {
      next += std::chrono::microseconds(static_cast<std::int64_t>(period_) * 1000000 / kSampleRate);
      {
        std::unique_lock lock(stop_mutex_);
        if (stop_cv_.wait_until(lock, next, [&] { return stop_; })) return;
      }
      std::chrono::microseconds stall{0};
      {
        std::lock_guard lock(audio_.mutex_);
        std::swap(stall, audio_.callback_stall_);
      }
      if (stall.count() > 0) {  // a card resumes on time after a stall, not in a burst
        std::this_thread::sleep_for(stall);
        next = std::chrono::steady_clock::now();
      }
      // Records carry the card's own clock: when this period was due, not when a busy machine
      // let the timer thread run. A real card keeps its time whatever the processor does.
      const auto now = next;
      Capture(in.data(), index, now);
      // A stall longer than what the card had queued ran it dry: it says so, as a card does.
      rings_.Exchange(in.data(), out.data(), period_, stall > latency_);
      for (std::size_t i = 0; i < period_; ++i)
        played_[static_cast<std::size_t>(index + static_cast<std::int64_t>(i)) % kEchoHistory] =
            out[i];
      std::lock_guard lock(audio_.mutex_);
      if (audio_.keep_records && audio_.played_.size() < kMaxRecords)
        audio_.played_.push_back({now + latency_, out});
      index += static_cast<std::int64_t>(period_);
    }
  }

  // One period from the mouth (and the echo of what was played), sample `index` onwards.
  void Capture(std::int16_t* in, std::int64_t index, std::chrono::steady_clock::time_point now) {
    std::lock_guard lock(audio_.mutex_);
    std::int64_t first = -1;
    for (std::size_t i = 0; i < period_; ++i) {
      float v = 0.0f;
      if (!audio_.speech_.empty()) {
        if (first < 0) first = audio_.captured_total_;
        v = audio_.speech_.front();
        audio_.speech_.pop_front();
        ++audio_.captured_total_;
      }
      const std::int64_t from = index + static_cast<std::int64_t>(i) - echo_samples_;
      // Only what was already played can come back (an echo sooner than a period is not).
      if (echo_gain_ != 0.0f && from >= 0 && from < index &&
          echo_samples_ < static_cast<std::int64_t>(kEchoHistory))
        v += echo_gain_ * played_[static_cast<std::size_t>(from) % kEchoHistory];
      in[i] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768l, 32767l));
    }
    if (audio_.keep_records && audio_.captured_.size() < kMaxRecords)
      audio_.captured_.push_back({now, first});
  }

  MemoryAudio& audio_;
  DeviceRings rings_;
  const std::size_t period_;
  const std::chrono::microseconds latency_;
  const std::int64_t echo_samples_;
  const float echo_gain_;
  std::vector<std::int16_t> played_;  // the timer thread only
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  bool stop_ = false;
  std::thread timer_;  // last: starts once the rest is built
};

std::unique_ptr<AudioDevice> MemoryAudio::Open(const std::string&, const std::string&) {
  {
    std::lock_guard lock(mutex_);
    if (!available) return nullptr;
    ++open_count_;
  }
  return std::make_unique<MemoryDevice>(*this);
}

void MemoryAudio::StallCallback(std::chrono::microseconds d) {
  std::lock_guard lock(mutex_);
  callback_stall_ = d;
}

void MemoryAudio::StallReader(std::chrono::microseconds d) {
  std::lock_guard lock(mutex_);
  reader_stall_ = d;
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
