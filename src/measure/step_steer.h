// Step steer (StepSteer), after the step-steer test of ISO 7401. Signs are
// taken in the direction of the steer, so a step to the left measures as
// one to the right.
//
//   t50           the instant the steer command reaches half its final
//                 value, interpolated between two updates' commands
//   steady state  the mean over the states after the steps of the hold's
//                 last 1.0 s (tau >= rampTime + duration - 1.0) of the yaw
//                 rate, lateral acceleration, sideslip and road-wheel angle
//   response time from t50 to the first time the yaw rate (lateral
//                 acceleration) reaches 90 % of its steady state
//   peak          the highest yaw rate after the entry, its time less t50,
//                 and the overshoot (peak / steady state - 1) x 100 %
//   gains         steady yaw rate (rad/s) and lateral acceleration (g) per
//                 degree of steady road-wheel angle
//
// Memory: running sums, and the steps that raised the yaw rate's and the
// lateral acceleration's running maximum (the rise, see rise_trace.h): the
// 90 % level is known only once the steady state is.
#pragma once

#include "measure/event_metrics.h"
#include "measure/rise_trace.h"
#include "measure/step_view.h"

namespace vdsim {

class StepSteerMeter {
 public:
  void begin(const Event& event);
  void step(const StepView& view);
  void finish(EventMetrics& metrics, bool finished) const;

 private:
  double sign_ = 1.0;       // +1 for a step to the right, -1 to the left
  double half_ = 0.0;       // half the final steer command, times sign_ (-)
  double holdStart_ = 0.0;  // tau at which the hold begins (s)
  double holdFrom_ = 0.0;   // tau from which the steady state is averaged (s)
  bool entered_ = false;
  double t50_ = 0.0;     // NaN until found (s)
  RiseTrace yaw_, lat_;  // yaw rate, lateral acceleration, times sign_
  double n_ = 0.0;          // states averaged for the steady state
  double yawSum_ = 0.0;     // their yaw rates (rad/s)
  double latSum_ = 0.0;     // their lateral accelerations (m/s^2)
  double sideslipSum_ = 0.0, angleSum_ = 0.0;  // their sideslip and road-wheel angles (rad)
};

}  // namespace vdsim
