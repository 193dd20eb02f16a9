// What one time step shows the measurement of the running event, and the
// constants every metric uses.
#pragma once

#include "driver/event_script.h"
#include "measure/vehicle_state.h"

namespace vdsim {

struct Vehicle;

// Standard gravity: every metric in g divides by it (m/s^2). The model's own
// gravity, 9.81 m/s^2, is part of the car, not of the measurements.
constexpr double kStandardGravity = 9.80665;
constexpr double kDegPerRad = 180.0 / 3.14159265358979323846;

struct StepView {
  const MeasuredState& before;  ///< the state the update read; its time is the update's
  const MeasuredState& after;   ///< the state the step left, as the recorders see it
  const Vehicle& car;           ///< the car after the step, for what `after` leaves out
  const Event& event;           ///< the running event, as its update left it
  float steerCommand;           ///< steer the update wrote (-)
  float pedalCommand;           ///< pedal the update wrote (-)
  float previousSteerCommand;   ///< steer the update before wrote (-)
  double previousUpdateTime;    ///< that update's time (s)
  bool entered;                 ///< this update met the event's entry test
  float timeStep;               ///< dt (s)
};

}  // namespace vdsim
