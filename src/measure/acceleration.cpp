#include "measure/acceleration.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vdsim {

namespace {

constexpr double kBelowTarget = 2.0;  // m/s below the target that make a launch
constexpr double kFromSpeed = 1.0;    // m/s: the timing starts here ...
constexpr double kFromMargin = 0.5;   // ... or this far above the first update's speed
constexpr double kToFraction = 0.9;   // ... and ends at this fraction of the target

// First crossing of level between two states, interpolated; NaN if none.
double crossing(const MeasuredState& a, const MeasuredState& b, double level) {
  if (!(a.speed < level && b.speed >= level)) return std::numeric_limits<double>::quiet_NaN();
  return a.time + (level - a.speed) / (double(b.speed) - a.speed) * (b.time - a.time);
}

}  // namespace

void AccelerationMeter::begin(const Event& e, const MeasuredState& start) {
  applies_ = start.speed < double(e.speed) - kBelowTarget;
  from_ = std::max(kFromSpeed, start.speed + kFromMargin);
  to_ = kToFraction * e.speed;
  fromTime_ = toTime_ = std::numeric_limits<double>::quiet_NaN();
}

void AccelerationMeter::step(const StepView& v) {
  if (!applies_) return;
  if (std::isnan(fromTime_)) fromTime_ = crossing(v.before, v.after, from_);
  if (std::isnan(toTime_)) toTime_ = crossing(v.before, v.after, to_);
}

void AccelerationMeter::finish(EventMetrics& m) const {
  if (!applies_) {
    const char* why = "the event starts less than 2 m/s below its target speed";
    for (const char* key : {"accel_from_mps", "accel_to_mps", "accel_time_s"}) m.none(key, why);
    return;
  }
  m.set("accel_from_mps", from_);
  m.set("accel_to_mps", to_);
  if (!(to_ > from_)) {
    m.none("accel_time_s", "90 % of the target speed is not above the start speed");
  } else if (std::isnan(toTime_)) {
    m.none("accel_time_s", "the speed never reached 90 % of the target speed");
  } else {
    m.set("accel_time_s", toTime_ - fromTime_);
  }
}

}  // namespace vdsim
