#include "voice/downsampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cstdlib>

namespace talmeris::voice {

Downsampler::Downsampler() {
  int error = 0;
  state_ = speex_resampler_init(1, kSampleRate, kCodecRate, 3, &error);
  if (!state_) std::abort();  // out of memory
  speex_resampler_skip_zeros(state_);
}

Downsampler::~Downsampler() {
  speex_resampler_destroy(state_);
}

void Downsampler::Run(const std::int16_t* in, std::int16_t* out) {
  spx_uint32_t in_count = kFrameSamples, out_count = kCodecSamples;
  speex_resampler_process_int(state_, 0, in, &in_count, out, &out_count);
  std::fill(out + out_count, out + kCodecSamples, std::int16_t{0});
}

}  // namespace talmeris::voice
