// The voice layer: voice over the server session's voice channel, Opus (its low-delay coding)
// at about 40 kbit/s in 10 ms frames, speexdsp for echo cancellation, noise suppression and
// automatic record volume, voice activation, and a jitter buffer per remote talker. One thread
// per connected client runs everything at the microphone's pace (voice_client.cpp); the
// handler's messages come from it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "state/voice_port.h"
#include "voice/audio_device_port.h"
#include "voice/audio_setup_file.h"

namespace talmeris::voice {

struct VoiceOptions {
  // Opus's low-delay coding (CELT only) rather than its voice coding (SILK): 2.5 ms of look-ahead
  // against 6.5, so what is said is heard 4 ms sooner. bench/codec_bench, against the voice
  // coding at 48000 with its forward error correction: a quarter of the time to encode a frame
  // (8 to 10 against 30 to 40 us), and closer to what was said: 100 against 93 % heard as
  // spoken (segmental SNR 17 against 9 dB), 96 against 92 with 5 % of packets lost and 88
  // against 89 with 15 %. It carries no forward error correction; its loss concealment does as
  // well by these measures.
  bool opus_low_delay = true;
  // bench/codec_bench: the low-delay coding at 40000 (37.5 kbit/s used on speech) comes through
  // as at 48000 and above, at 32000 a point less with loss, at 24000 clearly less.
  int opus_bitrate = 40000;
  // What the voice coding's forward error correction is sized for. bench/codec_bench at 48000,
  // three runs: sized for 5 %, 1 to 2 points more of the speech came through as spoken than
  // sized for 10 % with none or 5 % of the packets lost (93 against 92), and as much with 15 %
  // (about 90).
  int expected_loss_percent = 5;
  // bench/codec_bench, the low-delay coding at 40000: 0 encodes in the least time (8 against 12
  // to 31 us) and comes through as well as any with loss (88 % heard as spoken with 15 % lost;
  // 85 from 5 up), its segmental SNR at most 1.6 dB lower. voice_bench's echo case lets the far
  // talker back for a second or two now and then at any setting tried: the canceller's doing
  // (its timing), not the encoder's.
  int opus_complexity = 0;
  std::string thread_name = "voice";  // as `top -H` shows the voice thread (15 bytes at most)
};

class OpusVoiceSystem final : public VoiceSystem {
 public:
  // `setup_file` records that the audio setup ran, and what it chose; `windows` shows the setup
  // dialog.
  OpusVoiceSystem(AudioBackend& audio, std::filesystem::path setup_file, WindowPort* windows,
                  VoiceOptions options = {});
  ~OpusVoiceSystem() override;

  net::HRESULT CreateVoiceClient(std::unique_ptr<VoiceClient>* client) override;
  net::HRESULT CreateVoiceTest(std::unique_ptr<VoiceTest>* test) override;
  std::vector<std::string> CaptureDevices() override;
  std::vector<std::string> PlaybackDevices() override;
  AudioSetup CurrentSetup() override;
  bool StartMonitor(const AudioSetup& setup, bool hear_back) override;
  float MonitorLevel(bool* open) override;
  void StopMonitor() override;
  bool SaveSetup(const AudioSetup& setup) override;

  // For the engine's parts.
  AudioBackend& audio() { return audio_; }
  const std::filesystem::path& setup_file() const { return setup_file_; }
  WindowPort* windows() { return windows_; }
  const VoiceOptions& options() const { return options_; }
  void SetThreadName(const std::string& name) { options_.thread_name = name; }

 private:
  struct Monitor;
  AudioBackend& audio_;
  std::filesystem::path setup_file_;
  WindowPort* windows_;
  VoiceOptions options_;
  std::unique_ptr<Monitor> monitor_;
};

}  // namespace talmeris::voice
