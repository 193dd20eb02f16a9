// Sine with dwell (SineDwell). Signs are taken so that the first lobe turns
// to the right.
//
//   BOS    beginning of steer: the time of the state the entry update reads
//   COS    completion of steer: BOS + 1/f + dwell
//   peak   the yaw rate of largest magnitude with the second lobe's sign
//          after BOS + 1/(2f)
//   ratios the yaw rate at COS + 1.00 s and at COS + 1.75 s over the peak (%)
//   lateral displacement  of the centre of mass at BOS + 1.07 s from its
//          place at BOS, perpendicular to the heading at BOS, positive
//          towards the first lobe's turn (m)
// The yaw rates and the position at those instants are interpolated between
// the two states around them. Memory: a handful of values.
#pragma once

#include "measure/event_metrics.h"
#include "measure/step_view.h"

namespace vdsim {

class SineDwellMeter {
 public:
  void begin(const Event& event);
  void step(const StepView& view);
  void finish(EventMetrics& metrics) const;

 private:
  double sign_ = 1.0;                          // +1 when the first lobe turns right
  double halfPeriod_ = 0.0, steerTime_ = 0.0;  // 1/(2f), 1/f + dwell (s)
  bool entered_ = false;
  double bos_ = 0.0, cos_ = 0.0;        // s
  double x0_ = 0.0, y0_ = 0.0;          // CoM at BOS (m)
  double rightX_ = 0.0, rightY_ = 0.0;  // unit vector to the right of the heading at BOS
  // Second-lobe yaw rate of largest magnitude times -sign_ (rad/s) and its
  // time (s); NaN until one.
  double peak_ = 0.0, peakTime_ = 0.0;
  // Yaw rates at COS + 1.00 s and + 1.75 s (rad/s), lateral displacement (m);
  // NaN until passed.
  double yawAt100_ = 0.0, yawAt175_ = 0.0, displacement_ = 0.0;
};

}  // namespace vdsim
