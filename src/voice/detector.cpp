#include "voice/detector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "voice/audio_device_port.h"

namespace talmeris::voice {

float FrameLevelDb(const std::int16_t* samples, int count) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  const double rms = count > 0 ? std::sqrt(sum / count) / 32768.0 : 0.0;
  return rms > 1.585e-5 ? static_cast<float>(20.0 * std::log10(rms)) : -96.0f;
}

bool VoiceDetector::Update(float level_db) {
  above_ = level_db > open_db_ ? above_ + 1 : 0;
  if (!open_) {
    if (above_ >= attack_) {
      open_ = true;
      quiet_ = 0;
    }
  } else if (level_db > close_db_) {
    quiet_ = 0;
  } else if (++quiet_ > hold_) {
    open_ = false;
    above_ = 0;
  }
  return open_;
}

}  // namespace talmeris::voice
