// The time step on the example car (free fall, rest, throttle, steer, brake,
// two cars side by side) and the integration against hand-worked values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dynamics/vehicle.h"
#include "numerics/linear_solver.h"
#include "test_cars.h"

namespace vdsim {
namespace {

using testcars::handCar;
using testcars::kDt;
using testcars::setUpExampleCar;

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

// Two cars stepped side by side in one process stay identical bit for bit,
// the other one solving with the literal solver: nothing in a step depends
// on anything but its own Vehicle, nor on the solver's path.
TEST_F(ExampleCar, TwoCarsSideBySideOneOnTheLiteralSolverStayBitIdentical) {
  Vehicle other;
  setUpExampleCar(other);
  other.literalSolver = true;
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
    ASSERT_EQ(std::memcmp(car.solution.data(), other.solution.data(), car.solution.size() * 4), 0)
        << i;
  }
  EXPECT_EQ(other.solvePlan.plansBuilt(), 0);
  EXPECT_GT(car.groundSpeed, 3.0f);
}

// The step keeps the solver's status: a singular system (here the zeroed
// matrix of a car never assembled) prints the solver's message and leaves a
// zero solution; the assembled system of the example car is regular.
TEST_F(ExampleCar, KeepsTheStatusOfEachSolve) {
  testing::internal::CaptureStdout();
  car.solveSystem();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sing. Found At: 0\n");
  EXPECT_EQ(car.solveStatus, kSingular);
  for (float u : car.solution) EXPECT_EQ(u, 0.0f);
  run(0.01f);
  EXPECT_EQ(car.solveStatus, kSolved);
}

// The plan checks only the elements the assembly writes, relying on the
// clear before it: a system solved a second time without being assembled
// again (reduced, with fill-in elsewhere) is solved as the literal solver
// solves it, without the plan.
TEST_F(ExampleCar, ASystemSolvedAgainWithoutAssemblyIsSolvedLiterally) {
  run(4.0f, -0.5f, 0.05f);
  ASSERT_TRUE(car.solvePlan.narrowed());
  car.assembleSystem();
  car.solveSystem();
  const int n = car.unknownCount;
  std::vector<std::vector<float>> copy(n);
  std::vector<float*> rows(n);
  for (int r = 0; r < n; ++r) {
    copy[r].assign(car.systemMatrix[r], car.systemMatrix[r] + n + 1);
    rows[r] = copy[r].data();
  }
  std::vector<float> expected(n, 0.0f);
  testing::internal::CaptureStdout();
  const int status = solveLinearSystemReference(rows.data(), n, expected.data());
  const long built = car.solvePlan.plansBuilt(), left = car.solvePlan.plansLeft();
  const long followed = car.solvePlan.solvesOnPlan();
  car.solveSystem();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(car.solvePlan.plansBuilt(), built);
  EXPECT_EQ(car.solvePlan.plansLeft(), left);
  EXPECT_EQ(car.solvePlan.solvesOnPlan(), followed);
  EXPECT_EQ(car.solveStatus, status);
  EXPECT_EQ(std::memcmp(car.solution.data(), expected.data(), n * sizeof(float)), 0);
  for (int r = 0; r < n; ++r) {
    EXPECT_EQ(std::memcmp(car.systemMatrix[r], copy[r].data(), (n + 1) * sizeof(float)), 0) << r;
  }
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
