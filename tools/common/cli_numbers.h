// The tools' command-line numbers: a whole value must be all digits (an optional sign first)
// and inside its range, a real value a whole decimal number; anything else is refused, so a
// typo never becomes 0.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace talmeris::cli {

inline bool WholeNumber(const char* text, long lo, long hi, long* out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

inline bool RealNumber(const char* text, double* out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

}  // namespace talmeris::cli
