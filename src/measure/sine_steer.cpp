#include "measure/sine_steer.h"

#include <cmath>
#include <limits>

namespace vdsim {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A phase difference in degrees, in (-180, 180].
double wrapDegrees(double phase) {
  double deg = std::remainder(phase * kDegPerRad, 360.0);
  return deg == -180.0 ? 180.0 : deg;
}

}  // namespace

void SineSteerMeter::begin(const Event& e) {
  w_ = (2.0 * kPi) * double(e.frequency);
  const double period = 1.0 / double(e.frequency);
  const double whole = std::floor(double(e.cycles));
  periods_ = whole > 1.0 ? whole - 1.0 : 0.0;
  from_ = period;
  to_ = whole * period;
  lastTau_ = std::numeric_limits<double>::quiet_NaN();
  angle_ = yaw_ = lat_ = SineFit();
}

void SineSteerMeter::step(const StepView& v) {
  if (!v.event.reached || periods_ == 0.0) return;
  const Event& e = v.event;
  // The update's tau, and the one the next update will read with the state
  // this step left (its clock advances as EventScript::update advances it).
  const double tau = double(e.elapsed) - double(e.reachedAt);
  const double next = double(float(double(e.elapsed) + v.timeStep)) - double(e.reachedAt);
  if (tau >= from_ && tau < to_) {
    angle_.add(std::sin(w_ * tau), std::cos(w_ * tau), v.after.roadWheelAngle * kDegPerRad);
  }
  if (next >= from_ && next < to_) {
    const double s = std::sin(w_ * next), c = std::cos(w_ * next);
    yaw_.add(s, c, v.after.yawRate);
    lat_.add(s, c, v.after.latAccel);
  }
  lastTau_ = next;
}

void SineSteerMeter::finish(EventMetrics& m) const {
  static const char* const kKeys[] = {"road_wheel_amplitude_deg", "yaw_rate_amplitude_radps",
                                      "lat_accel_amplitude_mps2", "yaw_rate_gain_radps_per_deg",
                                      "yaw_rate_phase_deg",       "lat_accel_gain_g_per_deg",
                                      "lat_accel_phase_deg"};
  const char* why = nullptr;
  double angle = 0.0, anglePhase = 0.0, yaw = 0.0, yawPhase = 0.0, lat = 0.0, latPhase = 0.0;
  if (periods_ == 0.0) {
    why = "fewer than 2 whole periods (the first is left out while the response settles)";
  } else if (std::isnan(lastTau_)) {
    why = "the entry speed was never reached";
  } else if (lastTau_ < to_) {
    why = "the run ended before the last whole period";
  } else if (!angle_.amplitudeAndPhase(angle, anglePhase) ||
             !yaw_.amplitudeAndPhase(yaw, yawPhase) || !lat_.amplitudeAndPhase(lat, latPhase)) {
    why = "too few steps per period to fit";
  }
  m.set("sine_fit_periods", periods_);
  if (why) {
    for (const char* key : kKeys) m.none(key, why);
    return;
  }
  m.set("road_wheel_amplitude_deg", angle);
  m.set("yaw_rate_amplitude_radps", yaw);
  m.set("lat_accel_amplitude_mps2", lat);
  m.set("yaw_rate_gain_radps_per_deg", yaw / angle);
  m.set("yaw_rate_phase_deg", wrapDegrees(yawPhase - anglePhase));
  m.set("lat_accel_gain_g_per_deg", lat / kStandardGravity / angle);
  m.set("lat_accel_phase_deg", wrapDegrees(latPhase - anglePhase));
}

}  // namespace vdsim
