// The audio device port: one capture and one playback stream, 48 kHz mono, 10 ms frames. The
// voice thread waits on the capture side, so the microphone's clock paces sending and playing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace talmeris::voice {

constexpr int kSampleRate = 48000;
constexpr int kFrameSamples = 480;  // 10 ms
constexpr auto kFrameDuration = std::chrono::milliseconds(10);

class AudioDevice {
 public:
  virtual ~AudioDevice() = default;
  // Waits up to `timeout` for the next captured frame: 0 when none came, else the frames of time
  // it stands for (more than 1 when the reader fell behind and older frames were skipped).
  // `played` (when not null) gets what the device played while that frame was captured: the
  // reference an echo of the speakers in the microphone follows at a fixed delay.
  // With `late` (not null), frames the reader is too late for are not skipped but handed out
  // one by one with `*late` set: too old to send or play, they only keep an echo canceller's
  // view of the microphone and the speakers whole.
  virtual int ReadCapture(std::int16_t* frame, std::int16_t* played,
                          std::chrono::microseconds timeout, bool* late) = 0;
  // Queues one frame for playback.
  virtual void WritePlayback(const std::int16_t* frame) = 0;
  // When to queue what the card's next callback plays: just before it is due, less a margin
  // the device keeps. What is written sooner waits in the device; what is written later is
  // not there in time.
  virtual std::chrono::steady_clock::time_point PlaybackDue() = 0;
};

// Opens devices by name ("" = the default). The only virtual class of the audio side besides
// the device itself.
class AudioBackend {
 public:
  virtual ~AudioBackend() = default;
  virtual std::vector<std::string> CaptureDevices() = 0;
  virtual std::vector<std::string> PlaybackDevices() = 0;
  virtual std::unique_ptr<AudioDevice> Open(const std::string& capture,
                                            const std::string& playback) = 0;
};

// A device that exists only in memory and behaves like a sound card: a timer thread calls its
// callback every period on the steady clock, which captures what was spoken into it (silence
// when nothing is) and plays what the voice thread queued, through the same rings as a real
// card. It can add an output latency, feed what it plays back into its microphone (an echo),
// stall its callback, or stall the voice thread reading it. Serves the tests, and machines
// without sound hardware.
class MemoryAudio final : public AudioBackend {
 public:
  struct Played {
    std::chrono::steady_clock::time_point at;  // when its first sample reaches the ear
    std::vector<std::int16_t> samples;         // one period
  };

  std::vector<std::string> CaptureDevices() override { return {"Memory"}; }
  std::vector<std::string> PlaybackDevices() override { return {"Memory"}; }
  std::unique_ptr<AudioDevice> Open(const std::string& capture,
                                    const std::string& playback) override;

  // Queues samples to be captured, after what is still queued.
  void Speak(const std::vector<std::int16_t>& samples);
  // Samples spoken and not yet captured.
  std::size_t Pending();
  // Everything played so far (all frames, in order) and the time each frame was written.
  std::vector<Played> PlayedFrames();
  // The times at which each captured frame was handed out, with the index of its first sample
  // in the spoken stream (-1 for silence).
  struct Captured {
    std::chrono::steady_clock::time_point at;
    std::int64_t first_sample;
  };
  std::vector<Captured> CapturedFrames();
  void ClearRecords();
  bool Opened();
  // When false, Open fails as a machine without any device does.
  bool available = true;
  // Tests: keep what was captured and played (the last 60 s at most).
  bool keep_records = false;
  // Set before Open. The callback's period (samples), and the output latency it adds before
  // what it plays is heard.
  int period_samples = kFrameSamples;
  std::chrono::microseconds output_latency{0};
  // What is played comes back into the microphone this much later and this much weaker.
  std::chrono::microseconds echo_delay{0};
  float echo_gain = 0.0f;
  // The next callback comes `d` late (a card's stall), or the next read from the voice thread
  // returns `d` late (a stalled voice thread).
  void StallCallback(std::chrono::microseconds d);
  void StallReader(std::chrono::microseconds d);

 private:
  friend class MemoryDevice;
  std::mutex mutex_;
  std::deque<std::int16_t> speech_;
  std::int64_t spoken_total_ = 0;    // samples ever queued
  std::int64_t captured_total_ = 0;  // samples of speech ever captured
  std::vector<Played> played_;
  std::vector<Captured> captured_;
  int open_count_ = 0;
  std::chrono::microseconds callback_stall_{0}, reader_stall_{0};
};

// PortAudio devices; the backend initialises PortAudio once and keeps ALSA and JACK quiet.
std::unique_ptr<AudioBackend> CreatePortAudioBackend();

}  // namespace talmeris::voice
