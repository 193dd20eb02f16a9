// The recorder: gating, averaging in float sums, the CSV text.
#include "output/channel_recorder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver/event_script.h"
#include "dynamics/vehicle.h"

#include "scratch_dir.h"

namespace vdsim {
namespace {

struct Recorder : testing::Test {
  Vehicle car;
  EventScript script{car};
  ScratchDir dir;
  std::string path = dir / "recorder_test.csv";
  std::FILE* stream = std::fopen(path.c_str(), "w");
  ~Recorder() override { std::fclose(stream); }
  std::vector<std::string> lines() {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
};

TEST_F(Recorder, HeaderNamesTheChannelsInOrderWithTrailingCommas) {
  ChannelRecorder rec(car, script, 100);
  rec.defineChannels();
  ASSERT_TRUE(rec.open(stream));
  ASSERT_TRUE(rec.close());
  const auto l = lines();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0],
            "Time (s),Ground Speed (m/s),Engine Speed (rpm),Lat. Accel (m/s2),Long. Accel (m/s2),"
            "Normal Force LF (N),Normal Force RF (N),Normal Force LR (N),Normal Force RR (N),"
            "Suspension Deflection LF (m),Suspension Deflection  RF (m),"
            "Suspension Deflection LR (m),Suspension Deflection RR (m),"
            "Suspension Mount Force LF (N),Suspension Mount Force RF (N),"
            "Suspension Mount Force LR (N),Suspension Mount Force RR (N),"
            "Suspension Mount Moment LF (Nm),Suspension Mount Moment RF (Nm),"
            "Suspension Mount Moment LR (Nm),Suspension Mount Moment RR (Nm),");
}

TEST_F(Recorder, WritesOneRowPerFullBlockAfterTheFirstEvent) {
  ChannelRecorder rec(car, script, 100);
  rec.defineChannels();
  ASSERT_TRUE(rec.open(stream));
  car.groundSpeed = 9.81f;
  car.engineSpeed = 2.0f;
  script.runTime = 1.5f;
  // While the first event is current, samples overwrite slot 0.
  for (int i = 0; i < 500; ++i) rec.sample();
  script.currentEvent = 1;
  for (int i = 0; i < 99; ++i) rec.sample();
  std::fflush(rec.file);
  EXPECT_EQ(lines().size(), 1u);  // header only
  for (int i = 0; i < 151; ++i) rec.sample();  // 250 in all: two rows
  ASSERT_TRUE(rec.close());
  const auto l = lines();
  ASSERT_EQ(l.size(), 3u);
  // The float sum of 100 x 9.81f is 980.99982, not 981.
  EXPECT_EQ(l[1].substr(0, 29), "1.500000,9.809998,2.000000,0.");
  std::stringstream cells(l[2]);
  int count = 0;
  for (std::string cell; std::getline(cells, cell, ',');) ++count;
  EXPECT_EQ(count, 21);
  EXPECT_EQ(l[2].back(), ',');
}

TEST_F(Recorder, OneSamplePerRowWritesEveryStepEvenDuringTheFirstEvent) {
  ChannelRecorder rec(car, script, 1);
  rec.defineChannels();
  ASSERT_TRUE(rec.open(stream));
  for (int i = 0; i < 3; ++i) rec.sample();
  ASSERT_TRUE(rec.close());
  EXPECT_EQ(lines().size(), 4u);
}

TEST_F(Recorder, NamesAreCutTo31Characters) {
  ChannelRecorder rec(car, script, 1);
  rec.reserveAveraged(1);
  rec.reserveInstant(0);
  rec.addAveraged(&car.mass, "A channel name far longer than thirty-one characters");
  EXPECT_EQ(rec.averagedNames[0], "A channel name far longer than ");
}

TEST_F(Recorder, AFailedWriteIsKeptWithItsReason) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IOLBF, 1024);  // as a run's output: one write per line
  ChannelRecorder rec(car, script, 1);
  rec.defineChannels();
  EXPECT_FALSE(rec.open(full));
  EXPECT_TRUE(rec.failed());
  EXPECT_EQ(rec.writeError, ENOSPC);
  rec.sample();
  EXPECT_FALSE(rec.close());
  EXPECT_EQ(rec.writeError, ENOSPC);  // the first failure is the one kept
  std::fclose(full);
}

// A stream that takes its first write and fails every later one.
ssize_t writeOnce(void* cookie, const char*, size_t size) {
  int& writes = *static_cast<int*>(cookie);
  if (writes++ == 0) return ssize_t(size);
  errno = EFBIG;
  return -1;
}

TEST_F(Recorder, ARowThatCannotBeWrittenStopsTheRunAtOnce) {
  // The header goes out; the first row does not. A line-buffered stream
  // takes the row into its buffer and fwrite counts it written although
  // writing it out failed: the row is seen to fail all the same.
  int writes = 0;
  std::FILE* failing = fopencookie(&writes, "w", {nullptr, writeOnce, nullptr, nullptr});
  ASSERT_NE(failing, nullptr);
  std::setvbuf(failing, nullptr, _IOLBF, 1 << 16);
  ChannelRecorder rec(car, script, 1);
  rec.defineChannels();
  ASSERT_TRUE(rec.open(failing));
  rec.sample();
  EXPECT_TRUE(rec.failed());
  EXPECT_EQ(rec.writeError, EFBIG);
  std::fclose(failing);
}

// A cell is what printf's "%f," writes for every kind of value the
// recorder meets and more: signed zeros, infinities, NaNs of both signs,
// subnormals, halfway cases (1/128 is 0.0078125: ties go to even), the
// largest float and double, and across every float exponent both a float
// (an instantaneous value) and a float over 100 (a mean).
TEST(RecorderCell, IsWhatPrintfWritesForEveryKindOfValue) {
  const auto expectSame = [](double v) {
    char expected[400], actual[kCellChars + 1];
    std::snprintf(expected, sizeof expected, "%f,", v);
    *appendCell(actual, v) = '\0';
    ASSERT_STREQ(actual, expected) << std::hexfloat << v;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double v : {0.0, -0.0, inf, -inf, nan, -nan, 0.0078125, -0.0078125, 0.0234375, 2.5e-7,
                   5e-7, 4.9999999999999998e-7, 0.9999995, 999999.9999995, 1e-320, 4.9e-324,
                   double(FLT_MAX), -double(FLT_MAX), double(FLT_MAX) / 100, DBL_MAX, -DBL_MAX,
                   1e300, 9.81, 9.809998}) {
    expectSame(v);
  }
  for (int k = -50; k <= 50; ++k) expectSame(std::ldexp(double(2 * k + 1), -7));  // ties
  std::mt19937 rng(26);
  for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t bits = (rng() & 0x807fffffu) | (exponent << 23);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      expectSame(double(f));
      expectSame(double(f) / 100);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace vdsim
