// Quasi-steady cornering on a turn of known gradients, driven to the right
// and, mirrored, to the left: the left turn's metrics are the right turn's
// to the bit, lateral acceleration and radius negated.
#include "measure/cornering.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "measure_bench.h"

namespace vdsim {
namespace measuretest {
namespace {

constexpr double kUndersteer = 0.3, kRoll = 3.5, kSideslip = -2.0;  // deg/g
constexpr double kWheelbase = 2.7;                                  // m

// A turn of radius sign x 50 m at a speed rising from 10 to 20 m/s, whose
// radius driven wanders up to 7 % off it. Returns the radius driven of each
// quasi-steady step.
std::vector<double> driveTurn(Bench& b, double sign, double wander = 0.07) {
  std::vector<double> quasiSteady;
  for (int p = 0; p < kCornerCount; ++p) {
    b.car.suspension[p].mountPosition.x = float(p < 2 ? 1.2 : 1.2 - kWheelbase);
  }
  b.add(SteerRamp, {10.0f, 20.0f, float(sign * 50.0), float(sign * 50.0), 20.0f});
  b.run([&](double t) {
    const float v = float(10.0 + 0.5 * t);
    const float ay = float(sign * v * v / (50.0 * (1.0 + wander * std::sin(0.9 * t))));
    const double g = std::fabs(double(ay)) / kG, deg = kPi / 180.0;
    // Ackermann angle plus understeer; roll out of the turn; sideslip.
    const double delta =
        sign * (kWheelbase * std::fabs(double(ay)) / (double(v) * v) + kUndersteer * g * deg);
    const Quat q = fromRotationVector(Vec3(float(-sign * kRoll * g * deg), 0.0f, 0.0f));
    const double beta = sign * (0.5 + kSideslip * g) * deg;
    b.car.attitude = q;
    b.car.velocity =
        rotateToWorld(Vec3(float(v * std::cos(beta)), float(v * std::sin(beta)), 0.0f), q);
    b.car.acceleration = Vec3(0.0f, ay, 0.0f);
    b.car.suspension[0].steerAngle = b.car.suspension[1].steerAngle = float(delta);
    const double speed = length(b.car.velocity), driven = speed * speed / ay;
    if (b.script.currentEvent == 2 && std::fabs(driven / (sign * 50.0) - 1.0) <= 0.05 && g >= 0.1 &&
        g <= 0.4) {
      quasiSteady.push_back(driven);
    }
  });
  return quasiSteady;
}

TEST(Cornering, GradientsOfAKnownTurnAndItsMirrorImage) {
  Bench right, left;
  std::vector<double> radii = driveTurn(right, 1.0);
  driveTurn(left, -1.0);
  EXPECT_NEAR(right.metric(1, "understeer_gradient_deg_per_g"), kUndersteer, 1e-5);
  EXPECT_NEAR(right.metric(1, "roll_gradient_deg_per_g"), kRoll, 1e-4);
  EXPECT_NEAR(right.metric(1, "sideslip_gradient_deg_per_g"), kSideslip, 1e-4);
  // From the entry at 10 m/s (2 m/s^2) to the top of the fitted range.
  EXPECT_NEAR(right.metric(1, "fit_from_g"), 2.0 / kG, 1e-3);
  EXPECT_LE(right.metric(1, "fit_to_g"), 0.4);
  EXPECT_GT(right.metric(1, "fit_to_g"), 0.35);
  EXPECT_GT(right.metric(1, "fit_steps"), 1000.0);
  EXPECT_EQ(right.metric(1, "fit_steps"), double(radii.size()));
  // The first stretch within 5 % ends before the speed has risen far.
  EXPECT_GT(right.metric(1, "limit_lat_accel_mps2"), 2.0);
  EXPECT_LT(right.metric(1, "limit_lat_accel_mps2"), 4.0);
  for (const char* key : {"understeer_gradient_deg_per_g", "roll_gradient_deg_per_g",
                          "sideslip_gradient_deg_per_g", "fit_from_g", "fit_to_g", "fit_steps"}) {
    EXPECT_EQ(left.metric(1, key), right.metric(1, key)) << key;
  }
  for (const char* key : {"limit_lat_accel_mps2", "quasi_steady_radius_median_m"}) {
    EXPECT_EQ(left.metric(1, key), -right.metric(1, key)) << key;
  }
}

// The median radius of the quasi-steady steps, as the middle of their sorted
// list; an odd and an even number of them.
TEST(Cornering, MedianRadiusOfTheQuasiSteadySteps) {
  std::size_t parity[2] = {0, 0};
  for (const double wander : {0.07, 0.064}) {
    Bench b;
    std::vector<double> radii = driveTurn(b, 1.0, wander);
    ASSERT_FALSE(radii.empty());
    std::sort(radii.begin(), radii.end());
    const std::size_t half = radii.size() / 2;
    const double median = radii.size() % 2 ? radii[half] : 0.5 * (radii[half - 1] + radii[half]);
    EXPECT_EQ(b.metric(1, "quasi_steady_radius_median_m"), median) << wander;
    ++parity[radii.size() % 2];
  }
  EXPECT_EQ(parity[0], 1u);  // both cases met
}

}  // namespace
}  // namespace measuretest
}  // namespace vdsim
