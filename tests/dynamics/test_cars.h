// Cars for the dynamics tests: the default example's and a hand-built one.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "dynamics/vehicle.h"

namespace vdsim {
namespace testcars {

constexpr float kDt = 0.001f;  // the examples' time step (s)

// Loads the default example's car from its own directory and sets it up.
inline void setUpExampleCar(Vehicle& car) {
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

// A car with two gears and a cubic torque curve, built by hand.
inline Vehicle& handCar(Vehicle& v) {
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

}  // namespace testcars
}  // namespace vdsim
