// Brings 10 ms microphone frames from the card's 48 kHz down to the 16 kHz that speech is coded
// from. Owned by one thread (the voice thread or the setup monitor); no lock.
#pragma once

#include <cstdint>

#include "voice/audio_device_port.h"

struct SpeexResamplerState_;

namespace talmeris::voice {

// What is sent is coded from 16 kHz (wideband speech): the microphone is brought down to it
// first, so echo cancellation, noise suppression and the encoder handle a third of the samples.
constexpr int kCodecRate = 16000;
constexpr int kCodecSamples = kFrameSamples * kCodecRate / kSampleRate;  // 160

class Downsampler {
 public:
  Downsampler();
  ~Downsampler();
  Downsampler(const Downsampler&) = delete;
  Downsampler& operator=(const Downsampler&) = delete;
  // One frame of kFrameSamples in, kCodecSamples out.
  void Run(const std::int16_t* in, std::int16_t* out);

 private:
  SpeexResamplerState_* state_ = nullptr;
};

}  // namespace talmeris::voice
