// Steady sine (SineSteer): gain and phase of the yaw rate and the lateral
// acceleration against the road-wheel angle at the steer frequency.
//
// tau is the event's own clock since its entry, as its law uses it. Over the
// whole periods after the first (T <= tau < M T, T = 1/f, M the whole
// periods in cycles), least-squares fits y ~ a sin(w tau) + b cos(w tau) + c
// (w = 2 pi f) of
//   the road-wheel angle, at the tau of the update that writes it,
//   the yaw rate and the lateral acceleration, at the tau of the state after
//   the step (the tau the next update reads);
//   gain  = amplitude / road-wheel amplitude (rad/s per deg, g per deg)
//   phase = phase - road-wheel phase, in (-180, 180] deg (negative: lag).
// Memory: the running sums of three fits.
#pragma once

#include "measure/event_metrics.h"
#include "measure/sine_fit.h"
#include "measure/step_view.h"

namespace vdsim {

class SineSteerMeter {
 public:
  void begin(const Event& event);
  void step(const StepView& view);
  void finish(EventMetrics& metrics) const;

 private:
  double w_ = 0.0;                // rad/s
  double from_ = 0.0, to_ = 0.0;  // tau range fitted (s)
  double periods_ = 0.0;          // whole periods fitted
  double lastTau_ = 0.0;          // tau of the latest state; NaN before the entry (s)
  SineFit angle_, yaw_, lat_;
};

}  // namespace vdsim
