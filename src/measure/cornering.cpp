#include "measure/cornering.h"

#include <algorithm>
#include <cmath>

#include "dynamics/vehicle.h"

namespace vdsim {

namespace {

constexpr double kRadiusTolerance = 0.05;       // |R / R_target - 1| at most this
constexpr double kFitFrom = 0.1, kFitTo = 0.4;  // |a_y| range of the fits (g)

}  // namespace

void CorneringMeter::begin(const Event& e, float dt) {
  understeer_ = roll_ = sideslip_ = LineFit();
  fitFrom_ = fitTo_ = 0.0;
  radii_.clear();
  // The ramp takes about duration / dt steps from its entry; a longer one
  // grows the list as it goes.
  const double expected = double(e.duration) / double(dt) * 1.01 + 16.0;
  if (expected > 0.0) radii_.reserve(std::size_t(std::min(expected, double(kReserveRadii))));
  radiiCut_ = false;
  stretch_ = Stretch::Before;
  limit_ = 0.0;
}

void CorneringMeter::step(const StepView& v) {
  if (!v.event.reached) return;
  const double speed = v.after.speed, ay = v.after.latAccel;
  const double driven = speed * speed / ay;
  const double target = rampRadius(v.event, rampFraction(v.event));
  const bool within = std::fabs(driven / target - 1.0) <= kRadiusTolerance;
  if (within && stretch_ != Stretch::After) {
    if (stretch_ == Stretch::Before || std::fabs(ay) > std::fabs(limit_)) limit_ = ay;
    stretch_ = Stretch::Within;
  } else if (!within && stretch_ == Stretch::Within) {
    stretch_ = Stretch::After;
  }
  const double inG = ay / kStandardGravity;
  if (!within || std::fabs(inG) < kFitFrom || std::fabs(inG) > kFitTo) return;

  // A quasi-steady step.
  const double ackermann = wheelbase_ / driven;
  understeer_.add(inG, (double(v.after.roadWheelAngle) - ackermann) * kDegPerRad);
  roll_.add(inG, -anglesOf(v.after.attitude).roll * kDegPerRad);
  sideslip_.add(inG, sideslipOf(bodyVelocity(v.car)) * kDegPerRad);
  if (understeer_.n == 1.0 || std::fabs(inG) < fitFrom_) fitFrom_ = std::fabs(inG);
  if (std::fabs(inG) > fitTo_) fitTo_ = std::fabs(inG);
  if (radii_.size() < kMaxRadii) {
    radii_.push_back(driven);
  } else {
    radiiCut_ = true;
  }
}

void CorneringMeter::finish(EventMetrics& m) {
  const char* few = "fewer than 3 quasi-steady steps";
  m.set("understeer_gradient_deg_per_g", understeer_.slope(), few);
  m.set("roll_gradient_deg_per_g", roll_.slope(), few);
  m.set("sideslip_gradient_deg_per_g", sideslip_.slope(), few);
  const char* none = "no quasi-steady step";
  if (understeer_.n > 0.0) {
    m.set("fit_from_g", fitFrom_);
    m.set("fit_to_g", fitTo_);
  } else {
    m.none("fit_from_g", none);
    m.none("fit_to_g", none);
  }
  m.set("fit_steps", understeer_.n);
  if (stretch_ == Stretch::Before) {
    m.none("limit_lat_accel_mps2", "the radius driven never came within 5 % of the target");
  } else {
    m.set("limit_lat_accel_mps2", float(limit_));
  }
  if (radiiCut_) {
    m.none("quasi_steady_radius_median_m", "too many quasi-steady steps to keep for a median");
  } else if (radii_.empty()) {
    m.none("quasi_steady_radius_median_m", none);
  } else {
    // The middle value, or the mean of the two middle values.
    const std::size_t half = radii_.size() / 2;
    std::nth_element(radii_.begin(), radii_.begin() + half, radii_.end());
    double median = radii_[half];
    if (radii_.size() % 2 == 0) {
      const double below = *std::max_element(radii_.begin(), radii_.begin() + half);
      median = 0.5 * (below + median);
    }
    m.set("quasi_steady_radius_median_m", median);
  }
}

}  // namespace vdsim
