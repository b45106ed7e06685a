// Timing samples of the benches: a microsecond clock and the median with a
// spread (10th and 90th percentile, nearest rank).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bench {

inline double NowMicroseconds() noexcept {
  static const double ticksPerMicrosecond = [] {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e6;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / ticksPerMicrosecond;
}

struct Spread {
  double median = 0;
  double p10 = 0;
  double p90 = 0;
};

// The spread of values; all zero for none.
inline Spread SpreadOf(std::vector<double> values) {
  Spread spread;
  if (values.empty()) return spread;
  std::sort(values.begin(), values.end());
  const auto at = [&](double fraction) {
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5)];
  };
  spread.median = at(0.5);
  spread.p10 = at(0.1);
  spread.p90 = at(0.9);
  return spread;
}

}  // namespace bench
