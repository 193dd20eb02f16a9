// A least-squares straight line through points given one at a time, from
// running sums (no points are kept):
//   slope = (n Sxy - Sx Sy) / (n Sxx - Sx^2)
#pragma once

#include <cmath>
#include <limits>

namespace vdsim {

struct LineFit {
  static constexpr int kMinPoints = 3;  ///< fewer points give no slope

  double n = 0.0, sx = 0.0, sxx = 0.0, sy = 0.0, sxy = 0.0;

  void add(double x, double y) {
    n += 1.0;
    sx += x;
    sxx += x * x;
    sy += y;
    sxy += x * y;
  }

  // The slope dy/dx; NaN with fewer than kMinPoints points or no spread in x.
  double slope() const {
    const double spread = n * sxx - sx * sx;
    if (n < kMinPoints || !(spread > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    return (n * sxy - sx * sy) / spread;
  }
};

}  // namespace vdsim
