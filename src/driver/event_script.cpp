// The simulated driver: event sequencing, control laws and gear changes.
//
//   speed          v  = |velocity|
//   path curvature k  = 1 / (v^2 / a_y)          (k = 0 when v = a_y = 0)
//   straight line  steer' = -5 k,   steer += steer' dt
//   speed control  pedal = -(v_target - v) * 1.0   (throttle is negative)
#include "driver/event_script.h"

#include <cmath>

#include "dynamics/vehicle.h"

namespace vdsim {

EventScript::EventScript(Vehicle& v) : vehicle(v) {
  runTime = 0.0f;
  eventCount = 0;
  currentEvent = 0;
  addSettle(3.0f);
  addTargetSpeed(2.0f, 5.0f);
  lastShiftTime = 5.0f;
}

Event& EventScript::addEvent(EventKind kind) {
  events.push_back(std::make_unique<Event>());
  events.back()->kind = kind;
  return *events.back();
}

void EventScript::addTargetSpeed(float speed, float duration) {
  Event& e = addEvent(TargetSpeed);
  e.speed = speed;
  e.duration = duration;
  ++eventCount;
}

void EventScript::addSettle(float duration) {
  addEvent(Settle).duration = duration;
  ++eventCount;
}

void EventScript::addSteerRamp(float speed, float endSpeed, float startRadius, float endRadius,
                               float duration) {
  Event& e = addEvent(SteerRamp);
  e.speed = speed;
  e.endSpeed = endSpeed;
  e.startRadius = startRadius;
  e.endRadius = endRadius;
  e.duration = duration;
  ++eventCount;
}

void EventScript::addBrake(float speed) {
  addEvent(Brake).speed = speed;
  ++eventCount;
}

bool EventScript::update() {
  const float dt = vehicle.timeStep;
  // The clock runs from the update after the first event has been left.
  if (currentEvent > 0) runTime = float(double(runTime) + dt);
  // Pass at most one finished event.
  if (currentEvent < eventCount && events[currentEvent]->done) ++currentEvent;
  if (currentEvent >= eventCount) return false;
  Event& e = *events[currentEvent];
  e.elapsed = float(double(e.elapsed) + dt);
  switch (e.kind) {
    case Settle: controlSettle(e); break;
    case TargetSpeed: controlTargetSpeed(e); break;
    case SteerRamp: controlSteerRamp(e); break;
    case Brake: controlBrake(e); break;
  }
  // Clamp to the steering and pedal ranges.
  if (steerCommand > 0.5) steerCommand = 0.5f;
  if (steerCommand < -0.5) steerCommand = -0.5f;
  if (pedalCommand > 1.0) pedalCommand = 1.0f;
  if (pedalCommand < -1.0) pedalCommand = -1.0f;
  vehicle.steer = steerCommand;
  vehicle.pedal = pedalCommand;
  shiftGears();
  return true;
}

bool EventScript::clockStopped() const {
  return currentEvent > 0 && float(double(runTime) + vehicle.timeStep) == runTime;
}

float EventScript::speed() const { return length(vehicle.velocity); }

float EventScript::pathCurvature(float v) const {
  const float ay = vehicle.acceleration.y;
  if (v == 0.0f && ay == 0.0f) return 0.0f;  // no speed, no turn: straight
  const float radius = float(double(v) * v / ay);
  return float(1.0 / radius);
}

void EventScript::steerStraight(float k) {
  steerRate = float(-5.0 * k);
  steerCommand = float(double(vehicle.steer) + double(steerRate) * vehicle.timeStep);
}

void EventScript::controlSpeed(float target, float v) {
  pedalCommand = float(-(double(target) - v) * 1.0);
}

void EventScript::controlSettle(Event& e) {
  if (e.elapsed > e.duration) e.done = true;
  steerCommand = 0.0f;
  pedalCommand = 0.0f;
}

void EventScript::controlTargetSpeed(Event& e) {
  const float v = speed();
  if (std::fabs(double(v) - e.speed) < 0.5 && !e.reached) {
    e.reached = true;
    e.reachedAt = e.elapsed;
  }
  if (e.reached && double(e.elapsed) - e.reachedAt > e.duration) e.done = true;
  steerStraight(pathCurvature(v));
  controlSpeed(e.speed, v);
}

void EventScript::controlBrake(Event& e) {
  const float v = speed();
  if (std::fabs(double(v) - e.speed) < 0.5 && !e.reached) {
    e.reached = true;
    e.reachedAt = e.elapsed;
  }
  if (v < 1.0) e.done = true;
  steerStraight(pathCurvature(v));
  if (e.reached) {
    pedalCommand = 1.0f;  // full brake
  } else {
    controlSpeed(e.speed, v);
  }
}

void EventScript::controlSteerRamp(Event& e) {
  const float v = speed();
  const float k = pathCurvature(v);
  // Ramp fraction, from before this update's entry test.
  const float s = e.reached ? float((double(e.elapsed) - e.reachedAt) / e.duration) : 0.0f;
  const float radius = float(double(e.startRadius) + (double(e.endRadius) - e.startRadius) * s);
  const float error = float(k - 1.0 / radius);
  if (std::fabs(double(v) - e.speed) < 0.5 && std::fabs(error) < 1.0 && !e.reached) {
    e.reached = true;
    e.reachedAt = e.elapsed;
  }
  if (e.reached && double(e.elapsed) - e.reachedAt > e.duration) e.done = true;
  steerRate = float(-5.0 * error);
  steerCommand = float(double(vehicle.steer) + double(steerRate) * vehicle.timeStep);
  const float target = float(double(e.speed) + (double(e.endSpeed) - e.speed) * s);
  controlSpeed(target, v);
}

void EventScript::shiftGears() {
  Vehicle& car = vehicle;
  // Up-shift near the engine's limit.
  if (car.engineSpeed > 0.8 * car.maxEngineSpeed && car.gear < car.gearCount - 1 &&
      double(runTime) - lastShiftTime > 0.25) {
    ++car.gear;
    lastShiftTime = runTime;
  }
  // Down-shift when the engine bogs down; never below gear index 1.
  if (car.engineSpeed < 0.75 * car.shiftDownEngineSpeed && car.gear > 1 &&
      double(runTime) - lastShiftTime > 0.1) {
    --car.gear;
    lastShiftTime = runTime;
  }
}

}  // namespace vdsim
