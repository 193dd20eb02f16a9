// Tire contact with the ground plane.
#include <gtest/gtest.h>

#include "dynamics/vehicle.h"
#include "test_cars.h"

namespace vdsim {
namespace {

using testcars::handCar;
using testcars::kDt;

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

}  // namespace
}  // namespace vdsim
