#include "measure/step_steer.h"

#include <cmath>
#include <limits>

namespace vdsim {

namespace {

constexpr double kDegToRad = 3.14159265358979323846 / 180.0;  // as the law's
constexpr double kSteadyTime = 1.0;     // s of the hold averaged for the steady state
constexpr double kResponseLevel = 0.9;  // of the steady state
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

void StepSteerMeter::begin(const Event& e) {
  sign_ = e.angle < 0.0f ? -1.0 : 1.0;
  // The command the law writes once the ramp is over (s = 1).
  const float final = float(((2.0 * double(e.angle)) * kDegToRad) * 1.0);
  half_ = 0.5 * sign_ * final;
  holdStart_ = e.rampTime;
  holdFrom_ = (double(e.rampTime) + double(e.duration)) - kSteadyTime;
  entered_ = false;
  t50_ = std::numeric_limits<double>::quiet_NaN();
  yaw_.clear();
  lat_.clear();
  n_ = yawSum_ = latSum_ = sideslipSum_ = angleSum_ = 0.0;
}

void StepSteerMeter::step(const StepView& v) {
  if (!v.event.reached) return;
  entered_ = true;
  const MeasuredState &a = v.before, &b = v.after;
  if (std::isnan(t50_) && sign_ * v.steerCommand >= half_) {
    // Between the command of the update before and this one.
    const double c0 = sign_ * v.previousSteerCommand, c1 = sign_ * v.steerCommand;
    t50_ = c0 >= half_
               ? v.previousUpdateTime
               : v.previousUpdateTime + (half_ - c0) / (c1 - c0) * (a.time - v.previousUpdateTime);
  }
  yaw_.add(a.time, sign_ * a.yawRate, b.time, sign_ * b.yawRate);
  lat_.add(a.time, sign_ * a.latAccel, b.time, sign_ * b.latAccel);
  const double tau = double(v.event.elapsed) - double(v.event.reachedAt);
  if (tau >= holdFrom_) {
    n_ += 1.0;
    yawSum_ += b.yawRate;
    latSum_ += b.latAccel;
    sideslipSum_ += sideslipOf(bodyVelocity(v.car));
    angleSum_ += b.roadWheelAngle;
  }
}

void StepSteerMeter::finish(EventMetrics& m, bool finished) const {
  static const char* const kKeys[] = {
      "road_wheel_angle_steady_deg",   "yaw_rate_steady_radps",    "lat_accel_steady_mps2",
      "sideslip_steady_deg",           "yaw_rate_response_time_s", "yaw_rate_peak_radps",
      "yaw_rate_peak_response_time_s", "yaw_rate_overshoot_pct",   "lat_accel_response_time_s",
      "yaw_rate_gain_radps_per_deg",   "lat_accel_gain_g_per_deg"};
  const char* why = nullptr;
  if (!entered_) {
    why = "the entry speed was never reached";
  } else if (!finished) {
    why = "the run ended before the event finished";
  } else if (holdFrom_ < holdStart_ || n_ == 0.0) {
    why = "the hold is shorter than the 1.0 s its steady state is averaged over";
  }
  m.set("steer_t50_s", t50_,
        entered_ ? "the steer command never reached half its final value"
                 : "the entry speed was never reached");
  if (why) {
    for (const char* key : kKeys) m.none(key, why);
    return;
  }
  const double angle = angleSum_ / n_ * kDegPerRad;  // deg
  const double yaw = yawSum_ / n_, lat = latSum_ / n_;
  m.set("road_wheel_angle_steady_deg", angle);
  m.set("yaw_rate_steady_radps", yaw);
  m.set("lat_accel_steady_mps2", lat);
  m.set("sideslip_steady_deg", sideslipSum_ / n_ * kDegPerRad);
  const char* opposite = "the steady state is not in the direction of the steer";
  m.set("yaw_rate_response_time_s",
        sign_ * yaw > 0.0 ? yaw_.firstReached(kResponseLevel * sign_ * yaw) - t50_ : kNaN,
        opposite);
  m.set("yaw_rate_peak_radps", float(sign_ * yaw_.peak()));
  m.set("yaw_rate_peak_response_time_s", yaw_.peakTime() - t50_);
  m.set("yaw_rate_overshoot_pct", (yaw_.peak() / (sign_ * yaw) - 1.0) * 100.0, opposite);
  m.set("lat_accel_response_time_s",
        sign_ * lat > 0.0 ? lat_.firstReached(kResponseLevel * sign_ * lat) - t50_ : kNaN,
        opposite);
  m.set("yaw_rate_gain_radps_per_deg", yaw / angle);
  m.set("lat_accel_gain_g_per_deg", lat / kStandardGravity / angle);
}

}  // namespace vdsim
