#include "measure/braking.h"

#include <cmath>
#include <limits>

namespace vdsim {

namespace {

constexpr double kWindow = 0.1;  // s of the deceleration means

}  // namespace

BrakingMeter::BrakingMeter(float dt) {
  const long steps = std::lround(kWindow / double(dt));
  window_ = std::size_t(steps > 1 ? steps : 1);
}

void BrakingMeter::begin() {
  if (ring_.empty()) ring_.resize(window_ + 1);  // at the first Brake
  next_ = count_ = 0;
  braking_ = false;
  path_ = 0.0;
  peak_ = std::numeric_limits<double>::quiet_NaN();
}

void BrakingMeter::push(const MeasuredState& s) {
  ring_[next_] = {s.time, s.speed};
  next_ = (next_ + 1) % ring_.size();
  if (count_ < ring_.size()) ++count_;
}

const BrakingMeter::Point& BrakingMeter::newest() const {
  return ring_[(next_ + ring_.size() - 1) % ring_.size()];
}

const BrakingMeter::Point& BrakingMeter::oldest() const {
  return ring_[(next_ + ring_.size() - count_) % ring_.size()];
}

double BrakingMeter::windowDeceleration() const {
  const Point& a = oldest();
  const Point& b = newest();
  if (!(b.time > a.time)) return std::numeric_limits<double>::quiet_NaN();
  return (a.speed - b.speed) / (b.time - a.time);
}

void BrakingMeter::step(const StepView& v) {
  if (!braking_) {
    if (!(v.pedalCommand >= 1.0f)) return;
    braking_ = true;
    onset_ = v.before;
    push(v.before);
  }
  path_ += std::hypot(double(v.after.x) - v.before.x, double(v.after.y) - v.before.y);
  push(v.after);
  if (count_ == ring_.size()) {
    const double d = windowDeceleration();
    if (std::isnan(peak_) || d > peak_) peak_ = d;
  }
}

void BrakingMeter::finish(EventMetrics& m, bool finished) const {
  if (!braking_) {
    const char* why = "the event never wrote a full-brake pedal command";
    for (const char* key :
         {"braking_start_s", "braking_start_speed_mps", "stopping_distance_m",
          "braking_decel_mean_mps2", "braking_decel_end_mps2", "braking_decel_peak_mps2"}) {
      m.none(key, why);
    }
    return;
  }
  m.set("braking_start_s", float(onset_.time));
  m.set("braking_start_speed_mps", onset_.speed);
  const Point& end = newest();
  const double endDecel = windowDeceleration();
  if (!finished) {
    const char* why = "the run ended before the event finished";
    m.none("stopping_distance_m", why);
    m.none("braking_decel_mean_mps2", why);
    m.none("braking_decel_end_mps2", why);
  } else {
    if (endDecel > 0.0) {
      m.set("stopping_distance_m", path_ + end.speed * end.speed / (2.0 * endDecel));
    } else {
      m.none("stopping_distance_m", "the car was not slowing down at the event's end");
    }
    m.set("braking_decel_mean_mps2", (onset_.speed - end.speed) / (end.time - onset_.time));
    m.set("braking_decel_end_mps2", endDecel);
  }
  m.set("braking_decel_peak_mps2", peak_, "full braking lasted less than 0.1 s");
}

}  // namespace vdsim
