// Acceleration time on a speed that rises linearly: (90 % of the target -
// start speed) / acceleration, or no value and the reason.
#include "measure/acceleration.h"

#include <cmath>
#include <cstring>

#include "measure_bench.h"

namespace vdsim {
namespace measuretest {
namespace {

struct Launch {
  float startSpeed, target, accel;  // m/s, m/s, m/s^2
  int maxSteps;                     // the run stops after these
  double time;                      // expected accel_time_s; NaN: none
  const char* reason;               // why not
};

TEST(Acceleration, TimeFromTheStartSpeedToNinetyPercentOfTheTarget) {
  const double none = std::nan("");
  const Launch launches[] = {
      // From rest the timing starts at 1 m/s: (18 - 1) / 4.
      {0.0f, 20.0f, 4.0f, 1 << 24, 17.0 / 4.0, ""},
      // Moving, it starts 0.5 m/s above the first update's speed: (22.5 - 2.5) / 5.
      {2.0f, 25.0f, 5.0f, 1 << 24, 20.0 / 5.0, ""},
      // Not more than 2 m/s below the target: no launch.
      {5.0f, 7.0f, 1.0f, 1 << 24, none, "the event starts less than 2 m/s below its target speed"},
      // 90 % of 20 m/s is below 17.9 + 0.5: crossed first.
      {17.9f, 20.0f, 1.0f, 1 << 24, none, "90 % of the target speed is not above the start speed"},
      // The run ends at 15.5 m/s.
      {0.0f, 20.0f, 4.0f, 4 * 1024, none, "the speed never reached 90 % of the target speed"},
  };
  for (const Launch& l : launches) {
    Bench b;
    b.add(TargetSpeed, {l.target, 0.5f});
    double v = l.startSpeed;
    b.car.velocity = Vec3(float(v), 0.0f, 0.0f);
    b.run(
        [&](double) {
          if (b.script.currentEvent < 2) return;  // the launch's step: none
          v = std::fmin(v + l.accel * double(kDt), double(l.target));
          b.car.velocity = Vec3(float(v), 0.0f, 0.0f);
        },
        l.maxSteps);
    const double time = b.metric(1, "accel_time_s");
    if (std::isnan(l.time)) {
      EXPECT_TRUE(std::isnan(time)) << l.reason;
      EXPECT_STREQ(b.reason(1, "accel_time_s"), l.reason);
    } else {
      EXPECT_NEAR(time, l.time, 1e-9);
      EXPECT_EQ(b.metric(1, "accel_to_mps"), 0.9 * l.target);
    }
  }
}

}  // namespace
}  // namespace measuretest
}  // namespace vdsim
