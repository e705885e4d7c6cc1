// The voice system: makes voice clients and the audio setup's test, and runs the setup dialog's
// monitor (the microphone's level, and the voice heard back through the codec). Its fields are
// the main thread's; the monitor's thread shares only atomics with it.
#include "voice/voice_engine.h"

#include <opus/opus.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

#include "voice/detector.h"
#include "voice/voice_client.h"
#include "voice/voice_encoder.h"
#include "voice/voice_wire.h"

namespace talmeris::voice {
namespace {

constexpr auto kCaptureWait = std::chrono::milliseconds(100);

class OpusVoiceTest final : public VoiceTest {
 public:
  explicit OpusVoiceTest(OpusVoiceSystem& system) : system_(system) {}
  net::HRESULT CheckAudioSetup(WindowId owner, std::uint32_t flags) override {
    if (flags & DVFLAGS_ALLOWBACK) {
      if (!system_.windows()) return DVERR_GENERIC;
      return system_.windows()->RunModalDialog(owner, kAudioSetupDialog) == 1 ? DV_OK
                                                                              : DVERR_USERCANCEL;
    }
    AudioSetup setup;
    return LoadAudioSetup(system_.setup_file(), &setup) ? DV_OK : DVERR_RUNSETUP;
  }

 private:
  OpusVoiceSystem& system_;
};

}  // namespace

// The setup dialog's monitor: the microphone's level, and the voice heard back through the
// codec when asked.
struct OpusVoiceSystem::Monitor {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<float> level{-96.0f};
  std::atomic<bool> open{false};

  void Run(std::unique_ptr<AudioDevice> device, AudioSetup setup, bool hear_back,
           VoiceOptions options) {
    FlushDenormals();
    VoiceEncoder encoder(options, /*echo_cancellation=*/false);
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(kSampleRate, 1, &error);
    VoiceDetector detector(setup.open_db, setup.close_db);
    std::array<std::int16_t, kFrameSamples> frame{};
    std::array<std::int16_t, kCodecSamples> conditioned{};
    std::array<std::uint8_t, kMaxOpusBytes> packet{};
    std::array<float, 10> recent;
    recent.fill(-96.0f);
    int n = 0;
    while (!stop.load()) {
      if (device->ReadCapture(frame.data(), nullptr, kCaptureWait, nullptr) == 0) continue;
      const float db = FrameLevelDb(frame.data(), kFrameSamples);
      recent[n++ % recent.size()] = db;
      level.store(*std::max_element(recent.begin(), recent.end()));
      open.store(detector.Update(db));
      if (hear_back && decoder) {
        encoder.Condition(frame.data(), nullptr, conditioned.data());
        encoder.Preprocess(conditioned.data());
        const std::uint32_t size = encoder.Encode(conditioned.data(), packet.data());
        if (size == 0 || opus_decode(decoder, packet.data(), static_cast<opus_int32>(size),
                                     frame.data(), kFrameSamples, 0) <= 0)
          frame.fill(0);
      } else {
        frame.fill(0);
      }
      device->WritePlayback(frame.data());
    }
    if (decoder) opus_decoder_destroy(decoder);
  }
};

OpusVoiceSystem::OpusVoiceSystem(AudioBackend& audio, std::filesystem::path setup_file,
                                 WindowPort* windows, VoiceOptions options)
    : audio_(audio), setup_file_(std::move(setup_file)), windows_(windows), options_(options) {}

OpusVoiceSystem::~OpusVoiceSystem() {
  StopMonitor();
}

net::HRESULT OpusVoiceSystem::CreateVoiceClient(std::unique_ptr<VoiceClient>* client) {
  *client = CreateOpusVoiceClient(*this);
  return DV_OK;
}

net::HRESULT OpusVoiceSystem::CreateVoiceTest(std::unique_ptr<VoiceTest>* test) {
  *test = std::make_unique<OpusVoiceTest>(*this);
  return DV_OK;
}

std::vector<std::string> OpusVoiceSystem::CaptureDevices() {
  return audio_.CaptureDevices();
}
std::vector<std::string> OpusVoiceSystem::PlaybackDevices() {
  return audio_.PlaybackDevices();
}

AudioSetup OpusVoiceSystem::CurrentSetup() {
  AudioSetup setup;
  LoadAudioSetup(setup_file_, &setup);
  return setup;
}

bool OpusVoiceSystem::StartMonitor(const AudioSetup& setup, bool hear_back) {
  StopMonitor();
  auto device = audio_.Open(setup.capture_device, setup.playback_device);
  if (!device) return false;
  monitor_ = std::make_unique<Monitor>();
  monitor_->thread =
      std::thread(&Monitor::Run, monitor_.get(), std::move(device), setup, hear_back, options_);
  return true;
}

float OpusVoiceSystem::MonitorLevel(bool* open) {
  if (!monitor_) {
    if (open) *open = false;
    return -96.0f;
  }
  if (open) *open = monitor_->open.load();
  return monitor_->level.load();
}

void OpusVoiceSystem::StopMonitor() {
  if (!monitor_) return;
  monitor_->stop.store(true);
  if (monitor_->thread.joinable()) monitor_->thread.join();
  monitor_.reset();
}

bool OpusVoiceSystem::SaveSetup(const AudioSetup& setup) {
  return SaveAudioSetup(setup_file_, setup);
}

}  // namespace talmeris::voice
