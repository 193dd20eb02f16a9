// How runs end: statuses and record names of each end, the singular-step
// count, and the progress line's text.
#include "driver/run_end.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/progress.h"

namespace vdsim {
namespace {

TEST(RunEnd, EachEndThatKeepsTheRowsHasItsStatusAndRecordName) {
  struct Case {
    End end;
    int status;
    const char* name;
  } cases[] = {{End::Finished, 0, "finished"},
               {End::Diverged, 3, "diverged"},
               {End::Singular, 3, "singular"},
               {End::Clock, 4, "clock"},
               {End::MaxTime, 4, "max-time"}};
  for (const Case& c : cases) {
    EXPECT_EQ(endStatus(c.end), c.status) << c.name;
    EXPECT_STREQ(endName(c.end), c.name);
  }
}

// Only singular steps in a row end a run: one regular step starts the
// count afresh, and the row's start is that of its first step.
TEST(RunEnd, OnlyAThousandSingularStepsInARowEndARun) {
  SingularSteps singular;
  double t = 0.0;
  auto steps = [&](int count, bool isSingular) {
    for (int i = 0; i < count; ++i, t += 0.001) {
      if (singular.note(isSingular, t)) return i + 1;
    }
    return 0;
  };
  EXPECT_EQ(steps(999, true), 0);
  EXPECT_EQ(steps(1, false), 0);
  EXPECT_EQ(steps(999, true), 0);
  EXPECT_EQ(singular.total, 1998u);
  EXPECT_EQ(steps(5, false), 0);
  const double start = t;
  EXPECT_EQ(steps(2000, true), SingularSteps::kLimit);
  EXPECT_EQ(singular.since, start);
  EXPECT_EQ(singular.total, 2998u);
}

TEST(RunEnd, TheProgressLineSaysTimeEventAndSpeed) {
  EXPECT_EQ(progressText(12.345, "Events.ini:20 SteerRamp", 0.5),
            "vdsim: 12.3 s simulated, Events.ini:20 SteerRamp, 25x real time");
  EXPECT_EQ(progressText(3.0, "the built-in settle", 1.25),
            "vdsim: 3.0 s simulated, the built-in settle, 2.4x real time");
  // Off, it never reads the clock; on, not before its first second.
  ProgressLine off(false, std::chrono::steady_clock::now() - std::chrono::seconds(5));
  ProgressLine on(true, std::chrono::steady_clock::now() - std::chrono::seconds(5));
  ProgressLine early(true, std::chrono::steady_clock::now());
  int offDue = 0, onDue = 0, earlyDue = 0;
  for (std::uint32_t i = 0; i < 4 * ProgressLine::kStepsPerLook; ++i) {
    offDue += off.due();
    onDue += on.due();
    earlyDue += early.due();
  }
  EXPECT_EQ(offDue, 0);
  EXPECT_EQ(onDue, 1);  // then not again within kInterval
  EXPECT_EQ(earlyDue, 0);
}

}  // namespace
}  // namespace vdsim
