// The extended channels: the same rows as Output.csv, the means and the
// sampled pose, the heading made continuous.
#include "output/extended_recorder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/event_script.h"
#include "dynamics/vehicle.h"
#include "output/channel_recorder.h"

#include "scratch_dir.h"

namespace vdsim {
namespace {

std::vector<std::vector<std::string>> readCsv(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> cells;
    std::stringstream split(line);
    for (std::string cell; std::getline(split, cell, ',');) cells.push_back(cell);
    rows.push_back(cells);
  }
  return rows;
}

// A car held still in a script, sampled by both recorders with 4 samples a row.
struct Extended : testing::Test {
  Vehicle car;
  EventScript script{car};
  ScratchDir dir;
  std::string mainPath = dir / "extended_test_main.csv";
  std::string extendedPath = dir / "extended_test_extended.csv";
  std::FILE* mainStream = std::fopen(mainPath.c_str(), "w");
  std::FILE* extendedStream = std::fopen(extendedPath.c_str(), "w");
  ChannelRecorder main{car, script, 4};
  ExtendedRecorder extended{car, script, 4};

  void SetUp() override {
    car.gearRatio = {10.0f, 5.0f};
    car.gearCount = 2;
    car.initialize();
    car.setTimeStep(0.01f);
    main.defineChannels();
    ASSERT_TRUE(main.open(mainStream));
    ASSERT_TRUE(extended.open(extendedStream));
  }
  void TearDown() override {
    std::fclose(mainStream);
    std::fclose(extendedStream);
  }
  void sample() {
    main.sample();
    extended.sample();
  }
  void finish() {
    ASSERT_TRUE(main.close());
    ASSERT_TRUE(extended.close());
  }
  // Sets the attitude to a yaw angle about world z.
  void yaw(double angle) {
    car.attitude = fromRotationVector(Vec3(0.0f, 0.0f, float(angle)));
  }
};

TEST_F(Extended, HeaderNamesThirtyNineChannelsWithUnits) {
  finish();
  const auto rows = readCsv(extendedPath);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].size(), 39u);
  EXPECT_EQ(rows[0][0], "Time (s)");
  EXPECT_EQ(rows[0][1], "Event (-)");
  EXPECT_EQ(rows[0][9], "Heading (rad)");
  EXPECT_EQ(rows[0][14], "Sideslip (rad)");
  EXPECT_EQ(rows[0][18], "Slip Ratio LF (-)");
  EXPECT_EQ(rows[0][37], "Tire Force Y RR (N)");
  EXPECT_EQ(rows[0][38], "Drive Torque (N m)");
  EXPECT_EQ(extended.header(), rows[0]);
}

TEST_F(Extended, WritesARowExactlyWhereOutputCsvDoesWithTheSameTime) {
  // The settle (event 0) records nothing; then a row every 4 samples.
  for (int i = 0; i < 7; ++i) sample();
  script.currentEvent = 1;
  for (int i = 0; i < 10; ++i) {
    script.runTime = float(0.01 * (i + 1));
    sample();
  }
  finish();
  const auto a = readCsv(mainPath), b = readCsv(extendedPath);
  ASSERT_EQ(a.size(), 3u);  // header and two rows; two samples left over
  ASSERT_EQ(b.size(), a.size());
  for (std::size_t r = 1; r < a.size(); ++r) EXPECT_EQ(b[r][0], a[r][0]);
  EXPECT_EQ(main.rowCount, 2u);
}

TEST_F(Extended, AveragesInFloatSumsAndSamplesThePoseAtTheRowsLastStep) {
  script.addBrake(10.0f);
  script.addTargetSpeed(5.0f, 1.0f);
  script.currentEvent = 3;  // the file's second event
  car.gear = 1;
  const float pedals[4] = {0.1f, 0.2f, 0.3f, 0.7f};
  for (int i = 0; i < 4; ++i) {
    car.pedal = pedals[i];
    car.position = Vec3(float(i), 2.0f * float(i), -0.5f);
    // Heading 0.3 rad after the step; the velocity i m/s to the car's right
    // of 10 m/s ahead. The model's velocityBody, rotated with the attitude
    // before the step, is not what the channels show.
    car.attitude = fromRotationVector(Vec3(0.0f, 0.0f, 0.3f));
    car.velocity = rotateToWorld(Vec3(10.0f, float(i), 0.0f), car.attitude);
    car.velocityBody = Vec3(10.0f, -5.0f, 0.0f);
    sample();
  }
  finish();
  const auto rows = readCsv(extendedPath);
  ASSERT_EQ(rows.size(), 2u);
  const auto& row = rows[1];
  EXPECT_EQ(row[1], "2");  // event 2 of the file
  EXPECT_EQ(row[2], "2");  // gear index 1 is second gear
  // 0.1f + 0.2f + 0.3f + 0.7f in float steps, divided in double.
  float sum = 0.0f;
  for (float p : pedals) sum = float(double(sum) + p);
  char expected[32];
  std::snprintf(expected, sizeof expected, "%.9g", double(sum) / 4);
  EXPECT_EQ(row[6], expected);
  EXPECT_EQ(row[7], "3");  // position x at the last step
  EXPECT_EQ(row[8], "6");
  // Velocity and sideslip in the body axes after the step: the mean of
  // (10, i) and of atan2(i, 10) over the row's steps.
  EXPECT_NEAR(std::stod(row[12]), 10.0, 1e-5);
  EXPECT_NEAR(std::stod(row[13]), 1.5, 1e-5);
  double sideslip = 0.0;
  for (int i = 0; i < 4; ++i) sideslip += std::atan2(i, 10.0) / 4;
  EXPECT_NEAR(std::stod(row[14]), sideslip, 1e-6);
  EXPECT_GT(sideslip, 0.0);  // sliding to the right
}

TEST_F(Extended, HeadingTurnsOnThroughPlusMinusPi) {
  // A car turning right past 180 degrees: the heading goes on to 3.5 rad
  // instead of jumping to -2.78.
  script.currentEvent = 1;
  for (int i = 0; i < 8; ++i) {
    yaw(2.8 + 0.1 * i);  // the attitude's own angle wraps at pi
    sample();
  }
  finish();
  const auto rows = readCsv(extendedPath);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NEAR(std::stod(rows[1][9]), 3.1, 1e-6);
  EXPECT_NEAR(std::stod(rows[2][9]), 3.5, 1e-6);
  EXPECT_NEAR(std::stod(rows[2][10]), 0.0, 1e-6);  // no roll
  EXPECT_NEAR(std::stod(rows[2][11]), 0.0, 1e-6);  // no pitch
}

TEST_F(Extended, RollAndPitchFollowTheBodyAxes) {
  // Right side down is positive roll; nose up is positive pitch.
  script.currentEvent = 1;
  car.attitude = fromRotationVector(Vec3(0.05f, 0.0f, 0.0f));
  for (int i = 0; i < 4; ++i) sample();
  car.attitude = fromRotationVector(Vec3(0.0f, 0.02f, 0.0f));
  for (int i = 0; i < 4; ++i) sample();
  finish();
  const auto rows = readCsv(extendedPath);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NEAR(std::stod(rows[1][10]), 0.05, 1e-6);
  EXPECT_NEAR(std::stod(rows[2][11]), 0.02, 1e-6);
  // Body y after a positive roll points down (world +z).
  EXPECT_GT(rotateToWorld(Vec3(0.0f, 1.0f, 0.0f), fromRotationVector(Vec3(0.05f, 0, 0))).z, 0.0f);
  // Body x after a positive pitch points up (world -z).
  EXPECT_LT(rotateToWorld(Vec3(1.0f, 0.0f, 0.0f), fromRotationVector(Vec3(0, 0.02f, 0))).z, 0.0f);
}

}  // namespace
}  // namespace vdsim
