// Quasi-steady cornering (SteerRamp), step by step from the event's entry.
//
// A step is within the radius when its radius driven R = v^2 / a_y (the
// state after the step) is within 5 % of the target radius of its update,
// |R / R_target - 1| <= 0.05; it is quasi-steady when also
// 0.1 g <= |a_y| <= 0.4 g. Over the quasi-steady steps, least-squares
// slopes against a_y / g:
//   understeer gradient  delta - L / R  (mean front road-wheel angle less the
//                        Ackermann angle, L the wheelbase; deg/g)
//   roll gradient        -roll (towards the outside of the turn; deg/g)
//   sideslip gradient    sideslip (deg/g, signed as a_y)
// with the |a_y| range fitted and the number of steps; the median radius
// driven over them; and the a_y of largest magnitude while the radius stays
// within 5 % (from the first step within it to the first step after that is
// not). Memory: running sums, and for the median the radius of every
// quasi-steady step (8 bytes a step, at most kMaxRadii).
#pragma once

#include <cstddef>
#include <vector>

#include "measure/event_metrics.h"
#include "measure/line_fit.h"
#include "measure/step_view.h"

namespace vdsim {

class CorneringMeter {
 public:
  static constexpr std::size_t kMaxRadii = std::size_t(1) << 23;      ///< median's limit (steps)
  static constexpr std::size_t kReserveRadii = std::size_t(1) << 20;  ///< reserved at most at once

  explicit CorneringMeter(double wheelbase) : wheelbase_(wheelbase) {}
  void begin(const Event& event, float timeStep);
  void step(const StepView& view);
  void finish(EventMetrics& metrics);

 private:
  enum class Stretch { Before, Within, After };

  double wheelbase_;  // m
  LineFit understeer_, roll_, sideslip_;
  double fitFrom_ = 0.0, fitTo_ = 0.0;  // |a_y| range of the quasi-steady steps (g)
  std::vector<double> radii_;           // radius driven of each quasi-steady step (m)
  bool radiiCut_ = false;               // more than kMaxRadii of them
  Stretch stretch_ = Stretch::Before;
  double limit_ = 0.0;  // a_y of largest magnitude within the radius (m/s^2)
};

}  // namespace vdsim
