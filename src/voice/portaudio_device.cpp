// PortAudio devices: one full-duplex stream per open device pair, 48 kHz mono, 10 ms buffers
// asked for (the callback takes whatever count the card gives). The callback only exchanges
// samples with the voice thread through the device rings, which keep the delay bounded.
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <portaudio.h>

#include <cstdarg>
#include <cstdlib>

#include "voice/audio_device_port.h"
#include "voice/device_rings.h"

namespace talmeris::voice {
namespace {

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}
void QuietJack(const char*) {}

class PortAudioDevice final : public AudioDevice {
 public:
  ~PortAudioDevice() override {
    if (stream_) {
      Pa_StopStream(stream_);
      Pa_CloseStream(stream_);
    }
  }

  bool Open(PaDeviceIndex in, PaDeviceIndex out) {
    PaStreamParameters input{}, output{};
    input.device = in;
    input.channelCount = 1;
    input.sampleFormat = paInt16;
    input.suggestedLatency = Pa_GetDeviceInfo(in)->defaultLowInputLatency;
    output.device = out;
    output.channelCount = 1;
    output.sampleFormat = paInt16;
    output.suggestedLatency = Pa_GetDeviceInfo(out)->defaultLowOutputLatency;
    if (Pa_OpenStream(&stream_, &input, &output, kSampleRate, kFrameSamples, paClipOff,
                      &PortAudioDevice::Callback, this) != paNoError) {
      stream_ = nullptr;
      return false;
    }
    return Pa_StartStream(stream_) == paNoError;
  }

  int ReadCapture(std::int16_t* frame, std::int16_t* played, std::chrono::microseconds timeout,
                  bool* late) override {
    return rings_.ReadCapture(frame, played, timeout, late);
  }
  void WritePlayback(const std::int16_t* frame) override { rings_.WritePlayback(frame); }
  std::chrono::steady_clock::time_point PlaybackDue() override { return rings_.PlaybackDue(); }

 private:
  static int Callback(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags,
                      void* self_ptr) {
    auto* self = static_cast<PortAudioDevice*>(self_ptr);
    // An underrun or overrun means the card (or this callback) stalled: its backlog goes at once.
    const bool xrun = flags & (paOutputUnderflow | paInputOverflow);
    self->rings_.Exchange(static_cast<const std::int16_t*>(input),
                          static_cast<std::int16_t*>(output), frames, xrun);
    return paContinue;
  }

  PaStream* stream_ = nullptr;
  DeviceRings rings_;
};

class PortAudioBackend final : public AudioBackend {
 public:
  PortAudioBackend() {
    // Without sound hardware ALSA and JACK print screens of complaints while PortAudio looks
    // for devices; none of them is news to the player.
    snd_lib_error_set_handler(&QuietAlsa);
    jack_set_error_function(&QuietJack);
    jack_set_info_function(&QuietJack);
    setenv("JACK_NO_START_SERVER", "1", 0);
    ok_ = Pa_Initialize() == paNoError;
  }
  ~PortAudioBackend() override {
    if (ok_) Pa_Terminate();
  }

  std::vector<std::string> CaptureDevices() override { return Names(true); }
  std::vector<std::string> PlaybackDevices() override { return Names(false); }

  std::unique_ptr<AudioDevice> Open(const std::string& capture,
                                    const std::string& playback) override {
    if (!ok_) return nullptr;
    const PaDeviceIndex in = Find(capture, true), out = Find(playback, false);
    if (in == paNoDevice || out == paNoDevice) return nullptr;
    auto device = std::make_unique<PortAudioDevice>();
    if (!device->Open(in, out)) return nullptr;
    return device;
  }

 private:
  std::vector<std::string> Names(bool input) {
    std::vector<std::string> names;
    if (!ok_) return names;
    for (PaDeviceIndex i = 0, n = Pa_GetDeviceCount(); i < n; ++i) {
      const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
      if (info && (input ? info->maxInputChannels : info->maxOutputChannels) > 0)
        names.emplace_back(info->name);
    }
    return names;
  }
  PaDeviceIndex Find(const std::string& name, bool input) {
    if (!name.empty()) {
      for (PaDeviceIndex i = 0, n = Pa_GetDeviceCount(); i < n; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info && name == info->name &&
            (input ? info->maxInputChannels : info->maxOutputChannels) > 0)
          return i;
      }
    }
    return input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
  }
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<AudioBackend> CreatePortAudioBackend() {
  return std::make_unique<PortAudioBackend>();
}

}  // namespace talmeris::voice
