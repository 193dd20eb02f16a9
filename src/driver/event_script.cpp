// The simulated driver: event sequencing, control laws and gear changes.
//
//   speed          v  = |velocity|
//   path curvature k  = 1 / (v^2 / a_y)          (k = 0 when v = a_y = 0)
//   straight line  steer' = -5 k,   steer += steer' dt
//   speed control  pedal = -(v_target - v) * 1.0   (throttle is negative)
//
// The open-loop steer events (StepSteer, SineSteer, SineDwell) drive
// straight at their speed until within 0.5 m/s of it (entry); from then on,
// with tau = elapsed - reachedAt, they set the steer command directly:
//   steer = 2 A (pi / 180) s        (A the road-wheel angle or amplitude, deg)
//   StepSteer  s = tau / rampTime while tau < rampTime, else 1
//   SineSteer  s = sin(w tau),  w = 2 pi f
//   SineDwell  s = sin(w tau)        while tau < 3/4 T           (T = 1 / f)
//                = -1                while tau < 3/4 T + dwell
//                = sin(w (tau - dwell)) while tau < T + dwell, then 0
// StepSteer and SineSteer keep the speed control; SineDwell releases the
// pedal. Done once tau exceeds rampTime + duration, cycles T and
// (T + dwell) + duration. tau, T, w, dwell and s stay double: the command is
// rounded once, when stored.
#include "driver/event_script.h"

#include <cmath>

#include "dynamics/vehicle.h"

namespace vdsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;

}  // namespace

float rampFraction(const Event& e) {
  return e.reached ? float((double(e.elapsed) - e.reachedAt) / e.duration) : 0.0f;
}

float rampRadius(const Event& e, float s) {
  return float(double(e.startRadius) + (double(e.endRadius) - e.startRadius) * s);
}

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

void EventScript::addStepSteer(float speed, float angle, float rampTime, float duration) {
  Event& e = addEvent(StepSteer);
  e.speed = speed;
  e.angle = angle;
  e.rampTime = rampTime;
  e.duration = duration;
  ++eventCount;
}

void EventScript::addSineSteer(float speed, float amplitude, float frequency, float cycles) {
  Event& e = addEvent(SineSteer);
  e.speed = speed;
  e.amplitude = amplitude;
  e.frequency = frequency;
  e.cycles = cycles;
  ++eventCount;
}

void EventScript::addSineDwell(float speed, float amplitude, float frequency, float dwell,
                               float duration) {
  Event& e = addEvent(SineDwell);
  e.speed = speed;
  e.amplitude = amplitude;
  e.frequency = frequency;
  e.dwell = dwell;
  e.duration = duration;
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
    case StepSteer: controlStepSteer(e); break;
    case SineSteer: controlSineSteer(e); break;
    case SineDwell: controlSineDwell(e); break;
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
  const float s = rampFraction(e);
  const float radius = rampRadius(e, s);
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

// The entry test of the open-loop steer events, as TargetSpeed's; true once
// reached.
bool EventScript::enterAtSpeed(Event& e, float v) {
  if (std::fabs(double(v) - e.speed) < 0.5 && !e.reached) {
    e.reached = true;
    e.reachedAt = e.elapsed;
  }
  return e.reached;
}

// The steer command of road-wheel angle A (deg) times s, set directly.
void EventScript::steerOpenLoop(float A, double s) {
  steerCommand = float(((2.0 * double(A)) * kDegToRad) * s);
}

void EventScript::controlStepSteer(Event& e) {
  const float v = speed();
  if (!enterAtSpeed(e, v)) {
    steerStraight(pathCurvature(v));
    controlSpeed(e.speed, v);
    return;
  }
  const double tau = double(e.elapsed) - double(e.reachedAt);
  if (tau > double(e.rampTime) + double(e.duration)) e.done = true;
  const double s = e.rampTime > 0.0f && tau < double(e.rampTime) ? tau / double(e.rampTime) : 1.0;
  steerOpenLoop(e.angle, s);
  controlSpeed(e.speed, v);
}

void EventScript::controlSineSteer(Event& e) {
  const float v = speed();
  if (!enterAtSpeed(e, v)) {
    steerStraight(pathCurvature(v));
    controlSpeed(e.speed, v);
    return;
  }
  const double tau = double(e.elapsed) - double(e.reachedAt);
  if (tau > double(e.cycles) / double(e.frequency)) e.done = true;
  steerOpenLoop(e.amplitude, std::sin(((2.0 * kPi) * double(e.frequency)) * tau));
  controlSpeed(e.speed, v);
}

void EventScript::controlSineDwell(Event& e) {
  const float v = speed();
  if (!enterAtSpeed(e, v)) {
    steerStraight(pathCurvature(v));
    controlSpeed(e.speed, v);
    return;
  }
  const double tau = double(e.elapsed) - double(e.reachedAt);
  const double T = 1.0 / double(e.frequency);
  const double w = (2.0 * kPi) * double(e.frequency);
  const double D = double(e.dwell);
  if (tau > (T + D) + double(e.duration)) e.done = true;
  double s = 0.0;
  if (tau < 0.75 * T) {
    s = std::sin(w * tau);
  } else if (tau < 0.75 * T + D) {
    s = -1.0;
  } else if (tau < T + D) {
    s = std::sin(w * (tau - D));
  }
  steerOpenLoop(e.amplitude, s);
  pedalCommand = 0.0f;  // coast
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
