// An axis's ticks: steps of 1, 2 or 5 times a power of ten chosen from the axis's range, each
// labelled with just enough digits to tell it from its neighbours, and short enough for the
// plot's margin however large the values are.
#pragma once

#include <string>
#include <vector>

namespace talmeris::fdrplot {

struct Tick {
  double value;
  std::string label;
};

// About `wanted` ticks inside [lo, hi]; steps never finer than `min_step` (1 for whole seconds).
// An empty or non-finite range gives no ticks.
std::vector<Tick> AxisTicks(double lo, double hi, int wanted, double min_step = 0);

}  // namespace talmeris::fdrplot
