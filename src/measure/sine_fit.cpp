#include "measure/sine_fit.h"

#include <cmath>

namespace vdsim {

void SineFit::add(double s, double c, double y) {
  ss += s * s;
  sc += s * c;
  cc += c * c;
  s1 += s;
  c1 += c;
  n += 1.0;
  ys += y * s;
  yc += y * c;
  y1 += y;
}

// The normal equations
//   | ss sc s1 | |a|   |ys|
//   | sc cc c1 | |b| = |yc|
//   | s1 c1 n  | |c|   |y1|
// solved by Cramer's rule.
bool SineFit::solve(double& a, double& b, double& c) const {
  auto det3 = [](double m00, double m01, double m02, double m10, double m11, double m12, double m20,
                 double m21, double m22) {
    return m00 * (m11 * m22 - m12 * m21) - m01 * (m10 * m22 - m12 * m20) +
           m02 * (m10 * m21 - m11 * m20);
  };
  const double d = det3(ss, sc, s1, sc, cc, c1, s1, c1, n);
  // Points at one phase leave the system singular but for rounding.
  if (n < 3.0 || !(std::fabs(d) > 1e-9 * n * n * n)) return false;
  a = det3(ys, sc, s1, yc, cc, c1, y1, c1, n) / d;
  b = det3(ss, ys, s1, sc, yc, c1, s1, y1, n) / d;
  c = det3(ss, sc, ys, sc, cc, yc, s1, c1, y1) / d;
  return true;
}

bool SineFit::amplitudeAndPhase(double& amplitude, double& phase) const {
  double a = 0.0, b = 0.0, c = 0.0;
  if (!solve(a, b, c)) return false;
  amplitude = std::hypot(a, b);
  phase = std::atan2(b, a);
  return true;
}

}  // namespace vdsim
