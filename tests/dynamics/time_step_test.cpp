// The time step on the example car: free fall, rest, throttle, steer, brake;
// and exact checks of single operations against hand-worked values.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>

#include "dynamics/vehicle.h"

namespace vdsim {
namespace {

constexpr float kDt = 0.001f;  // the examples' time step (s)

// Loads the default example's car from its own directory and sets it up.
void setUpExampleCar(Vehicle& car) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(VDSIM_SOURCE_DIR "/examples/default"), 0);
  std::string error;
  const bool loaded = car.loadCar("Sedan", error);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(loaded) << error;
  car.initialize();
  car.setUpSystem(kCornerCount);
  car.setTimeStep(kDt);
}

struct ExampleCar : testing::Test {
  Vehicle car;
  void SetUp() override { setUpExampleCar(car); }
  void run(float seconds, float pedal = 0.0f, float steer = 0.0f) {
    const int steps = int(std::lround(seconds / kDt));
    for (int i = 0; i < steps; ++i) {
      car.pedal = pedal;
      car.steer = steer;
      car.step();
      ASSERT_TRUE(car.stateIsFinite()) << "after step " << i;
    }
  }
  float totalWeight() const {
    double m = car.mass;
    for (int p = 0; p < kCornerCount; ++p) m += car.suspension[p].unsprungMass + car.wheel[p].wheelMass;
    return float(m * 9.81);
  }
};

TEST_F(ExampleCar, FallsFreelyBeforeTouchingTheGround) {
  run(0.2f);
  // 0.2 s of fall is 0.196 m: the tires are still far above the ground.
  for (int p = 0; p < kCornerCount; ++p) EXPECT_EQ(car.wheel[p].normalForce, 0.0f);
  EXPECT_NEAR(car.acceleration.z, 9.81f, 1e-3f);
  EXPECT_NEAR(car.acceleration.x, 0.0f, 1e-4f);
  EXPECT_NEAR(car.acceleration.y, 0.0f, 1e-4f);
  EXPECT_NEAR(car.velocity.z, 9.81f * 0.2f, 2e-3f);
  EXPECT_NEAR(car.position.z, -2.0f + 0.5f * 9.81f * 0.04f, 2e-3f);
  for (int p = 0; p < kCornerCount; ++p) {
    EXPECT_NEAR(car.suspension[p].suspensionDeflection, 0.0f, 1e-6f);
    EXPECT_NEAR(car.wheel[p].spinRate, 0.0f, 1e-6f);
  }
  EXPECT_NEAR(car.attitude.w, 1.0f, 1e-6f);
}

TEST_F(ExampleCar, CarriesItsWeightOnItsTiresAtRest) {
  run(4.0f);
  const Wheel* w = car.wheel;
  const float sum = w[0].normalForce + w[1].normalForce + w[2].normalForce + w[3].normalForce;
  EXPECT_NEAR(sum, totalWeight(), 0.002f * totalWeight());
  // Left equals right.
  EXPECT_NEAR(w[0].normalForce, w[1].normalForce, 0.5f);
  EXPECT_NEAR(w[2].normalForce, w[3].normalForce, 0.5f);
  // The front axle carries the chassis mass's front share plus its corners.
  const double xf = car.suspension[0].mountPosition.x, xr = car.suspension[2].mountPosition.x;
  const double frontShare = -xr / (xf - xr);
  const double corner = (car.suspension[0].unsprungMass + car.wheel[0].wheelMass) * 9.81;
  const double front = car.mass * 9.81 * frontShare + 2.0 * corner;
  EXPECT_NEAR(w[0].normalForce + w[1].normalForce, front, 0.01 * front);
  // At rest: no speed, and accelerations that average out. (The tires'
  // slip stiffness at standstill keeps a millimetre-per-second jitter going,
  // so single steps show a few tenths of m/s^2 along x.)
  double ax = 0.0, ay = 0.0, az = 0.0;
  for (int i = 0; i < 1000; ++i) {
    car.step();
    ax += car.acceleration.x / 1000.0;
    ay += car.acceleration.y / 1000.0;
    az += car.acceleration.z / 1000.0;
    ASSERT_LT(car.groundSpeed, 0.01f);
  }
  EXPECT_NEAR(ax, 0.0, 0.01);
  EXPECT_NEAR(ay, 0.0, 0.001);
  EXPECT_NEAR(az, 0.0, 0.001);
}

TEST_F(ExampleCar, ThrottleSteerAndBrakeMoveItAsADriverExpects) {
  run(3.0f);
  run(3.0f, -0.6f);  // throttle
  EXPECT_GT(car.velocityBody.x, 3.0f);
  EXPECT_GT(car.acceleration.x, 0.5f);
  for (int p = 0; p < kCornerCount; ++p) EXPECT_LT(car.wheel[p].spinRate, 0.0f) << p;
  EXPECT_GT(car.engineSpeed, 0.0f);

  // A positive steer turns the car towards its right: lateral acceleration +y.
  run(1.0f, -0.2f, 0.05f);
  EXPECT_GT(car.acceleration.y, 0.3f);
  EXPECT_GT(car.angularVelocity.z, 0.0f);
  run(2.0f, -0.2f, 0.0f);
  run(1.0f, -0.2f, -0.05f);
  EXPECT_LT(car.acceleration.y, -0.3f);

  const float before = car.groundSpeed;
  run(0.5f, 0.5f, 0.0f);  // brake
  EXPECT_LT(car.acceleration.x, -2.0f);
  EXPECT_LT(car.groundSpeed, before - 1.0f);
}

// Two cars stepped side by side in one process stay identical bit for bit:
// nothing in a step depends on anything but its own Vehicle.
TEST_F(ExampleCar, TwoCarsSideBySideStayBitIdentical) {
  Vehicle other;
  setUpExampleCar(other);
  for (int i = 0; i < 6000; ++i) {
    const float pedal = i < 3000 ? 0.0f : -0.7f, steer = i < 4500 ? 0.0f : 0.04f;
    car.pedal = other.pedal = pedal;
    car.steer = other.steer = steer;
    car.step();
    other.step();
    ASSERT_EQ(std::memcmp(car.suspension, other.suspension, sizeof car.suspension), 0) << i;
    ASSERT_EQ(std::memcmp(car.wheel, other.wheel, sizeof car.wheel), 0) << i;
    ASSERT_EQ(std::memcmp(&car.position, &other.position, sizeof(Vec3)), 0) << i;
    ASSERT_EQ(std::memcmp(&car.attitude, &other.attitude, sizeof(Quat)), 0) << i;
    ASSERT_EQ(std::memcmp(&car.angularVelocity, &other.angularVelocity, sizeof(Vec3)), 0) << i;
  }
  EXPECT_GT(car.groundSpeed, 3.0f);
}

// A car with two gears and a cubic torque curve, built by hand.
Vehicle& handCar(Vehicle& v) {
  v.torqueOrder = 2;
  v.torqueCoefficients = {-2.0f, 30.0f, 100.0f};  // -2 x^2 + 30 x + 100, x = rpm / 1000
  v.gearCount = 2;
  v.gearRatio = {12.0f, 8.0f};
  v.torqueScale = 1.5f;
  v.initialize();
  v.setUpSystem(kCornerCount);
  v.setTimeStep(kDt);
  return v;
}

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

// One wheel hanging at a chosen height, radius 0.25 m.
struct Contact : testing::Test {
  Vehicle v;
  void SetUp() override {
    handCar(v);
    for (Wheel& w : v.wheel) {
      w.unloadedRadius = 0.25f;
      w.tireSpringRate = 200000.0f;
    }
    TireCoefficients& t = v.tire;
    t.setScaleFactors();
    t[t.nominalLoad] = 4000.0f;
    t[t.pCx1] = 1.6f;
    t[t.pDx1] = 1.0f;
    t[t.pKx1] = 20.0f;
    t[t.pCy1] = 1.3f;
    t[t.pDy1] = 1.0f;
    t[t.pKy1] = 15.0f;
    t[t.pKy2] = 1.5f;
    v.suspension[0].mountPosition = Vec3(1.0f, -0.75f, 0.25f);
  }
  // Places corner 0's centre exactly 0.25 m above the ground, moving down at vz.
  void place(float vz) {
    v.position = Vec3(0.0f, 0.0f, -0.5f);
    v.velocity = Vec3(0.0f, 0.0f, vz);
    v.updateKinematics();
    v.computeCornerForces(1);
  }
};

TEST_F(Contact, AtZeroPenetrationOnlyTheLookAheadMakesContact) {
  place(0.0f);
  EXPECT_EQ(v.wheel[0].normalForce, 0.0f);
  EXPECT_EQ(v.wheel[0].loadedRadius, 0.25f);
  EXPECT_EQ(v.tireForce[0].z, 0.0f);
  place(1.0f);  // 1 mm of travel in the step: in contact with half of it
  EXPECT_NEAR(v.wheel[0].loadedRadius, 0.2495f, 1e-6f);
  EXPECT_GT(v.wheel[0].normalForce, 0.0f);
  EXPECT_LT(v.tireForce[0].z, 0.0f);  // pushes the wheel up
}

TEST(TimeStep, SpinAngleWrapsAgainstTheDoubleConstant) {
  Vehicle v;
  handCar(v);
  std::fill(v.solution.begin(), v.solution.end(), 0.0f);
  const float nearestPi = 3.14159274f;  // above the double 3.1415927
  const float justBelow = 3.1415925f;
  v.wheel[0].spinAngle = nearestPi;
  v.wheel[1].spinAngle = justBelow;
  v.wheel[2].spinAngle = 3.2f;
  v.wheel[3].spinAngle = 10.0f;  // beyond 3 pi: only one correction
  v.updateKinematics();
  v.integrateCorners(kCornerCount);
  // The float nearest pi is above 3.1415927 and is wrapped down to the float
  // -3.14159274, which is below -3.1415927, so the second test wraps it back.
  EXPECT_EQ(float(double(nearestPi) - 6.2831854), -nearestPi);
  EXPECT_EQ(v.wheel[0].spinAngle, nearestPi);
  EXPECT_EQ(v.wheel[1].spinAngle, justBelow);
  EXPECT_EQ(v.wheel[2].spinAngle, float(3.2f - 6.2831854));
  EXPECT_EQ(v.wheel[3].spinAngle, float(10.0f - 6.2831854));
}

TEST(TimeStep, ZeroSolutionKeepsRatesAndPullsTheAttitudeToUnitLength) {
  Vehicle v;
  handCar(v);
  std::fill(v.solution.begin(), v.solution.end(), 0.0f);
  v.velocity = Vec3(3.0f, 0.0f, 0.0f);
  v.updateKinematics();
  v.integrate();
  EXPECT_EQ(v.velocity.x, 3.0f);
  EXPECT_EQ(v.position.x, float(100.0 + float(3.0 * kDt)));
  EXPECT_EQ(v.attitude.w, 1.0f);
  EXPECT_EQ(v.groundSpeed, 3.0f);
  // A long quaternion shrinks, a short one grows.
  v.attitude = Quat(1.01f, 0.0f, 0.0f, 0.0f);
  v.integrate();
  EXPECT_LT(v.attitude.w, 1.01f);
  v.attitude = Quat(0.99f, 0.0f, 0.0f, 0.0f);
  v.integrate();
  EXPECT_GT(v.attitude.w, 0.99f);
}

}  // namespace
}  // namespace vdsim
