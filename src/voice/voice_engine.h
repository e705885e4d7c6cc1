// The voice layer: voice over the server session's voice channel, Opus at about 40 kbit/s in
// 10 ms frames, speexdsp for echo cancellation, noise suppression and automatic record volume,
// voice activation, and a jitter buffer per remote talker. One thread per connected client runs
// everything at the microphone's pace (voice_client.cpp); the handler's messages come from it.
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
  // With the forward error correction's share. bench/codec_bench: at 32000 the coarser copy
  // took so much that 84 % of speech came through as spoken with no loss; at 48000 (about 38
  // kbit/s used on speech) 91 %, and 89 % with 15 % of packets lost.
  int opus_bitrate = 48000;
  int expected_loss_percent = 10;  // what the forward error correction is sized for
  // bench/codec_bench: 3 costs a fifth less a frame than 5 and comes as close to what was said;
  // 1 costs half but comes about half a decibel further. (Two early voice_bench runs with 3 let
  // the echo through for two seconds; 38 runs since, alone, under load and in the whole bench,
  // did not. The complexity only changes what the canceller's output is coded to, so their
  // timing, not the coding, is the likelier cause.)
  int opus_complexity = 3;
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
