// Steady sine: responses of known gain and phase, lags beyond 90 deg and a
// first lobe to the left included.
#include "measure/sine_steer.h"

#include <cmath>

#include "measure_bench.h"

namespace vdsim {
namespace measuretest {
namespace {

struct Case {
  float amplitude, frequency;  // deg, Hz
  double yawGain, yawPhase;    // rad/s per deg, deg
  double latGain, latPhase;    // m/s^2 per deg, deg
};

TEST(SineSteer, GainAndPhaseOfResponsesOfKnownGainAndPhase) {
  const Case cases[] = {
      {1.0f, 0.5f, 0.16, -10.0, 4.0, -20.0},
      {2.0f, 2.0f, 0.05, -75.0, 1.0, 30.0},
      {-1.5f, 1.0f, 0.1, -170.0, 2.0, -95.0},
  };
  for (const Case& c : cases) {
    Bench b;
    b.add(TargetSpeed, {20.0f, 0.25f});
    b.add(SineSteer, {20.0f, c.amplitude, c.frequency, 4.0f});
    b.car.velocity = Vec3(20.0f, 0.0f, 0.0f);
    const double w = 2.0 * kPi * c.frequency, deg = kPi / 180.0;
    double entry = -1.0, readTime = 0.0;
    b.run([&](double t) {
      if (entry < 0.0 && b.script.currentEvent == 3) entry = readTime;
      readTime = t;
      if (entry < 0.0) return;
      // Sines in the time since the entry, with an offset of their own.
      const double tau = t - entry;
      const double yaw = c.yawGain * c.amplitude * std::sin(w * tau + c.yawPhase * deg) + 0.01;
      const double lat = c.latGain * c.amplitude * std::sin(w * tau + c.latPhase * deg) - 0.2;
      b.car.angularVelocity = Vec3(0.0f, 0.0f, float(yaw));
      b.car.acceleration = Vec3(0.0f, float(lat), 0.0f);
    });
    EXPECT_EQ(b.metric(2, "sine_fit_periods"), 3.0);
    EXPECT_NEAR(b.metric(2, "road_wheel_amplitude_deg"), std::fabs(c.amplitude), 1e-6);
    EXPECT_NEAR(b.metric(2, "yaw_rate_gain_radps_per_deg"), c.yawGain, 1e-6 * c.yawGain);
    EXPECT_NEAR(b.metric(2, "yaw_rate_phase_deg"), c.yawPhase, 1e-4);
    EXPECT_NEAR(b.metric(2, "lat_accel_gain_g_per_deg"), c.latGain / kG, 1e-6 * c.latGain);
    EXPECT_NEAR(b.metric(2, "lat_accel_phase_deg"), c.latPhase, 1e-4);
  }
}

TEST(SineSteer, FewerThanTwoWholePeriodsAreNotFitted) {
  Bench b;
  b.add(SineSteer, {0.0f, 1.0f, 2.0f, 1.9f});
  b.run([](double) {});
  EXPECT_EQ(b.metric(1, "sine_fit_periods"), 0.0);
  EXPECT_TRUE(std::isnan(b.metric(1, "yaw_rate_phase_deg")));
}

}  // namespace
}  // namespace measuretest
}  // namespace vdsim
