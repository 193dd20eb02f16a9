// Sine with dwell on a yaw rate that decays at a known rate after the steer,
// and a path of known lateral displacement, both ways round.
#include "measure/sine_dwell.h"

#include <cmath>

#include "measure_bench.h"

namespace vdsim {
namespace measuretest {
namespace {

TEST(SineDwell, RatiosAndDisplacementOfAKnownResponse) {
  for (const float amplitude : {4.0f, -6.0f}) {
    const double sign = amplitude < 0.0f ? -1.0 : 1.0;
    const double f = double(0.7f), dwell = 0.5, decay = 0.6, peak = 0.5;  // Hz, s, s, rad/s
    const double heading = 0.6, ahead = 22.0, sideways = 1.5;             // rad, m/s, m/s^2
    Bench b;
    b.add(TargetSpeed, {22.0f, 0.25f});
    b.add(SineDwell, {22.0f, amplitude, float(f), float(dwell), 2.0f});
    b.car.velocity = Vec3(22.0f, 0.0f, 0.0f);
    b.car.attitude = fromRotationVector(Vec3(0.0f, 0.0f, float(heading)));
    double bos = -1.0, readTime = 0.0;
    const double x0 = 300.0, y0 = 200.0;
    b.run([&](double t) {
      if (bos < 0.0 && b.script.currentEvent == 3) bos = readTime;
      readTime = t;
      if (bos < 0.0) {
        b.car.position = Vec3(float(x0), float(y0), -0.5f);  // where BOS will find the car
        return;
      }
      // The first lobe turns the first way (after a kick the other way that
      // is not the second lobe's), then the second lobe's peak is held
      // until the end of steer and decays from there.
      const double s = t - bos, cos = 1.0 / f + dwell;
      double yaw = s < 0.5 / f ? sign * 0.2 : -sign * peak;
      if (s < 0.1) yaw = -sign * 2 * peak;
      if (s > cos) yaw = -sign * peak * std::exp(-(s - cos) / decay);
      b.car.angularVelocity = Vec3(0.0f, 0.0f, float(yaw));
      // Straight on along the heading at BOS, and sideways towards the first
      // lobe's turn by sideways / 2 s^2.
      const double along = ahead * s, across = sign * 0.5 * sideways * s * s;
      b.car.position =
          Vec3(float(x0 + along * std::cos(heading) - across * std::sin(heading)),
               float(y0 + along * std::sin(heading) + across * std::cos(heading)), -0.5f);
    });
    ASSERT_GE(bos, 0.0);
    EXPECT_EQ(b.metric(2, "steer_begin_s"), bos);
    EXPECT_NEAR(b.metric(2, "steer_complete_s"), bos + 1.0 / f + dwell, 1e-12);
    EXPECT_NEAR(b.metric(2, "yaw_rate_peak_radps"), -sign * peak, 1e-7);
    EXPECT_NEAR(b.metric(2, "yaw_rate_ratio_at_1_00_s_pct"), 100 * std::exp(-1.00 / decay), 1e-4);
    EXPECT_NEAR(b.metric(2, "yaw_rate_ratio_at_1_75_s_pct"), 100 * std::exp(-1.75 / decay), 1e-4);
    EXPECT_NEAR(b.metric(2, "lateral_displacement_at_1_07_s_m"), 0.5 * sideways * 1.07 * 1.07,
                1e-4);
  }
}

TEST(SineDwell, AnEventThatEndsEarlyHasNoLateRatio) {
  Bench b;
  b.add(SineDwell, {0.0f, 3.0f, 1.0f, 0.0f, 1.0f});
  b.run([&](double t) { b.car.angularVelocity = Vec3(0.0f, 0.0f, float(-std::sin(6.28 * t))); });
  EXPECT_FALSE(std::isnan(b.metric(1, "yaw_rate_ratio_at_1_00_s_pct")));
  EXPECT_STREQ(b.reason(1, "yaw_rate_ratio_at_1_75_s_pct"), "the event ended before that time");
}

}  // namespace
}  // namespace measuretest
}  // namespace vdsim
