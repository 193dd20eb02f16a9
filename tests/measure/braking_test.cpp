// Braking: a constant deceleration of known distance, and the onset of a
// whole run found at its exact update.
#include "measure/braking.h"

#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "definition/token_reader.h"
#include "measure_bench.h"

namespace vdsim {
namespace measuretest {
namespace {

TEST(Braking, ConstantDecelerationStopsInVSquaredOverTwoD) {
  // Brake at 19.2 m/s from 20 m/s: the speed control brakes at 0.8 until
  // within 0.5 m/s, then the law brakes fully. The car decelerates at 8 m/s^2
  // times the pedal written, and the slip cut leaves the Vehicle's pedal 0.
  constexpr double kDecel = 8.0;
  Bench b;
  b.add(TargetSpeed, {20.0f, 0.25f});
  b.add(Brake, {19.2f});
  double v = 20.0, x = 100.0;
  b.car.velocity = Vec3(20.0f, 0.0f, 0.0f);
  double onsetTime = 0.0, onsetSpeed = 0.0, readTime = 0.0;
  float readSpeed = 20.0f;
  b.run([&](double t) {
    // The Brake is script event 3; the built-in launch's braking is ignored.
    const double pedal = b.script.currentEvent == 3 ? b.script.pedalCommand : 0.0;
    if (pedal >= 1.0 && onsetSpeed == 0.0) {
      onsetTime = readTime;
      onsetSpeed = readSpeed;
    }
    const double a = pedal > 0.0 ? kDecel * pedal : 0.0;
    x += v * kDt - a * kDt * kDt / 2;
    v -= a * kDt;
    b.car.velocity = Vec3(float(v), 0.0f, 0.0f);
    b.car.position = Vec3(float(x), 100.0f, -0.5f);
    b.car.acceleration = Vec3(float(-a), 0.0f, 0.0f);
    b.car.pedal = 0.0f;
    readTime = t;
    readSpeed = b.car.velocity.x;
  });
  ASSERT_GT(onsetSpeed, 0.0);
  EXPECT_LT(onsetSpeed, 19.7);
  EXPECT_GT(onsetTime, b.metric(2, "start_s"));  // inside the event
  EXPECT_EQ(b.metric(2, "braking_start_s"), onsetTime);
  EXPECT_EQ(b.metric(2, "braking_start_speed_mps"), onsetSpeed);
  EXPECT_NEAR(b.metric(2, "stopping_distance_m"), onsetSpeed * onsetSpeed / (2 * kDecel), 1e-4);
  EXPECT_NEAR(b.metric(2, "braking_decel_mean_mps2"), kDecel, 1e-4);
  EXPECT_NEAR(b.metric(2, "braking_decel_end_mps2"), kDecel, 1e-4);
  EXPECT_NEAR(b.metric(2, "braking_decel_peak_mps2"), kDecel, 1e-4);
  EXPECT_LT(b.metric(2, "speed_end_mps"), 1.0);
}

TEST(Braking, NoFullBrakeNoBrakingFigures) {
  Bench b;
  b.add(Brake, {10.0f});
  b.car.velocity = Vec3(0.5f, 0.0f, 0.0f);  // below 1 m/s: done at once
  b.run([](double) {});
  EXPECT_TRUE(std::isnan(b.metric(1, "stopping_distance_m")));
  EXPECT_STREQ(b.reason(1, "braking_start_s"), "the event never wrote a full-brake pedal command");
}

// One state of a whole run as the test records it step by step.
struct TraceStep {
  double time;  // of the state the update read (s)
  float x, y, speed;
  float pedal;     // the command the update wrote
  uint32_t event;  // the script's event
};

TEST(Braking, WholeRunOnsetIsTheFirstFullBrakeUpdateInsideARow) {
  // The default example's car; the hold ends inside a 100-step row.
  Vehicle car;
  EventScript script(car);
  CarChoice choice;
  std::string text =
      "[car] name Sedan timeStep 0.001\n"
      "[event] kind TargetSpeed speed 12 hold 0.5437\n"
      "[event] kind Brake speed 12\n";
  std::string error;
  ASSERT_TRUE(readEventText("Events.ini", text, script, choice, error)) << error;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(VDSIM_SOURCE_DIR "/examples/default"), 0);
  const bool loaded = car.loadCar(choice.baseName, error);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(loaded) << error;
  car.initialize();
  car.setUpSystem(kCornerCount);
  car.setTimeStep(choice.timeStep);
  ManeuverMeter meter(car, script, choice.events);
  meter.start();
  std::vector<TraceStep> trace;
  TraceStep read{script.runTime, car.position.x, car.position.y, length(car.velocity), 0, 0};
  long recorded = 0, onsetRow = -1;
  while (script.update()) {
    read.pedal = script.pedalCommand;
    read.event = script.currentEvent;
    trace.push_back(read);
    if (onsetRow < 0 && read.event == 3 && read.pedal >= 1.0f) onsetRow = recorded % 100;
    if (script.currentEvent > 0) ++recorded;  // as the recorders count their samples
    car.step();
    meter.sample();
    read = {script.runTime, car.position.x, car.position.y, length(car.velocity), 0, 0};
  }
  meter.finish();
  trace.push_back(read);  // the state the last step left

  // The literal trace: the first update of the Brake that writes 1.
  std::size_t onset = 0;
  while (!(trace[onset].event == 3 && trace[onset].pedal >= 1.0f)) ++onset;
  EXPECT_GT(onsetRow, 0);   // neither a row's first step ...
  EXPECT_LT(onsetRow, 99);  // ... nor its last
  const EventMetrics& brake = meter.results()[1];
  EXPECT_EQ(brake.find("braking_start_s")->value, double(float(trace[onset].time)));
  EXPECT_EQ(brake.find("braking_start_speed_mps")->value, trace[onset].speed);
  // Stopping distance from the trace: the path, and the rest of the stop at
  // the deceleration of the last 100 steps.
  double path = 0.0;
  for (std::size_t i = onset; i + 1 < trace.size(); ++i) {
    path += std::hypot(double(trace[i + 1].x) - trace[i].x, double(trace[i + 1].y) - trace[i].y);
  }
  const TraceStep& end = trace.back();
  const TraceStep& before = trace[trace.size() - 101];
  const double decel = (double(before.speed) - end.speed) / (end.time - before.time);
  EXPECT_NEAR(brake.find("stopping_distance_m")->value,
              path + double(end.speed) * end.speed / (2.0 * decel), 1e-9);
  EXPECT_EQ(brake.find("speed_end_mps")->value, end.speed);
}

}  // namespace
}  // namespace measuretest
}  // namespace vdsim
