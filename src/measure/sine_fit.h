// A least-squares sine of known angular frequency w through points given one
// at a time, from the running sums of its normal equations (no points are
// kept):
//   y ~ a sin(w t) + b cos(w t) + c = R sin(w t + phase) + c,
//   R = sqrt(a^2 + b^2),  phase = atan2(b, a)
// The caller passes sin(w t) and cos(w t) with each point.
#pragma once

namespace vdsim {

struct SineFit {
  // Sums over the points of the basis products and of y times each basis.
  double ss = 0.0, sc = 0.0, cc = 0.0, s1 = 0.0, c1 = 0.0, n = 0.0;
  double ys = 0.0, yc = 0.0, y1 = 0.0;

  void add(double sinWt, double cosWt, double y);

  // a, b, c of the fit; false when the points do not determine them (fewer
  // than three, or all at one phase).
  bool solve(double& a, double& b, double& c) const;
  // R and phase (rad) of the fit; false as solve().
  bool amplitudeAndPhase(double& amplitude, double& phase) const;
};

}  // namespace vdsim
