// The simulated driver: clock, event passing, control laws and gears.
#include "driver/event_script.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vdsim
