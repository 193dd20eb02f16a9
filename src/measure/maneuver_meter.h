// Measures each event of the event file while the run steps through it, at
// every step: the figures every event has (where and how fast it began, met
// its entry test and finished; its peak accelerations) and those of its kind
// (acceleration, cornering, braking, step steer, sine with dwell, steady
// sine; see the files of each). It only reads the Vehicle and the
// EventScript; nothing in the run reads it but the run record.
//
// An event begins at the state its first update reads and ends at the state
// its last step leaves, which is the state the next event begins at. Its
// steps are those whose update it ran; the state after each is the one the
// recorders see. The built-in settle and launch are not measured.
#pragma once

#include <cstdint>
#include <vector>

#include "measure/acceleration.h"
#include "measure/braking.h"
#include "measure/cornering.h"
#include "measure/event_metrics.h"
#include "measure/sine_dwell.h"
#include "measure/sine_steer.h"
#include "measure/step_steer.h"

namespace vdsim {

struct Vehicle;
class EventScript;
struct EventEntry;

class ManeuverMeter {
 public:
  // fileEvents: the event file's events, script events 2, 3, ... in order.
  ManeuverMeter(const Vehicle& car, const EventScript& script,
                const std::vector<EventEntry>& fileEvents);
  ManeuverMeter(const ManeuverMeter&) = delete;
  ManeuverMeter& operator=(const ManeuverMeter&) = delete;

  // Reads the state the first update will read; once, before the first step.
  void start();
  // After every step.
  void sample();
  // After the last step: closes the running event, finished when its done
  // flag is set.
  void finish();

  // One record per file event, in file order; an event the run never reached
  // has ran == false and no values.
  const std::vector<EventMetrics>& results() const { return results_; }

 private:
  void switchTo(uint32_t index);
  void endEvent(bool finished);

  const Vehicle& car_;
  const EventScript& script_;
  std::vector<EventMetrics> results_;
  uint32_t current_ = 0;         // script index of the running event (below 2: built in)
  MeasuredState before_;         // the state the next update reads
  float lastSteer_ = 0.0f;       // steer command of the latest update (-)
  double lastUpdateTime_ = 0.0;  // its time (s)

  // What every event measures.
  MeasuredState start_, entry_;
  bool entered_ = false;
  // Accelerations of largest magnitude, signed; NaN before a step (m/s^2).
  double latPeak_ = 0.0, longPeak_ = 0.0;

  AccelerationMeter acceleration_;
  BrakingMeter braking_;
  CorneringMeter cornering_;
  StepSteerMeter stepSteer_;
  SineDwellMeter sineDwell_;
  SineSteerMeter sineSteer_;
};

}  // namespace vdsim
