// Acceleration time of a TargetSpeed that starts more than 2 m/s below its
// target: from the first crossing of the start speed (1 m/s, or the speed at
// the event's first update + 0.5 m/s when that is higher) to the first
// crossing of 90 % of the target, each interpolated linearly between two
// consecutive states. None when 90 % of the target is not above the start
// speed (it is crossed first). Memory: two crossing times.
#pragma once

#include "measure/event_metrics.h"
#include "measure/step_view.h"

namespace vdsim {

class AccelerationMeter {
 public:
  void begin(const Event& event, const MeasuredState& start);
  void step(const StepView& view);
  void finish(EventMetrics& metrics) const;

 private:
  bool applies_ = false;   // starts more than 2 m/s below the target
  double from_ = 0.0;      // start speed (m/s)
  double to_ = 0.0;        // 90 % of the target (m/s)
  double fromTime_ = 0.0;  // first crossing of from_; NaN until then (s)
  double toTime_ = 0.0;    // first crossing of to_; NaN until then (s)
};

}  // namespace vdsim
