// Kinematics, powertrain and anti-roll bars against hand-worked values.
#include <gtest/gtest.h>

#include "dynamics/vehicle.h"
#include "test_cars.h"

namespace vdsim {
namespace {

using testcars::handCar;
using testcars::kDt;

TEST(BodyEquations, PowertrainFromTheRearWheels) {
  Vehicle v;
  handCar(v);
  v.wheel[2].spinRate = -50.0f;
  v.wheel[3].spinRate = -54.0f;
  v.gear = 1;
  v.pedal = -0.5f;
  v.updatePowertrain();
  EXPECT_EQ(v.meanDriveWheelSpeed, 52.0f);
  EXPECT_EQ(v.engineAngularSpeed, 416.0f);
  const float rpm = float(416.0 * 60.0 / 6.2831854);
  EXPECT_EQ(v.engineSpeed, rpm);
  const float x = float(rpm / 1000.0);
  const float x2 = float(double(rpm) / 1000.0 * x);
  float torque = float(double(x2) * -2.0f);
  torque = float(double(torque) + double(x) * 30.0f);
  torque = float(double(torque) + 100.0);
  EXPECT_EQ(v.driveTorque, float(double(float(double(float(double(torque) * -0.5)) * 8.0)) * 1.5));
  // Still rear wheels: only the constant term.
  v.wheel[2].spinRate = v.wheel[3].spinRate = 0.0f;
  v.updatePowertrain();
  EXPECT_EQ(v.engineSpeed, 0.0f);
  EXPECT_EQ(v.driveTorque, 100.0f * -0.5f * 8.0f * 1.5f);
}

TEST(BodyEquations, AntiRollBarsPushAgainstRoll) {
  Vehicle v;
  v.antiRollRateFront = 20000.0f;
  v.antiRollRateRear = 10000.0f;
  v.suspension[0].suspensionDeflection = 0.01f;
  v.suspension[1].suspensionDeflection = -0.01f;
  v.suspension[2].suspensionDeflection = 0.005f;
  v.suspension[3].suspensionDeflection = 0.005f;
  v.updateAntiRoll();
  EXPECT_EQ(v.antiRollForce[0], -400.0f);
  EXPECT_EQ(v.antiRollForce[1], 400.0f);
  EXPECT_EQ(v.antiRollForce[2], -0.0f);
  EXPECT_EQ(v.antiRollForce[3], 0.0f);
  EXPECT_EQ(v.antiRollMomentFront, -800.0f);
  EXPECT_EQ(v.antiRollMomentRear, 0.0f);
}

}  // namespace
}  // namespace vdsim
