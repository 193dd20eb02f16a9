// What every event measures: where it begins, meets its entry test and
// ends (each event beginning where the one before ended), its peak
// accelerations, and an event the run stopped in or never reached.
#include "measure/maneuver_meter.h"

#include <cmath>

#include "measure_bench.h"

namespace vdsim {
namespace measuretest {
namespace {

TEST(ManeuverMeter, EventsFollowOneAnotherStateByState) {
  Bench b;
  b.add(TargetSpeed, {10.0f, 0.5f});   // entered at once
  b.add(TargetSpeed, {11.5f, 0.25f});  // entered above 11 m/s
  b.add(TargetSpeed, {30.0f, 1.0f});   // the run stops in it
  b.add(Brake, {30.0f});               // never reached
  double x = 100.0;
  b.car.velocity = Vec3(10.0f, 0.0f, 0.0f);
  b.run(
      [&](double t) {
        const double v = 10.0 + t;  // m/s
        x += v * kDt;
        b.car.velocity = Vec3(float(v), 0.0f, 0.0f);
        b.car.position = Vec3(float(x), 100.0f, -0.5f);
        // Turning right a little, then left harder: the peak is the left one.
        b.car.acceleration = Vec3(1.0f, float(2.0 * std::sin(10.0 * t) - 0.5), 0.0f);
      },
      3 * 1024);
  for (int n = 1; n <= 2; ++n) {
    EXPECT_EQ(b.metric(n, "end_s"), b.metric(n + 1, "start_s"));
    EXPECT_EQ(b.metric(n, "end_x_m"), b.metric(n + 1, "start_x_m"));
    EXPECT_EQ(b.metric(n, "speed_end_mps"), b.metric(n + 1, "speed_start_mps"));
  }
  EXPECT_EQ(b.metric(1, "start_s"), 0.0);
  EXPECT_EQ(b.metric(1, "entry_s"), 0.0);
  EXPECT_EQ(b.metric(1, "speed_entry_mps"), 10.0);
  // The first state within 0.5 m/s of 11.5 m/s: above 11, by at most a step.
  EXPECT_GT(b.metric(2, "speed_entry_mps"), 11.0);
  EXPECT_LE(b.metric(2, "speed_entry_mps"), 11.0 + kDt);
  EXPECT_NEAR(b.metric(2, "entry_s"), b.metric(2, "speed_entry_mps") - 10.0, 1e-6);
  EXPECT_NEAR(b.metric(1, "lat_accel_peak_mps2"), -2.5, 1e-4);  // sampled at each step
  EXPECT_EQ(b.metric(1, "long_accel_peak_mps2"), 1.0);
  EXPECT_EQ(b.metric(1, "start_y_m"), 100.0);
  // Stopped in the third, before the fourth.
  EXPECT_TRUE(std::isnan(b.metric(3, "end_s")));
  EXPECT_STREQ(b.reason(3, "end_s"), "the run ended before the event finished");
  EXPECT_TRUE(std::isnan(b.metric(3, "entry_s")));
  EXPECT_STREQ(b.reason(3, "entry_s"), "the entry test was never met");
  EXPECT_TRUE(b.meter->results()[2].ran);
  EXPECT_FALSE(b.meter->results()[3].ran);
  EXPECT_TRUE(b.meter->results()[3].values.empty());
  EXPECT_EQ(b.meter->results()[3].number, 4);
}

}  // namespace
}  // namespace measuretest
}  // namespace vdsim
