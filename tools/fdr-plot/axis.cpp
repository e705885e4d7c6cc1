#include "axis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace talmeris::fdrplot {

std::vector<Tick> AxisTicks(double lo, double hi, int wanted, double min_step) {
  std::vector<Tick> ticks;
  if (!std::isfinite(lo) || !std::isfinite(hi) || !(hi > lo) || wanted < 1) return ticks;
  const double raw = (hi - lo) / wanted;
  if (!std::isfinite(raw) || raw <= 0) return ticks;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * magnitude;
  step = std::max(step, min_step);
  if (!std::isfinite(step) || step <= 0) return ticks;
  const double first = std::ceil(lo / step);
  const double largest = std::max(std::fabs(lo), std::fabs(hi));
  // Fixed decimals while the numbers stay short, else the exponent form with as many
  // significant digits as the step needs.
  const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
  const bool fixed = largest < 1e7 && decimals <= 6;
  const int significant =
      std::clamp(static_cast<int>(std::ceil(std::log10(largest / step) + 1e-9)) + 1, 1, 15);
  for (int i = 0; i <= wanted * 3; ++i) {
    double v = (first + i) * step;
    if (v > hi + step * 1e-9) break;
    if (std::fabs(v) < step * 1e-9) v = 0;  // no "-0"
    char text[32];
    if (fixed) {
      std::snprintf(text, sizeof text, "%.*f", decimals, v);
    } else {
      std::snprintf(text, sizeof text, "%.*g", significant, v);
    }
    ticks.push_back({v, text});
  }
  return ticks;
}

}  // namespace talmeris::fdrplot
