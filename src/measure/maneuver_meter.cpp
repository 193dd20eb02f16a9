#include "measure/maneuver_meter.h"

#include <cmath>
#include <limits>

#include "driver/event_file.h"
#include "driver/event_script.h"
#include "dynamics/vehicle.h"

namespace vdsim {

namespace {

constexpr uint32_t kFirstFileEvent = 2;  // script events 0 and 1 are built in
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Wheelbase: front axle to rear axle along body x (m).
double wheelbaseOf(const Vehicle& car) {
  const Suspension* s = car.suspension;
  return 0.5 * (double(s[0].mountPosition.x) + s[1].mountPosition.x) -
         0.5 * (double(s[2].mountPosition.x) + s[3].mountPosition.x);
}

void signedPeak(double& peak, double value) {
  if (std::isnan(peak) || std::fabs(value) > std::fabs(peak)) peak = value;
}

void setState(EventMetrics& m, const char* time, const char* x, const char* y, const char* speed,
              const MeasuredState* s, const char* why) {
  if (!s) {
    for (const char* key : {time, x, y, speed}) m.none(key, why);
    return;
  }
  m.set(time, float(s->time));
  m.set(x, s->x);
  m.set(y, s->y);
  m.set(speed, s->speed);
}

}  // namespace

ManeuverMeter::ManeuverMeter(const Vehicle& car, const EventScript& script,
                             const std::vector<EventEntry>& fileEvents)
    : car_(car), script_(script), braking_(car.timeStep), cornering_(wheelbaseOf(car)) {
  results_.resize(fileEvents.size());
  for (std::size_t i = 0; i < fileEvents.size(); ++i) results_[i].number = fileEvents[i].number;
}

void ManeuverMeter::start() {
  before_ = measureState(car_, script_.runTime);
  current_ = script_.currentEvent;
}

void ManeuverMeter::sample() {
  const MeasuredState after = measureState(car_, script_.runTime);
  if (script_.currentEvent != current_) switchTo(script_.currentEvent);
  if (current_ >= kFirstFileEvent) {
    const Event& e = *script_.events[current_];
    const bool entered = e.reached && !entered_;
    if (entered) {
      entered_ = true;
      entry_ = before_;
    }
    signedPeak(latPeak_, after.latAccel);
    signedPeak(longPeak_, after.longAccel);
    const StepView view{before_, after, car_, e, script_.steerCommand, script_.pedalCommand,
                        lastSteer_, lastUpdateTime_, entered, car_.timeStep};
    switch (e.kind) {
      case TargetSpeed: acceleration_.step(view); break;
      case SteerRamp: cornering_.step(view); break;
      case Brake: braking_.step(view); break;
      case StepSteer: stepSteer_.step(view); break;
      case SineDwell: sineDwell_.step(view); break;
      case SineSteer: sineSteer_.step(view); break;
      case Settle: break;
    }
  }
  lastSteer_ = script_.steerCommand;
  lastUpdateTime_ = before_.time;
  before_ = after;
}

void ManeuverMeter::finish() {
  // The script may have moved on in an update whose step ended the run.
  const uint32_t index = script_.currentEvent;
  if (index != current_ && index < script_.eventCount) switchTo(index);
  if (current_ >= kFirstFileEvent && current_ < script_.eventCount) {
    endEvent(script_.events[current_]->done);
  }
  current_ = script_.eventCount;
}

// The previous event has finished (the script passes only a done one); the
// one at index begins at the state its first update read.
void ManeuverMeter::switchTo(uint32_t index) {
  if (current_ >= kFirstFileEvent) endEvent(true);
  current_ = index;
  if (index < kFirstFileEvent || index >= script_.eventCount) return;
  const Event& e = *script_.events[index];
  start_ = before_;
  entered_ = false;
  latPeak_ = longPeak_ = kNaN;
  switch (e.kind) {
    case TargetSpeed: acceleration_.begin(e, start_); break;
    case SteerRamp: cornering_.begin(e, car_.timeStep); break;
    case Brake: braking_.begin(); break;
    case StepSteer: stepSteer_.begin(e); break;
    case SineDwell: sineDwell_.begin(e); break;
    case SineSteer: sineSteer_.begin(e); break;
    case Settle: break;
  }
}

void ManeuverMeter::endEvent(bool finished) {
  EventMetrics& m = results_[current_ - kFirstFileEvent];
  const Event& e = *script_.events[current_];
  m.ran = true;
  m.values.reserve(32);  // the most any kind has
  setState(m, "start_s", "start_x_m", "start_y_m", "speed_start_mps", &start_, nullptr);
  setState(m, "entry_s", "entry_x_m", "entry_y_m", "speed_entry_mps", entered_ ? &entry_ : nullptr,
           "the entry test was never met");
  setState(m, "end_s", "end_x_m", "end_y_m", "speed_end_mps", finished ? &before_ : nullptr,
           "the run ended before the event finished");
  const char* noStep = "no step of the event was completed";
  m.set("lat_accel_peak_mps2", float(latPeak_), noStep);
  m.set("long_accel_peak_mps2", float(longPeak_), noStep);
  switch (e.kind) {
    case TargetSpeed: acceleration_.finish(m); break;
    case SteerRamp: cornering_.finish(m); break;
    case Brake: braking_.finish(m, finished); break;
    case StepSteer: stepSteer_.finish(m, finished); break;
    case SineDwell: sineDwell_.finish(m); break;
    case SineSteer: sineSteer_.finish(m); break;
    case Settle: break;
  }
}

}  // namespace vdsim
