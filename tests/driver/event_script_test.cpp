// The simulated driver: clock, event passing, control laws and gears.
#include "driver/event_script.h"

#include <gtest/gtest.h>

#include <cmath>

#include "dynamics/vehicle.h"

namespace vdsim {
namespace {

struct Driver : testing::Test {
  Vehicle car;
  EventScript script{car};
  void SetUp() override {
    car.gearRatio = {12.0f, 8.0f, 6.0f};
    car.gearCount = 3;
    car.maxEngineSpeed = 7000.0f;
    car.shiftDownEngineSpeed = 4000.0f;
    car.initialize();
    car.setTimeStep(0.001f);
  }
  // Runs updates until the built-in settle has been left (1 s steps).
  void skipSettle() {
    car.setTimeStep(1.0f);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(script.update());
    ASSERT_EQ(script.currentEvent, 1u);
    car.setTimeStep(0.001f);
  }
};

TEST_F(Driver, ClockStartsAfterTheSettleAndEventsPassOneAtATime) {
  car.setTimeStep(1.0f);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(script.update());
  // Elapsed 4 > 3: the settle is done but still current.
  EXPECT_TRUE(script.events[0]->done);
  EXPECT_EQ(script.currentEvent, 0u);
  EXPECT_EQ(car.pedal, 0.0f);
  ASSERT_TRUE(script.update());  // moves on, runs the launch
  EXPECT_EQ(script.currentEvent, 1u);
  EXPECT_EQ(script.runTime, 0.0f);
  EXPECT_LT(car.pedal, 0.0f);  // throttle towards 2 m/s
  ASSERT_TRUE(script.update());
  EXPECT_EQ(script.runTime, 1.0f);
}

TEST_F(Driver, SpeedControlAndClamps) {
  script.addBrake(100.0f);  // keeps the run going after the launch
  skipSettle();
  car.velocity = Vec3(1.2f, 0.0f, 0.0f);
  script.update();
  EXPECT_EQ(car.pedal, float(-(2.0 - double(1.2f))));
  EXPECT_EQ(car.steer, 0.0f);  // no lateral acceleration: no correction
  car.velocity = Vec3(2.3f, 0.0f, 0.0f);
  script.update();
  EXPECT_EQ(car.pedal, float(-(2.0 - double(2.3f))));
  car.velocity = Vec3(0.5f, 0.0f, 0.0f);
  script.update();
  EXPECT_EQ(car.pedal, -1.0f);
}

TEST_F(Driver, StraightLineSteeringFromTheCurvature) {
  skipSettle();
  car.velocity = Vec3(10.0f, 0.0f, 0.0f);
  car.acceleration = Vec3(0.0f, 2.0f, 0.0f);  // radius 50 m
  car.steer = 0.01f;
  script.update();
  EXPECT_FLOAT_EQ(script.steerRate, -0.1f);
  EXPECT_EQ(car.steer, float(0.01f + double(script.steerRate) * 0.001f));
  // No speed, some lateral acceleration: infinite curvature, clamped steer.
  car.velocity = Vec3();
  script.update();
  EXPECT_EQ(car.steer, -0.5f);
  // No speed and no lateral acceleration: straight.
  car.acceleration = Vec3();
  car.steer = 0.2f;
  script.update();
  EXPECT_EQ(script.steerRate, 0.0f);
  EXPECT_EQ(car.steer, 0.2f);
}

TEST_F(Driver, SteerRampAimsAtTheInterpolatedRadiusAndSpeed) {
  script.addSteerRamp(10.0f, 20.0f, 100.0f, 50.0f, 10.0f);
  script.events[1]->done = true;  // skip the launch
  skipSettle();
  car.setTimeStep(1.0f);
  car.velocity = Vec3(10.0f, 0.0f, 0.0f);
  ASSERT_TRUE(script.update());  // the ramp becomes current; entry met, s = 0
  ASSERT_EQ(script.currentEvent, 2u);
  ASSERT_TRUE(script.events[2]->reached);
  for (int i = 0; i < 5; ++i) script.update();
  // 5 s after entry: radius 75 m, speed target 15 m/s.
  EXPECT_EQ(script.steerRate, float(-5.0 * float(0.0 - 1.0 / 75.0)));
  EXPECT_EQ(script.pedalCommand, -1.0f);  // 5 m/s short, clamped
}

TEST_F(Driver, BrakeEventBelowOneMetrePerSecondEndsAtOnce) {
  script.addBrake(15.0f);
  script.events[1]->done = true;
  skipSettle();
  car.velocity = Vec3(0.5f, 0.0f, 0.0f);
  ASSERT_TRUE(script.update());
  EXPECT_EQ(script.currentEvent, 2u);
  EXPECT_TRUE(script.events[2]->done);
  EXPECT_FALSE(script.update());  // the last event is done: the run ends
}

TEST_F(Driver, GearsShiftOnEngineSpeedAfterTheHoldOff) {
  script.addBrake(100.0f);
  skipSettle();
  car.velocity = Vec3(2.0f, 0.0f, 0.0f);
  car.engineSpeed = 5601.0f;
  car.setTimeStep(0.25f);
  // runTime reaches 5.25 but must exceed it.
  for (int i = 0; i < 21; ++i) script.update();
  EXPECT_EQ(script.runTime, 5.25f);
  EXPECT_EQ(car.gear, 0);
  script.update();
  EXPECT_EQ(car.gear, 1);
  EXPECT_EQ(script.lastShiftTime, 5.5f);
  script.update();
  EXPECT_EQ(car.gear, 1);  // 0.25 s since the shift is not more than 0.25 s
  script.update();
  EXPECT_EQ(car.gear, 2);
  script.update();
  EXPECT_EQ(car.gear, 2);  // top gear
  // Down-shift below 3000 rpm, never below index 1.
  car.engineSpeed = 2999.0f;
  script.update();
  EXPECT_EQ(car.gear, 1);
  script.update();
  EXPECT_EQ(car.gear, 1);
  car.engineSpeed = 5600.0f;  // not above 0.8 * 7000
  script.update();
  EXPECT_EQ(car.gear, 1);
}

TEST_F(Driver, TopGearStaysWhenTheEngineRevsAndTheHoldOffIsLongPast) {
  // gear < gearCount - 1, strictly: one more would index past the ratios.
  script.addBrake(100.0f);
  skipSettle();
  car.velocity = Vec3(2.0f, 0.0f, 0.0f);
  car.gear = car.gearCount - 1;
  car.engineSpeed = 6999.0f;
  car.setTimeStep(1.0f);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(script.update());
  EXPECT_GT(script.runTime - script.lastShiftTime, 10.0f);
  EXPECT_EQ(car.gear, car.gearCount - 1);
}

TEST_F(Driver, TheClockStopsWhereOneMoreStepNoLongerChangesIt) {
  // During the settle the clock does not run, so it cannot be stopped.
  EXPECT_FALSE(script.clockStopped());
  script.addBrake(100.0f);
  skipSettle();
  // At 1 ms a float clock still moves at 16384 s (by 2 ms a step) and no
  // longer at 32768 s, where half its spacing exceeds the step.
  script.runTime = 16384.0f;
  EXPECT_FALSE(script.clockStopped());
  script.runTime = 32768.0f;
  EXPECT_TRUE(script.clockStopped());
  ASSERT_TRUE(script.update());
  EXPECT_EQ(script.runTime, 32768.0f);
}


// The open-loop steer laws at their breakpoints. A step of 1/8 s keeps the
// event clock exact, so tau lands on each breakpoint.
struct SteerLaw {
  const char* name;
  EventKind kind;
  float values[5];  // in file order
  double tau;       // s since the entry
  double s;         // expected steer fraction of 2 A (pi / 180)
  bool done;        // the done test has passed in this update
};

void PrintTo(const SteerLaw& law, std::ostream* out) { *out << law.name; }

class OpenLoopSteer : public Driver, public testing::WithParamInterface<SteerLaw> {};

TEST_P(OpenLoopSteer, SetsTheCommandAndFinishesAtTheBreakpoints) {
  const SteerLaw& law = GetParam();
  const float* v = law.values;
  float amplitude = v[1];
  switch (law.kind) {
    case StepSteer: script.addStepSteer(v[0], v[1], v[2], v[3]); break;
    case SineSteer: script.addSineSteer(v[0], v[1], v[2], v[3]); break;
    default: script.addSineDwell(v[0], v[1], v[2], v[3], v[4]); break;
  }
  script.events[1]->done = true;
  skipSettle();
  car.setTimeStep(0.125f);
  car.velocity = Vec3(v[0] + 0.4f, 0.0f, 0.0f);  // within 0.5 m/s: entry in the first update
  car.acceleration = Vec3(0.0f, 3.0f, 0.0f);     // ignored once the law steers open loop
  const int updates = int(law.tau / 0.125) + 1;
  for (int i = 0; i < updates; ++i) ASSERT_TRUE(script.update());
  const Event& e = *script.events[2];
  ASSERT_EQ(script.currentEvent, 2u);
  ASSERT_TRUE(e.reached);
  ASSERT_EQ(double(e.elapsed) - e.reachedAt, law.tau);
  const double kDegToRad = 3.14159265358979323846 / 180.0;
  EXPECT_EQ(car.steer, float(((2.0 * double(amplitude)) * kDegToRad) * law.s)) << law.tau;
  EXPECT_EQ(e.done, law.done);
  // StepSteer and SineSteer hold the speed (0.4 m/s too fast: brake);
  // SineDwell coasts.
  const float hold = float(double(length(car.velocity)) - v[0]);
  EXPECT_EQ(car.pedal, law.kind == SineDwell ? 0.0f : hold) << law.tau;
}

// sin(pi x) for the sine laws' expected fractions.
double sinPi(double x) { return std::sin(3.14159265358979323846 * x); }

INSTANTIATE_TEST_SUITE_P(
    Laws, OpenLoopSteer,
    testing::Values(
        // StepSteer 3 deg over a 0.5 s ramp, held 1 s: linear to the ramp's
        // end, then held; done once tau exceeds 1.5 s.
        SteerLaw{"ramp_start", StepSteer, {20, 3, 0.5f, 1}, 0.0, 0.0, false},
        SteerLaw{"ramp_half", StepSteer, {20, 3, 0.5f, 1}, 0.25, 0.5, false},
        SteerLaw{"ramp_end", StepSteer, {20, 3, 0.5f, 1}, 0.5, 1.0, false},
        SteerLaw{"hold_end", StepSteer, {20, 3, 0.5f, 1}, 1.5, 1.0, false},
        SteerLaw{"step_done", StepSteer, {20, 3, 0.5f, 1}, 1.625, 1.0, true},
        // An ideal step to the left: the whole angle in the entry update.
        SteerLaw{"ideal_step", StepSteer, {20, -2, 0, 1}, 0.0, 1.0, false},
        // SineSteer 0.5 Hz, 2 cycles: done after 4 s, steering to the end.
        SteerLaw{"sine_quarter", SineSteer, {20, 4, 0.5f, 2}, 0.5, 1.0, false},
        SteerLaw{"sine_last_period", SineSteer, {20, 4, 0.5f, 2}, 3.375, sinPi(3.375), false},
        SteerLaw{"sine_end", SineSteer, {20, 4, 0.5f, 2}, 4.0, sinPi(4.0), false},
        SteerLaw{"sine_done", SineSteer, {20, 4, 0.5f, 2}, 4.125, sinPi(4.125), true},
        // SineDwell 0.5 Hz (T = 2 s), dwell 0.5 s, then 1 s straight: the
        // sine to 3/4 T = 1.5 s, -1 to 2.0 s, the sine resumed to T + D =
        // 2.5 s, then 0 (not sin(2 pi), a few 1e-16), done after 3.5 s.
        SteerLaw{"dwell_first_lobe", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 0.375, sinPi(0.375), false},
        SteerLaw{"dwell_before", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 1.375, sinPi(1.375), false},
        SteerLaw{"dwell_start", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 1.5, -1.0, false},
        SteerLaw{"dwell_held", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 1.875, -1.0, false},
        SteerLaw{"dwell_end", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 2.125, sinPi(1.625), false},
        SteerLaw{"dwell_last", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 2.375, sinPi(1.875), false},
        SteerLaw{"dwell_straight", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 2.5, 0.0, false},
        SteerLaw{"dwell_hold_end", SineDwell, {20, 5, 0.5f, 0.5f, 1}, 3.5, 0.0, false},
        SteerLaw{"dwell_done", SineDwell, {20, -5, 0.5f, 0.5f, 1}, 3.625, 0.0, true}),
    [](const testing::TestParamInfo<SteerLaw>& info) { return std::string(info.param.name); });

TEST_F(Driver, OpenLoopSteerWaitsForItsSpeedSteeringStraight) {
  script.addSineDwell(20.0f, 5.0f, 0.5f, 0.5f, 1.0f);
  script.events[1]->done = true;
  skipSettle();
  car.velocity = Vec3(10.0f, 0.0f, 0.0f);
  car.acceleration = Vec3(0.0f, 2.0f, 0.0f);  // radius 50 m
  car.steer = 0.01f;
  ASSERT_TRUE(script.update());
  ASSERT_EQ(script.currentEvent, 2u);
  EXPECT_FALSE(script.events[2]->reached);
  // Straight-line steering and speed control, as a TargetSpeed.
  EXPECT_EQ(car.steer, float(0.01f + double(float(-5.0 * (1.0 / 50.0))) * 0.001f));
  EXPECT_EQ(car.pedal, -1.0f);  // 10 m/s short: full throttle
}

}  // namespace
}  // namespace vdsim
