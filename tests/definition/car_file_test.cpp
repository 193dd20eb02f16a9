#include "definition/car_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "dynamics/vehicle.h"

namespace vdsim {
namespace {

// One corner section; n (1..4) makes each corner's values distinct.
// clang-format off
std::string cornerText(int n) {
  const std::string d = std::to_string(n);
  return "[corner]\n"
         "wheelInertia 0.5 1." + d + " 0.7\n"
         "mount " + d + ".25 -0.5 0.3\n"
         "radius 0.3\n"
         "unsprung 3" + d + "\n"
         "wheelMass 1" + d + "\n"
         "spring 2000" + d + "\n"
         "damper 150" + d + "\n"
         "tireSpring 20000" + d + "\n"
         "tireDamper 50" + d + "\n"
         "reserved " + d + "\n"
         "brake 100" + d + "\n";
}
// clang-format on

// A well-formed car file: chassis, powertrain, four corners, with free text.
std::string carText() {
  std::string text =
      "A test car; free text is skipped.\n"
      "[car]\n"
      "inertia 400 1500 1600\n"
      "mass 1000\n"
      "drag 0.7\n"
      "downforce 0.1\n"
      "arbFront 12000\n"
      "arbRear 6000\n"
      "reserved 7\n"
      "more free text between sections\n"
      "[powertrain]\n"
      "order 2\n"
      "-2 20 100\n"
      "maxRpm 6000\n"
      "shiftDown 3000\n"
      "gears 3\n"
      "12 8 5\n";
  for (int n = 1; n <= 4; ++n) text += cornerText(n);
  return text;
}

// The text with the first occurrence of from (searched from the marker on)
// replaced by to.
std::string replaced(std::string text, const std::string& from, const std::string& to,
                     const std::string& after = "") {
  const std::size_t start = after.empty() ? 0 : text.find(after);
  const std::size_t at = text.find(from, start);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

// 1-based line of the first occurrence of needle.
int lineOf(const std::string& text, const std::string& needle) {
  const std::size_t at = text.find(needle);
  EXPECT_NE(at, std::string::npos) << needle;
  int line = 1;
  for (std::size_t i = 0; i < at; ++i) line += text[i] == '\n';
  return line;
}

std::string carError(const std::string& text) {
  Vehicle car;
  std::string error;
  EXPECT_FALSE(readCarText(car, "T.ini", text, error));
  return error;
}

const char kParams[] =
    "[params]\n"
    "massScale 1\n"
    "wheelbase 2.6\n"
    "front 0.5\n"
    "frontTrack 1.5\n"
    "rearTrack 1.4\n"
    "torqueScale 1.25\n"
    "aeroScale 2\n"
    "frontFreq 1.5\n"
    "frontZeta 0.3\n"
    "rearFreq 1.5\n"
    "rearZeta 0.3\n";

// --- Car file ---

TEST(CarFile, ReadsEveryItemInOrder) {
  Vehicle car;
  std::string error;
  ASSERT_TRUE(readCarText(car, "T.ini", carText(), error)) << error;
  EXPECT_EQ(car.inertia[0][0], 400.0f);
  EXPECT_EQ(car.inertia[1][1], 1500.0f);
  EXPECT_EQ(car.inertia[2][2], 1600.0f);
  EXPECT_EQ(car.inertia[0][1], 0.0f);
  EXPECT_EQ(car.mass, 1000.0f);
  EXPECT_EQ(car.dragFactor, 0.7f);
  EXPECT_EQ(car.downforceFactor, 0.1f);
  EXPECT_EQ(car.antiRollRateFront, 12000.0f);
  EXPECT_EQ(car.antiRollRateRear, 6000.0f);
  EXPECT_EQ(car.chassisReserved, 7);
  EXPECT_EQ(car.torqueOrder, 2);
  EXPECT_EQ(car.torqueCoefficients, (std::vector<float>{-2.0f, 20.0f, 100.0f}));
  EXPECT_EQ(car.maxEngineSpeed, 6000.0f);
  EXPECT_EQ(car.shiftDownEngineSpeed, 3000.0f);
  EXPECT_EQ(car.gearCount, 3);
  EXPECT_EQ(car.gearRatio, (std::vector<float>{12.0f, 8.0f, 5.0f}));
  for (int p = 0; p < kCornerCount; ++p) {
    const int n = p + 1;  // the corners fill LF, RF, LR, RR in file order
    const Suspension& s = car.suspension[p];
    const Wheel& w = car.wheel[p];
    EXPECT_EQ(w.wheelInertia[0][0], 0.5f);
    EXPECT_EQ(w.wheelInertia[1][1], std::stof("1." + std::to_string(n)));
    EXPECT_EQ(w.wheelInertia[2][2], 0.7f);
    EXPECT_EQ(w.wheelInertia[1][0], 0.0f);
    EXPECT_EQ(s.mountPosition.x, n + 0.25f);
    EXPECT_EQ(s.mountPosition.y, -0.5f);
    EXPECT_EQ(s.mountPosition.z, 0.3f);
    EXPECT_EQ(w.unloadedRadius, 0.3f);
    EXPECT_EQ(s.unsprungMass, 30.0f + n);
    EXPECT_EQ(w.wheelMass, 10.0f + n);
    EXPECT_EQ(s.springRate, 20000.0f + n);
    EXPECT_EQ(s.damperRate, 1500.0f + n);
    EXPECT_EQ(w.tireSpringRate, 200000.0f + n);
    EXPECT_EQ(w.tireDamperRate, 500.0f + n);
    EXPECT_EQ(w.wheelReserved, n);
    EXPECT_EQ(s.brakeTorqueGain, 1000.0f + n);
  }
}

TEST(CarFile, LineBreaksAndKeysCarryNoMeaning) {
  // All on one line, with other keys: the same car.
  std::string oneLine = carText();
  for (char& c : oneLine) {
    if (c == '\n') c = ' ';
  }
  oneLine = replaced(oneLine, "mass", "KEY");
  Vehicle a, b;
  std::string error;
  ASSERT_TRUE(readCarText(a, "T.ini", carText(), error));
  ASSERT_TRUE(readCarText(b, "T.ini", "\t\r\n" + oneLine, error)) << error;
  EXPECT_EQ(a.mass, b.mass);
  EXPECT_EQ(a.gearRatio, b.gearRatio);
  EXPECT_EQ(a.suspension[3].brakeTorqueGain, b.suspension[3].brakeTorqueGain);
}

TEST(CarFile, IntegersTakeBasePrefixes) {
  Vehicle car;
  std::string error;
  std::string text = replaced(carText(), "reserved 7", "reserved 010");
  text = replaced(text, "reserved 2", "reserved 0x1F");
  text = replaced(text, "order 2\n-2 20 100", "order 02\n-2 20 100");
  ASSERT_TRUE(readCarText(car, "T.ini", text, error)) << error;
  EXPECT_EQ(car.chassisReserved, 8);
  EXPECT_EQ(car.wheel[1].wheelReserved, 31);
  EXPECT_EQ(car.torqueOrder, 2);
}

TEST(CarFile, RepeatedSectionsOverwriteWithAWarning) {
  Vehicle car;
  std::string error;
  InputLog log;
  const std::string text = carText() +
                           "[car] i 1 2 3 m 900 d 0.5 f 0.2 a 1 b 2 r 3\n"
                           "[powertrain] order 0 250 max 7000 down 3500 gears 5 5 4 3 2 1\n"
                           "[car] i 1 2 3 m 900 d 0.5 f 0.2 a 1 b 2 r 3\n";
  ASSERT_TRUE(readCarText(car, "T.ini", text, error, &log)) << error;
  EXPECT_EQ(log.warnings, (std::vector<std::string>{
                              "T.ini:66: a second [car] section replaces the one at line 2",
                              "T.ini:67: a second [powertrain] section replaces the one at line 11",
                              "T.ini:68: another [car] section replaces the one at line 66"}));
  EXPECT_EQ(car.mass, 900.0f);
  EXPECT_EQ(car.inertia[2][2], 3.0f);
  EXPECT_EQ(car.chassisReserved, 3);
  // Order 0: one coefficient, a constant torque curve.
  EXPECT_EQ(car.torqueOrder, 0);
  EXPECT_EQ(car.torqueCoefficients, (std::vector<float>{250.0f}));
  EXPECT_EQ(car.gearCount, 5);
  EXPECT_EQ(car.gearRatio, (std::vector<float>{5.0f, 4.0f, 3.0f, 2.0f, 1.0f}));
}

TEST(CarFile, OnlyExactHeadersStartSections) {
  // "[Car]" and "[ car]" are free text; tokens after a section's last item
  // are skipped.
  Vehicle car;
  std::string error;
  const std::string text =
      "[Car] i 1 2 3 m 5 [ car] x\n" + carText() + "trailing 1 2 3 [CORNER] [corner ]";
  ASSERT_TRUE(readCarText(car, "T.ini", text, error)) << error;
  EXPECT_EQ(car.mass, 1000.0f);
}

TEST(CarFile, MissingSectionsNameWhereTheReaderGaveUp) {
  // At the end of the file, with the nearest thing to the missing marker.
  const std::string end = "T.ini:65: ";
  EXPECT_EQ(carError(replaced(carText(), "[car]", "[Car]")),
            end + "no [car] section (chassis inertia, mass, aerodynamics, anti-roll bars); line "
                  "2 has \"[Car]\"; section markers are matched exactly (lower case, no blanks)");
  EXPECT_EQ(carError(replaced(carText(), "[powertrain]", "powertrain")),
            end + "no [powertrain] section (torque curve, engine speeds, gear ratios); the last "
                  "section read is [corner] at line 54");
  const std::string threeCorners = replaced(carText(), "[corner]", "corner");
  EXPECT_EQ(carError(threeCorners),
            end + "3 [corner] sections (a car needs four, one per corner: LF, RF, LR, RR); the "
                  "last section read is [corner] at line 54");
  std::string oneCorner = threeCorners;
  oneCorner = replaced(oneCorner, "[corner]", "corner");
  oneCorner = replaced(oneCorner, "[corner]", "[corner_]");
  EXPECT_EQ(carError(oneCorner),
            end + "1 [corner] section (a car needs four, one per corner: LF, RF, LR, RR); line "
                  "42 has \"[corner_]\"; section markers are matched exactly (lower case, no "
                  "blanks)");
  EXPECT_EQ(carError(""),
            "T.ini:1: no [car] section (chassis inertia, mass, aerodynamics, anti-roll bars); "
            "the file has no section marker at all");
}

TEST(CarFile, FifthCornerIsAnError) {
  const std::string text = carText() + "\n" + cornerText(5);
  EXPECT_EQ(carError(text),
            "T.ini:" + std::to_string(lineOf(text, "[corner]\nwheelInertia 0.5 1.5")) +
                ": [corner] 5: a car has four corners (LF, RF, LR, RR); a fifth [corner] "
                "section is not allowed");
}

TEST(CarFile, ValuesThatDoNotConvertNameTheItem) {
  struct Case {
    std::string from, to, after, message;
  };
  const Case cases[] = {
      {"spring 20003", "spring abc", "", "[corner] 3, item 6: expected a number for spring, found \"abc\""},
      {"0.5 1.1 0.7", "0.5 1.1 -", "",
       "[corner] 1, item 1, value 3 of 3: expected a number for wheelInertia, found \"-\""},
      {"400 1500", "400 x1500", "",
       "[car], item 1, value 2 of 3: expected a number for inertia, found \"x1500\""},
      {"reserved 7", "reserved 7.5", "", "[car], item 7: expected an integer for reserved, found \"7.5\""},
      {"mass 1000", "mass 1e999", "", "[car], item 2: expected a finite number for mass, found \"1e999\""},
      {"-2 20 100", "-2 2O 100", "",
       "[powertrain], item 2, value 2 of 3: expected a number, "
       "found \"2O\""},
      {"12 8 5", "12 8 five", "",
       "[powertrain], item 6, value 3 of 3: expected a number, "
       "found \"five\""},
      {"gears 3", "gears three", "",
       "[powertrain], item 5: expected an integer for gears, found \"three\""},
      {"brake 1004", "brake 1,004", "",
       "[corner] 4, item 11: expected a number for brakeGain, found \"1,004\""},
      {"reserved 2", "reserved 99999999999", "",
       "[corner] 2, item 10: integer out of range: "
       "\"99999999999\""},
  };
  for (const Case& c : cases) {
    const std::string text = replaced(carText(), c.from, c.to, c.after);
    EXPECT_EQ(carError(text), "T.ini:" + std::to_string(lineOf(text, c.to)) + ": " + c.message);
  }
}

// A missing line shifts every later value onto the item before its own; the
// error it leads to says where the keys stopped matching.
TEST(CarFile, AMissingLineIsNamedWhereTheShiftBegan) {
  const std::string text = replaced(carText(), "spring 20003\n", "");
  EXPECT_EQ(carError(text),
            "T.ini:" + std::to_string(lineOf(text, "wheelInertia 0.5 1.4")) +
                ": [corner] 3, item 11: expected a number for brakeGain, found \"wheelInertia\" "
                "(line " + std::to_string(lineOf(text, "damper 1503")) +
                " has the key \"damper\" where spring was expected: is a line missing above it?)");
}

TEST(CarFile, LongTokenIsAnError) {
  const std::string key(64, 'k');
  std::string text = replaced(carText(), "drag 0.7", key + " 0.7");
  EXPECT_EQ(carError(text),
            "T.ini:5: [car], item 3: token longer than 63 characters: "
            "\"kkkkkkkkkkkkkkkkkkkkkkkk\"...");
  // 63 characters are fine.
  Vehicle car;
  std::string error;
  EXPECT_TRUE(
      readCarText(car, "T.ini", replaced(carText(), "drag 0.7", key.substr(1) + " 0.7"), error))
      << error;
  // Free text between sections is subject to the same limit.
  EXPECT_EQ(carError(key + "\n" + carText()),
            "T.ini:1: token longer than 63 characters: \"kkkkkkkkkkkkkkkkkkkkkkkk\"...");
}

TEST(CarFile, FileCutShortIsAnError) {
  const std::string full = carText();
  const std::string lastLine = "brake 1004\n";
  ASSERT_EQ(full.substr(full.size() - lastLine.size()), lastLine);
  EXPECT_EQ(carError(full.substr(0, full.size() - 5)),
            "T.ini:" + std::to_string(lineOf(full, lastLine)) +
                ": [corner] 4, item 11: file ends before this value");
  EXPECT_EQ(carError("[car] inertia 1 2"),
            "T.ini:1: [car], item 1, value 3 of 3: file ends "
            "before this value");
  EXPECT_EQ(carError("[powertrain] order 3 1 2\n"),
            "T.ini:1: [powertrain], item 2, value 3 of 4: file ends before this value");
}

TEST(CarFile, TorqueOrderAndGearCountAreBounded) {
  const std::string order = "order 2\n-2 20 100";
  EXPECT_EQ(carError(replaced(carText(), order, "order -1\n-2 20 100")),
            "T.ini:12: [powertrain], item 1: the torque order must be from 0 to 64, found -1");
  EXPECT_EQ(carError(replaced(carText(), order, "order 65\n-2 20 100")),
            "T.ini:12: [powertrain], item 1: the torque order must be from 0 to 64, found 65");
  // Checked before anything is allocated.
  EXPECT_EQ(carError(replaced(carText(), order, "order 2000000000\n-2 20 100")),
            "T.ini:12: [powertrain], item 1: the torque order must be from 0 to 64, found "
            "2000000000");
  EXPECT_EQ(carError(replaced(carText(), "gears 3", "gears 0")),
            "T.ini:16: [powertrain], item 5: the gear count must be from 1 to 64, found 0");
  EXPECT_EQ(carError(replaced(carText(), "gears 3", "gears 0x41")),
            "T.ini:16: [powertrain], item 5: the gear count must be from 1 to 64, found 65");
  EXPECT_EQ(carError(replaced(carText(), "gears 3", "gears -3")),
            "T.ini:16: [powertrain], item 5: the gear count must be from 1 to 64, found -3");

  // The bounds themselves are allowed.
  std::string ones;
  for (int i = 0; i < 65; ++i) ones += "1 ";
  const std::string text = replaced(carText(), order, "order 64\n" + ones);
  Vehicle car;
  std::string error;
  ASSERT_TRUE(readCarText(car, "T.ini", text, error)) << error;
  EXPECT_EQ(car.torqueCoefficients.size(), 65u);
}

// --- Parameter file ---

TEST(ParamsFile, ALaterSectionReplacesAnEarlierOneWithAWarning) {
  CarParams params;
  std::string error;
  InputLog log;
  const std::string text =
      std::string(kParams) + "\n" + replaced(kParams, "wheelbase 2.6", "wheelbase 3");
  ASSERT_TRUE(readParamsText(params, "T.params", text, error, &log)) << error;
  EXPECT_EQ(params.wheelbase, 3.0f);
  EXPECT_EQ(log.warnings, (std::vector<std::string>{
                              "T.params:14: a second [params] section replaces the one at line 1"}));
}

TEST(ParamsFile, ReadsTheElevenValues) {
  CarParams params;
  std::string error;
  ASSERT_TRUE(
      readParamsText(params, "T.params", std::string("free text\n") + kParams + "more", error))
      << error;
  EXPECT_EQ(params.massScale, 1.0f);
  EXPECT_EQ(params.wheelbase, 2.6f);
  EXPECT_EQ(params.frontWeightFraction, 0.5f);
  EXPECT_EQ(params.frontTrack, 1.5f);
  EXPECT_EQ(params.rearTrack, 1.4f);
  EXPECT_EQ(params.torqueScale, 1.25f);
  EXPECT_EQ(params.aeroScale, 2.0f);
  EXPECT_EQ(params.frontRideFrequency, 1.5f);
  EXPECT_EQ(params.frontDampingRatio, 0.3f);
  EXPECT_EQ(params.rearRideFrequency, 1.5f);
  EXPECT_EQ(params.rearDampingRatio, 0.3f);
}

TEST(ParamsFile, BadFilesAreErrors) {
  CarParams params;
  std::string error;
  EXPECT_FALSE(readParamsText(params, "T.params", "massScale 1 wheelbase 2.6", error));
  EXPECT_EQ(error,
            "T.params:1: no [params] section (mass scale, wheelbase, weight split, tracks, "
            "torque and aero scales, ride frequencies, damping ratios); the file has no "
            "section marker at all");
  EXPECT_FALSE(readParamsText(params, "T.params", "[Params] 1\n2 3", error));
  EXPECT_EQ(error, "T.params:2: no [params] section (mass scale, wheelbase, weight split, "
                   "tracks, torque and aero scales, ride frequencies, damping ratios); line 1 "
                   "has \"[Params]\"; section markers are matched exactly (lower case, no "
                   "blanks)");
  // Ten values.
  std::string ten = kParams;
  ten = ten.substr(0, ten.find("rearZeta"));
  EXPECT_FALSE(readParamsText(params, "T.params", ten, error));
  EXPECT_EQ(error, "T.params:11: [params], item 11: file ends before this value");
  EXPECT_FALSE(
      readParamsText(params, "T.params", replaced(kParams, "front 0.5", "front half"), error));
  EXPECT_EQ(error, "T.params:4: [params], item 3: expected a number for frontWeightFraction, found "
                   "\"half\"");
}

// A car read from carText() with parameters applied.
class Derivation : public ::testing::Test {
 protected:
  void load(const std::string& paramsText) {
    std::string error;
    ASSERT_TRUE(readCarText(car, "T.ini", carText(), error)) << error;
    CarParams params;
    ASSERT_TRUE(readParamsText(params, "T.params", paramsText, error)) << error;
    applyParams(car, params);
  }
  Vehicle car;
};

TEST_F(Derivation, WorkedSpringAndDamperRates) {
  load(kParams);
  // mass 1000, fraction 0.5, 1.5 Hz, damping ratio 0.3.
  EXPECT_NEAR(car.suspension[0].springRate, 22206.61f, 0.005f);
  EXPECT_NEAR(car.suspension[0].damperRate, 1413.72f, 0.005f);
  // To the bit: the square of the unrounded 2 pi f (rounding 2 pi f first
  // would give 22206.6094).
  EXPECT_EQ(car.suspension[0].springRate, 22206.6113f);
  EXPECT_EQ(car.suspension[0].damperRate, 1413.7168f);
  // Pairs are equal; here the rear equals the front too.
  for (int p = 1; p < kCornerCount; ++p) {
    EXPECT_EQ(car.suspension[p].springRate, car.suspension[0].springRate) << p;
    EXPECT_EQ(car.suspension[p].damperRate, car.suspension[0].damperRate) << p;
  }
  EXPECT_EQ(car.torqueScale, 1.25f);
}

TEST_F(Derivation, FrontAndRearUseTheirOwnShare) {
  // 60 % on the front: the rear corner carries 0.5 * 1000 * 0.4 kg at 2 Hz.
  std::string text = replaced(kParams, "front 0.5", "front 0.6");
  text = replaced(text, "rearFreq 1.5", "rearFreq 2");
  text = replaced(text, "rearZeta 0.3", "rearZeta 0.25");
  load(text);
  const double w = 6.2831854 * 2.0;
  const double rear = w * w * 0.5 * 1000 * (1.0 - 0.6f);
  EXPECT_NEAR(car.suspension[2].springRate, rear, 0.01);
  EXPECT_NEAR(car.suspension[3].damperRate, 2 * 0.25 * std::sqrt(1000 * 0.5 * 0.4 * rear), 0.01);
  const double wf = 6.2831854 * 1.5;
  EXPECT_NEAR(car.suspension[1].springRate, wf * wf * 0.5 * 1000 * 0.6f, 0.01);
  EXPECT_EQ(car.suspension[2].springRate, car.suspension[3].springRate);
  EXPECT_EQ(car.suspension[0].damperRate, car.suspension[1].damperRate);
}

TEST_F(Derivation, MountsFollowWheelbaseAndTracks) {
  load(kParams);
  EXPECT_EQ(car.suspension[0].mountPosition.x, 1.3f);
  EXPECT_EQ(car.suspension[1].mountPosition.x, 1.3f);
  EXPECT_EQ(car.suspension[2].mountPosition.x, -1.3f);
  EXPECT_EQ(car.suspension[3].mountPosition.x, -1.3f);
  EXPECT_EQ(car.suspension[0].mountPosition.y, -0.75f);
  EXPECT_EQ(car.suspension[1].mountPosition.y, 0.75f);
  EXPECT_EQ(car.suspension[2].mountPosition.y, -0.7f);
  EXPECT_EQ(car.suspension[3].mountPosition.y, 0.7f);
  for (int p = 0; p < kCornerCount; ++p) EXPECT_EQ(car.suspension[p].mountPosition.z, 0.3f);
}

TEST_F(Derivation, MassScaleComesFirstAndDoublesTheRates) {
  load(kParams);
  const float spring = car.suspension[0].springRate, damper = car.suspension[2].damperRate;
  Vehicle& single = car;
  Vehicle doubled;
  std::string error;
  ASSERT_TRUE(readCarText(doubled, "T.ini", carText(), error));
  CarParams params;
  ASSERT_TRUE(
      readParamsText(params, "T.params", replaced(kParams, "massScale 1", "massScale 2"), error));
  applyParams(doubled, params);
  EXPECT_EQ(doubled.suspension[0].springRate, 2.0f * spring);
  EXPECT_EQ(doubled.suspension[2].damperRate, 2.0f * damper);
  EXPECT_EQ(doubled.mass, 2000.0f);
  EXPECT_EQ(doubled.inertia[1][1], 2.0f * single.inertia[1][1]);
  EXPECT_EQ(doubled.inertia[0][1], 0.0f);
  for (int p = 0; p < kCornerCount; ++p) {
    EXPECT_EQ(doubled.suspension[p].unsprungMass, 2.0f * single.suspension[p].unsprungMass);
    EXPECT_EQ(doubled.wheel[p].wheelMass, 2.0f * single.wheel[p].wheelMass);
    EXPECT_EQ(doubled.wheel[p].wheelInertia[1][1], 2.0f * single.wheel[p].wheelInertia[1][1]);
    // Not masses: untouched.
    EXPECT_EQ(doubled.wheel[p].tireSpringRate, single.wheel[p].tireSpringRate);
    EXPECT_EQ(doubled.suspension[p].brakeTorqueGain, single.suspension[p].brakeTorqueGain);
  }
  EXPECT_EQ(doubled.antiRollRateFront, single.antiRollRateFront);
}

TEST_F(Derivation, AeroScaleScalesDragAndDownforce) {
  load(kParams);
  EXPECT_EQ(car.dragFactor, float(double(0.7f) * 2.0));
  EXPECT_EQ(car.downforceFactor, float(double(0.1f) * 2.0));
}

// --- Whole loads from files in a scratch working directory ---

// Runs the test in a fresh temporary directory, restoring the old one after.
class CarOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vdsim-car-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldDir_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(oldDir_.c_str()), 0);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  static std::string tireText() {
    std::string text;
    for (int i = 0; i < 74; ++i) text += std::to_string(i + 1) + "\n";
    return text;
  }
  std::string dir_, oldDir_;
};

TEST_F(CarOnDisk, LoadsCarParamsAndTire) {
  write("Test.ini", carText());
  write("Test.params", kParams);
  write("Goodyear2692x7.pkj", tireText());
  Vehicle car;
  std::string error;
  ASSERT_TRUE(car.loadCar("Test", error)) << error;
  EXPECT_EQ(car.suspension[0].springRate, 22206.6113f);
  EXPECT_EQ(car.suspension[3].mountPosition.x, -1.3f);
  EXPECT_EQ(car.torqueScale, 1.25f);
  EXPECT_EQ(car.dragFactor, float(double(0.7f) * 2.0));
  EXPECT_EQ(car.tire[TireCoefficients::pCx1], 1.0f);
  EXPECT_EQ(car.tire[TireCoefficients::rVy6], 74.0f);
  EXPECT_EQ(car.tire[TireCoefficients::frictionScaleX], 0.85f);
}

TEST_F(CarOnDisk, WithoutParamsTheCarFileStands) {
  write("Test.ini", carText());
  write("Goodyear2692x7.pkj", tireText());
  Vehicle car;
  car.torqueScale = 7.0f;
  std::string error;
  ASSERT_TRUE(car.loadCar("Test", error)) << error;
  EXPECT_EQ(car.torqueScale, 1.0f);
  EXPECT_EQ(car.mass, 1000.0f);
  EXPECT_EQ(car.dragFactor, 0.7f);
  for (int p = 0; p < kCornerCount; ++p) {
    const int n = p + 1;
    EXPECT_EQ(car.suspension[p].springRate, 20000.0f + n);
    EXPECT_EQ(car.suspension[p].damperRate, 1500.0f + n);
    EXPECT_EQ(car.suspension[p].mountPosition.x, n + 0.25f);
    EXPECT_EQ(car.suspension[p].mountPosition.y, -0.5f);
  }
}

TEST_F(CarOnDisk, MissingOrBadFilesAreErrors) {
  Vehicle car;
  std::string error;
  EXPECT_FALSE(car.loadCar("Nope", error));
  EXPECT_EQ(error, "Nope.ini: cannot open: No such file or directory");

  write("Test.ini", carText());
  EXPECT_FALSE(car.loadCar("Test", error));
  EXPECT_EQ(error, "Goodyear2692x7.pkj: cannot open: No such file or directory");

  write("Goodyear2692x7.pkj", "1 2 3\n");
  EXPECT_FALSE(car.loadCar("Test", error));
  EXPECT_EQ(error, "Goodyear2692x7.pkj:1: coefficient 3 (pEx1): file ends before this value");

  write("Goodyear2692x7.pkj", tireText());
  write("Test.params", "massScale 1\n");
  EXPECT_FALSE(car.loadCar("Test", error));
  EXPECT_EQ(error.rfind("Test.params:1: no [params] section", 0), 0u) << error;

  ASSERT_EQ(mkdir("Dir.params", 0700), 0);
  write("Dir.ini", carText());
  EXPECT_FALSE(car.loadCar("Dir", error));
  EXPECT_EQ(error, "Dir.params: cannot read: is a directory");
}

// The shipped example car loads and is a plausible passenger car.
TEST_F(CarOnDisk, ExampleCarLoads) {
  const std::string example = std::string(VDSIM_SOURCE_DIR) + "/examples/default/";
  for (const char* name : {"Sedan.ini", "Sedan.params", "Goodyear2692x7.pkj"}) {
    write(name, read(example + name));
  }
  Vehicle car;
  std::string error;
  ASSERT_TRUE(car.loadCar("Sedan", error)) << error;
  EXPECT_EQ(car.gearCount, 6);
  EXPECT_EQ(car.torqueScale, 1.0f);
  // Static load of a front corner and the tire deflection it causes.
  const double frontLoad =
      (car.mass * 0.52 / 2 + car.suspension[0].unsprungMass + car.wheel[0].wheelMass) * 9.81;
  EXPECT_NEAR(frontLoad, car.tire[TireCoefficients::nominalLoad], 300.0);
  EXPECT_NEAR(frontLoad / car.wheel[0].tireSpringRate, 0.02, 0.003);
  // The car file's own rates and mounts match what the parameters derive.
  Vehicle plain;
  write("Plain.ini", read("Sedan.ini"));
  ASSERT_TRUE(plain.loadCar("Plain", error)) << error;
  for (int p = 0; p < kCornerCount; ++p) {
    EXPECT_NEAR(plain.suspension[p].springRate, car.suspension[p].springRate, 0.01) << p;
    EXPECT_NEAR(plain.suspension[p].damperRate, car.suspension[p].damperRate, 0.01) << p;
    EXPECT_NEAR(plain.suspension[p].mountPosition.x, car.suspension[p].mountPosition.x, 1e-6);
    EXPECT_NEAR(plain.suspension[p].mountPosition.y, car.suspension[p].mountPosition.y, 1e-6);
  }
  // At rest the springs sag by g / (2 pi f)^2 and the centre of mass sits
  // about half a metre above the ground, level.
  for (int p : {0, 2}) {
    const double share = p < 2 ? 0.52 : 0.48;
    const double sag = car.mass * share / 2 * 9.81 / car.suspension[p].springRate;
    const double tireLoad =
        (car.mass * share / 2 + car.suspension[p].unsprungMass + car.wheel[p].wheelMass) * 9.81;
    const double height = car.wheel[p].unloadedRadius - tireLoad / car.wheel[p].tireSpringRate +
                          car.suspension[p].mountPosition.z - sag;
    EXPECT_NEAR(height, 0.50, 0.01) << p;
  }
  // Grip near 1 and a cornering stiffness near 1000 N/deg at the static load.
  float fx = 0.0f, fy = 0.0f, peakX = 0.0f, peakY = 0.0f;
  for (int i = 1; i <= 500; ++i) {
    car.tire.computeTireForces(i * 0.001f, i * 0.001f, 0.0f, float(frontLoad), fx, fy);
    peakX = std::max(peakX, fx);
    peakY = std::max(peakY, fy);
  }
  EXPECT_NEAR(peakX / frontLoad, 0.95, 0.1);
  EXPECT_NEAR(peakY / frontLoad, 1.0, 0.1);
  car.tire.computeTireForces(0.0f, 1e-5f, 0.0f, float(frontLoad), fx, fy);
  EXPECT_NEAR(fy / 1e-5f * 3.14159265 / 180.0, 1000.0, 200.0);
  // Engine torque of 140 to 250 N m between 1000 and 6500 rpm.
  for (double rpm = 1000; rpm <= 6500; rpm += 250) {
    double torque = 0, x = rpm / 1000;
    for (float c : car.torqueCoefficients) torque = torque * x + c;
    EXPECT_GT(torque, 140.0) << rpm;
    EXPECT_LT(torque, 250.0) << rpm;
  }
}

}  // namespace
}  // namespace vdsim
