// The open-loop steer kinds as the event file gives them: their values reach
// the script in order, and values their laws cannot run are refused at the
// value's line.
#include "driver/event_kinds.h"

#include <gtest/gtest.h>

#include "driver/event_file.h"
#include "dynamics/vehicle.h"

namespace vdsim {
namespace {

struct Read {
  Vehicle vehicle;
  EventScript script{vehicle};
  CarChoice car;
  std::string error;
  bool ok = false;
  explicit Read(const std::string& events) {
    ok = readEventText("Events.ini", "[car] n Car dt 0.001\n" + events, script, car, error);
  }
};

TEST(EventKinds, OpenLoopSteerValuesReachTheScriptInFileOrder) {
  Read r(
      "[event] kind StepSteer v 27.5 a -1.5 r 0.1 d 3\n"
      "[event] kind SineSteer v 25 a 2 f 0.7 n 3.5\n"
      "[event] kind SineDwell v 22 a 4.5 f 0.6 w 0.5 d 1.75\n");
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.script.eventCount, 5u);
  const Event& step = *r.script.events[2];
  EXPECT_EQ(step.kind, StepSteer);
  EXPECT_EQ(step.speed, 27.5f);
  EXPECT_EQ(step.angle, -1.5f);
  EXPECT_EQ(step.rampTime, 0.1f);
  EXPECT_EQ(step.duration, 3.0f);
  const Event& sine = *r.script.events[3];
  EXPECT_EQ(sine.kind, SineSteer);
  EXPECT_EQ(sine.speed, 25.0f);
  EXPECT_EQ(sine.amplitude, 2.0f);
  EXPECT_EQ(sine.frequency, 0.7f);
  EXPECT_EQ(sine.cycles, 3.5f);
  const Event& dwell = *r.script.events[4];
  EXPECT_EQ(dwell.kind, SineDwell);
  EXPECT_EQ(dwell.speed, 22.0f);
  EXPECT_EQ(dwell.amplitude, 4.5f);
  EXPECT_EQ(dwell.frequency, 0.6f);
  EXPECT_EQ(dwell.dwell, 0.5f);
  EXPECT_EQ(dwell.duration, 1.75f);
  EXPECT_EQ(eventKindKeywords(), "TargetSpeed, SteerRamp, Brake, StepSteer, SineSteer, SineDwell");
}

TEST(EventKinds, AcceptsTheLimitsTheLawsCanRun) {
  // 14.32 deg is 0.49986 rad of steer command, inside the 0.5 clamp; no
  // ramp, no dwell, no hold; part of one cycle; a speed just above -0.5.
  Read r(
      "[event] kind StepSteer v -0.49 a 14.32 r 0 d 0\n"
      "[event] kind SineSteer v 20 a -14.32 f 1e-3 n 0.25\n"
      "[event] kind SineDwell v 20 a 14.32 f 50 w 0 d 0\n"
      "[event] kind Brake v -3\n");
  EXPECT_TRUE(r.ok) << r.error;
}

TEST(EventKinds, RefusesWhatTheLawsCannotRunAtTheValuesLine) {
  struct Case {
    const char* events;
    const char* error;
  } cases[] = {
      {"[event] kind StepSteer v 20\n a 14.33 r 0 d 1\n",
       "Events.ini:3: [event] 1 (StepSteer), item 3: a road-wheel angle of 14.33 deg is beyond "
       "the steering's limit of 14.32 deg (0.25 rad), where the steer command would be cut"},
      {"[event] kind SineDwell v 20 a -20 f 0.7 w 0.5 d 2\n",
       "Events.ini:2: [event] 1 (SineDwell), item 3: a road-wheel amplitude of -20 deg is "
       "beyond the steering's limit of 14.32 deg (0.25 rad), where the steer command would be "
       "cut"},
      {"[event] kind SineSteer v -0.5 a 1 f 1 n 3\n",
       "Events.ini:2: [event] 1 (SineSteer), item 2: a speed of -0.5 m/s can never be reached, "
       "so the event would never end (the car's speed is never negative)"},
      {"[event] kind StepSteer v 20 a 1 r -0.1 d 3\n",
       "Events.ini:2: [event] 1 (StepSteer), item 4: a rampTime of -0.1 s is negative; a time "
       "must be 0 s or more"},
      {"[event] kind StepSteer v 20 a 1 r 0.1\n d -3\n",
       "Events.ini:3: [event] 1 (StepSteer), item 5: a duration of -3 s is negative; a time "
       "must be 0 s or more"},
      {"[event] kind SineDwell v 20 a 1 f 0.7 w -0.5 d 2\n",
       "Events.ini:2: [event] 1 (SineDwell), item 5: a dwell of -0.5 s is negative; a time "
       "must be 0 s or more"},
      {"[event] kind SineDwell v 20 a 1 f 0.7 w 0.5 d -2\n",
       "Events.ini:2: [event] 1 (SineDwell), item 6: a duration of -2 s is negative; a time "
       "must be 0 s or more"},
      {"[event] kind SineSteer v 20 a 1 f 0 n 3\n",
       "Events.ini:2: [event] 1 (SineSteer), item 4: the frequency must be a number above 0, "
       "found 0"},
      {"[event] kind SineDwell v 20 a 1 f -0.7 w 0.5 d 2\n",
       "Events.ini:2: [event] 1 (SineDwell), item 4: the frequency must be a number above 0, "
       "found -0.7"},
      {"[event] kind SineSteer v 20 a 1 f 1 n -0\n",
       "Events.ini:2: [event] 1 (SineSteer), item 5: the cycles must be a number above 0, "
       "found -0"},
      // The ramp fraction of a SteerRamp divides by its duration.
      {"[event] kind TargetSpeed v 10 t 1 [event] kind SteerRamp v 10 e 12 r 40 r 40\n d 0\n",
       "Events.ini:3: [event] 2 (SteerRamp), item 6: a ramp duration of 0 s leaves no time to "
       "move from the start to the end radius (the ramp divides by its duration)"},
      // The first wrong value in file order is the one named.
      {"[event] kind StepSteer v -1 a 20 r -1 d -1\n",
       "Events.ini:2: [event] 1 (StepSteer), item 2: a speed of -1 m/s can never be reached, "
       "so the event would never end (the car's speed is never negative)"},
  };
  for (const Case& c : cases) {
    Read r(c.events);
    EXPECT_FALSE(r.ok) << c.events;
    EXPECT_EQ(r.error, c.error);
  }
}

}  // namespace
}  // namespace vdsim
