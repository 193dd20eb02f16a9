#include "measure/sine_dwell.h"

#include <cmath>
#include <limits>

namespace vdsim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kRatioTimes[2] = {1.00, 1.75};  // s after COS
constexpr double kDisplacementTime = 1.07;       // s after BOS

// The fraction of the way from a to b at which time t lies, when a step from
// a to b passes it; -1 when it does not.
double passing(const MeasuredState& a, const MeasuredState& b, double t) {
  if (!(a.time < t && t <= b.time)) return -1.0;
  return (t - a.time) / (b.time - a.time);
}

double between(double a, double b, double fraction) { return a + fraction * (b - a); }

}  // namespace

void SineDwellMeter::begin(const Event& e) {
  sign_ = e.amplitude < 0.0f ? -1.0 : 1.0;
  halfPeriod_ = 1.0 / (2.0 * double(e.frequency));
  steerTime_ = 1.0 / double(e.frequency) + double(e.dwell);
  entered_ = false;
  peak_ = peakTime_ = yawAt100_ = yawAt175_ = displacement_ = kNaN;
}

void SineDwellMeter::step(const StepView& v) {
  if (!v.event.reached) return;
  const MeasuredState &a = v.before, &b = v.after;
  if (v.entered) {
    entered_ = true;
    bos_ = a.time;
    cos_ = bos_ + steerTime_;
    x0_ = a.x;
    y0_ = a.y;
    const double heading = anglesOf(a.attitude).yaw;
    rightX_ = -std::sin(heading);
    rightY_ = std::cos(heading);
  }
  if (b.time >= bos_ + halfPeriod_) {
    const double second = -sign_ * b.yawRate;
    if (second > 0.0 && (std::isnan(peak_) || second > peak_)) {
      peak_ = second;
      peakTime_ = b.time;
    }
  }
  double f = passing(a, b, cos_ + kRatioTimes[0]);
  if (f >= 0.0) yawAt100_ = between(a.yawRate, b.yawRate, f);
  f = passing(a, b, cos_ + kRatioTimes[1]);
  if (f >= 0.0) yawAt175_ = between(a.yawRate, b.yawRate, f);
  f = passing(a, b, bos_ + kDisplacementTime);
  if (f >= 0.0) {
    const double x = between(a.x, b.x, f) - x0_, y = between(a.y, b.y, f) - y0_;
    displacement_ = sign_ * (x * rightX_ + y * rightY_);
  }
}

void SineDwellMeter::finish(EventMetrics& m) const {
  static const char* const kKeys[] = {"steer_begin_s",
                                      "steer_complete_s",
                                      "yaw_rate_peak_radps",
                                      "yaw_rate_peak_s",
                                      "yaw_rate_ratio_at_1_00_s_pct",
                                      "yaw_rate_ratio_at_1_75_s_pct",
                                      "lateral_displacement_at_1_07_s_m"};
  if (!entered_) {
    for (const char* key : kKeys) m.none(key, "the entry speed was never reached");
    return;
  }
  m.set("steer_begin_s", float(bos_));
  m.set("steer_complete_s", cos_);
  const char* noPeak = "the yaw rate never turned to the second lobe's side";
  m.set("yaw_rate_peak_radps", float(-sign_ * peak_), noPeak);
  m.set("yaw_rate_peak_s", float(peakTime_), noPeak);
  const char* early = "the event ended before that time";
  const char* why = std::isnan(peak_) ? noPeak : early;
  m.set("yaw_rate_ratio_at_1_00_s_pct", yawAt100_ / (-sign_ * peak_) * 100.0, why);
  m.set("yaw_rate_ratio_at_1_75_s_pct", yawAt175_ / (-sign_ * peak_) * 100.0, why);
  m.set("lateral_displacement_at_1_07_s_m", displacement_, early);
}

}  // namespace vdsim
