// The maneuver script: the simulated driver.
//
// An ordered list of events (a built-in 3 s settle and a 2 m/s launch, then
// those of "Events.ini") with the run's clock. Once per time step, before the
// Vehicle advances, update() runs the current event's control law, writes the
// Vehicle's steer and pedal, shifts gears, and says whether the run goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vdsim {

struct Vehicle;

enum EventKind : int32_t {
  TargetSpeed = 1,
  Settle = 2,
  SteerRamp = 3,
  Brake = 4,
  StepSteer = 5,
  SineSteer = 6,
  SineDwell = 7,
};

struct Event {
  EventKind kind = TargetSpeed;  ///< control law to run
  float speed = 0.0f;        ///< target / ramp-entry / full-brake speed (m/s)
  float endSpeed = 0.0f;     ///< SteerRamp: speed target at the end of the ramp (m/s)
  float startRadius = 0.0f;  ///< SteerRamp: path radius at the start of the ramp (m)
  float endRadius = 0.0f;    ///< SteerRamp: path radius at the end of the ramp (m)
  float duration = 0.0f;     ///< hold / settle / ramp time; hold after a step or a dwell (s)
  bool done = false;         ///< the event has finished
  bool reached = false;      ///< its entry condition has been met
  float elapsed = 0.0f;      ///< time since it became current (s)
  float reachedAt = 0.0f;    ///< elapsed when reached was set (s)
  float angle = 0.0f;        ///< StepSteer: road-wheel angle held after the ramp, + right (deg)
  float rampTime = 0.0f;     ///< StepSteer: time to ramp to the angle, 0 for a step (s)
  float amplitude = 0.0f;    ///< SineSteer, SineDwell: road-wheel amplitude, + right first (deg)
  float frequency = 0.0f;    ///< SineSteer, SineDwell: steer frequency (Hz)
  float cycles = 0.0f;       ///< SineSteer: number of periods (-)
  float dwell = 0.0f;        ///< SineDwell: time held at the second lobe's peak (s)
};

// SteerRamp: the ramp fraction of e's latest update, 0 until its entry (-).
float rampFraction(const Event& e);
// SteerRamp: the path radius aimed at with ramp fraction s (m).
float rampRadius(const Event& e, float s);

class EventScript {
 public:
  explicit EventScript(Vehicle& vehicle);

  void addTargetSpeed(float speed, float duration);
  void addSettle(float duration);
  void addSteerRamp(float speed, float endSpeed, float startRadius, float endRadius,
                    float duration);
  void addBrake(float speed);
  void addStepSteer(float speed, float angle, float rampTime, float duration);
  void addSineSteer(float speed, float amplitude, float frequency, float cycles);
  void addSineDwell(float speed, float amplitude, float frequency, float dwell, float duration);

  // One time step of the driver; false once the last event is done.
  bool update();
  // True when one more time step would leave the running clock where it is:
  // past about 2^24 steps of its value a float clock stops, and with it
  // every hold and ramp, so the run can go no further.
  bool clockStopped() const;

  Vehicle& vehicle;
  float steerCommand = 0.0f;   ///< steer command being formed (-)
  float pedalCommand = 0.0f;   ///< pedal command being formed (-)
  float steerRate = 0.0f;      ///< steer rate of the last control law (1/s)
  float runTime = 0.0f;        ///< time since the first event finished (s)
  float lastShiftTime = 0.0f;  ///< runTime at the last gear change (s)
  std::vector<std::unique_ptr<Event>> events;  ///< the events in order
  uint32_t eventCount = 0;     ///< number of events
  uint32_t currentEvent = 0;   ///< index of the current event

 private:
  Event& addEvent(EventKind kind);
  void controlSettle(Event& e);
  void controlTargetSpeed(Event& e);
  void controlBrake(Event& e);
  void controlSteerRamp(Event& e);
  void controlStepSteer(Event& e);
  void controlSineSteer(Event& e);
  void controlSineDwell(Event& e);
  bool enterAtSpeed(Event& e, float v);
  void steerOpenLoop(float amplitude, double s);
  void shiftGears();
  float speed() const;
  float pathCurvature(float v) const;
  void steerStraight(float k);
  void controlSpeed(float target, float v);
};

}  // namespace vdsim
