// Step steer on yaw responses of known shape: a first-order lag of known
// time constant and a second-order response of known damping, to the right
// and to the left.
#include "measure/step_steer.h"

#include <cmath>

#include "measure_bench.h"

namespace vdsim {
namespace measuretest {
namespace {

// A unit step response from its start, first order (zeta = 0: time constant
// tau) or second order (natural frequency wn, damping ratio zeta < 1).
struct Response {
  const char* name;
  double tau, wn, zeta;
  double operator()(double t) const {
    if (t <= 0.0) return 0.0;
    if (zeta == 0.0) return 1.0 - std::exp(-t / tau);
    const double wd = wn * std::sqrt(1.0 - zeta * zeta);
    return 1.0 - std::exp(-zeta * wn * t) *
                     (std::cos(wd * t) + zeta / std::sqrt(1.0 - zeta * zeta) * std::sin(wd * t));
  }
  // The first time it reaches level, by bisection on its rise.
  double reaches(double level) const {
    double lo = 0.0, hi = 0.0;
    while ((*this)(hi) < level) hi += 0.001;
    lo = hi - 0.001;
    for (int i = 0; i < 60; ++i) ((*this)((lo + hi) / 2) < level ? lo : hi) = (lo + hi) / 2;
    return hi;
  }
};

struct Case {
  Response response;
  float angle;  // deg
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.response.name; }

class StepSteerResponse : public testing::TestWithParam<Case> {};

TEST_P(StepSteerResponse, TimesPeakAndGainsOfAKnownResponse) {
  const Response& r = GetParam().response;
  const float angle = GetParam().angle;
  const double sign = angle < 0.0f ? -1.0 : 1.0;
  const double speed = 20.0, yawGain = 0.15;  // m/s, rad/s per deg
  const double steady = yawGain * angle;      // rad/s
  Bench b;
  b.add(TargetSpeed, {20.0f, 0.25f});  // the clock runs before the step
  b.add(StepSteer, {20.0f, angle, 0.0f, 4.0f});
  b.car.velocity = Vec3(20.0f, 0.0f, 0.0f);
  double stepTime = -1.0, readTime = 0.0;
  b.run([&](double t) {
    // An ideal step: half its command is reached halfway between the update
    // before it and the one that writes it.
    if (stepTime < 0.0 && b.script.currentEvent == 3) stepTime = readTime - kDt / 2.0;
    const double yaw = stepTime < 0.0 ? 0.0 : steady * r(t - stepTime);
    b.car.angularVelocity = Vec3(0.0f, 0.0f, float(yaw));
    b.car.acceleration = Vec3(0.0f, float(speed * yaw), 0.0f);
    readTime = t;
  });
  const double t50 = b.metric(2, "steer_t50_s");
  EXPECT_NEAR(t50, stepTime, 1e-12);
  EXPECT_NEAR(b.metric(2, "road_wheel_angle_steady_deg"), angle, 1e-6);
  // The last second of the hold: settled to a few parts in a million.
  EXPECT_NEAR(b.metric(2, "yaw_rate_steady_radps"), steady, 1e-5 * std::fabs(steady));
  EXPECT_NEAR(b.metric(2, "lat_accel_steady_mps2"), speed * steady,
              1e-5 * speed * std::fabs(steady));
  EXPECT_NEAR(b.metric(2, "yaw_rate_gain_radps_per_deg"), yawGain, 1e-5 * yawGain);
  EXPECT_NEAR(b.metric(2, "lat_accel_gain_g_per_deg"), speed * yawGain / kG,
              1e-5 * speed * yawGain / kG);
  EXPECT_NEAR(b.metric(2, "yaw_rate_response_time_s"), r.reaches(0.9), 1e-5);
  EXPECT_NEAR(b.metric(2, "lat_accel_response_time_s"), r.reaches(0.9), 1e-5);
  if (r.zeta > 0.0) {
    // Peak at pi / wd, overshoot exp(-zeta pi / sqrt(1 - zeta^2)).
    const double root = std::sqrt(1.0 - r.zeta * r.zeta);
    EXPECT_NEAR(b.metric(2, "yaw_rate_peak_response_time_s"), kPi / (r.wn * root), kDt);
    EXPECT_NEAR(b.metric(2, "yaw_rate_overshoot_pct"), 100 * std::exp(-r.zeta * kPi / root), 1e-3);
    EXPECT_NEAR(b.metric(2, "yaw_rate_peak_radps"), steady * (1 + std::exp(-r.zeta * kPi / root)),
                1e-6);
  } else {
    EXPECT_NEAR(b.metric(2, "yaw_rate_overshoot_pct"), 0.0, 1e-4);
  }
  EXPECT_EQ(sign * b.metric(2, "yaw_rate_peak_radps") > 0.0, true);
}

INSTANTIATE_TEST_SUITE_P(Responses, StepSteerResponse,
                         testing::Values(Case{{"first_order", 0.15, 0.0, 0.0}, 2.0f},
                                         Case{{"first_order_left", 0.08, 0.0, 0.0}, -1.5f},
                                         Case{{"second_order", 0.0, 9.0, 0.4}, 1.0f},
                                         Case{{"second_order_left", 0.0, 14.0, 0.7}, -3.0f}),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.response.name);
                         });

TEST(StepSteer, AHoldShorterThanTheSteadyStateWindowGivesNoSteadyState) {
  Bench b;
  b.add(StepSteer, {0.0f, 1.0f, 0.2f, 0.9f});
  b.run([](double) {});
  EXPECT_TRUE(std::isnan(b.metric(1, "yaw_rate_steady_radps")));
  EXPECT_STREQ(b.reason(1, "yaw_rate_gain_radps_per_deg"),
               "the hold is shorter than the 1.0 s its steady state is averaged over");
  EXPECT_FALSE(std::isnan(b.metric(1, "steer_t50_s")));  // the ramp was steered
}

}  // namespace
}  // namespace measuretest
}  // namespace vdsim
