#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "definition/tire_coefficients.h"

namespace vdsim {
namespace {

// The 74 file values i + 0.5, laid out with sep after each one.
std::string fileText(const std::string& sep, int count = TireCoefficients::kFileValues) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::to_string(i) + ".5" + sep;
  return text;
}

// A record filled with a marker value everywhere.
TireCoefficients markedRecord(float marker) {
  TireCoefficients tire;
  tire.values.fill(marker);
  return tire;
}

TEST(TireFile, ReadsTheValuesInIndexOrder) {
  TireCoefficients tire = markedRecord(-7.0f);
  std::string error;
  ASSERT_TRUE(tire.readTireText("T.pkj", fileText("\n"), error)) << error;
  for (int i = 0; i < TireCoefficients::kFileValues; ++i) EXPECT_EQ(tire[i], i + 0.5f) << i;
  EXPECT_EQ(tire[TireCoefficients::pCx1], 0.5f);
  EXPECT_EQ(tire[TireCoefficients::nominalLoad], 14.5f);
  EXPECT_EQ(tire[TireCoefficients::pDy1], 17.5f);
  EXPECT_EQ(tire[TireCoefficients::rVy6], 73.5f);
}

TEST(TireFile, SetsTheScaleFactorsWhateverTheFileHolds) {
  TireCoefficients tire = markedRecord(-7.0f);
  std::string error;
  ASSERT_TRUE(tire.readTireText("T.pkj", fileText(" "), error)) << error;
  EXPECT_EQ(tire[TireCoefficients::frictionScaleX], 0.85f);
  for (int i = TireCoefficients::slipStiffnessScaleX; i < TireCoefficients::kCount; ++i) {
    EXPECT_EQ(tire[i], 1.0f) << i;
  }
  // Numbers that follow the 74th would land on the scale factors if read.
  tire = markedRecord(-7.0f);
  ASSERT_TRUE(tire.readTireText("T.pkj", fileText(" ") + "5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5", error));
  EXPECT_EQ(tire[74], 0.85f);
  EXPECT_EQ(tire[89], 1.0f);
}

TEST(TireFile, SetScaleFactorsTouchesOnlyTheScaleFactors) {
  TireCoefficients tire = markedRecord(3.0f);
  tire.setScaleFactors();
  EXPECT_EQ(tire[73], 3.0f);
  EXPECT_EQ(tire[74], 0.85f);
  EXPECT_EQ(tire[75], 1.0f);
  EXPECT_EQ(tire[89], 1.0f);
}

TEST(TireFile, LineBreaksCarryNoMeaning) {
  TireCoefficients perLine, oneLine, mixed;
  std::string error;
  ASSERT_TRUE(perLine.readTireText("T.pkj", fileText("\n"), error));
  ASSERT_TRUE(oneLine.readTireText("T.pkj", fileText(" "), error));
  ASSERT_TRUE(mixed.readTireText("T.pkj", "\r\n\t " + fileText("\t\r\n  "), error));
  EXPECT_EQ(perLine.values, oneLine.values);
  EXPECT_EQ(perLine.values, mixed.values);
}

TEST(TireFile, NumbersTakeSignsFractionsAndExponents) {
  const std::string text = "-1.5 +2 .25 3e2 -4.5E-1 6. " + fileText(" ");
  TireCoefficients tire;
  std::string error;
  ASSERT_TRUE(tire.readTireText("T.pkj", text, error)) << error;
  EXPECT_EQ(tire[0], -1.5f);
  EXPECT_EQ(tire[1], 2.0f);
  EXPECT_EQ(tire[2], 0.25f);
  EXPECT_EQ(tire[3], 300.0f);
  EXPECT_EQ(tire[4], -0.45f);
  EXPECT_EQ(tire[5], 6.0f);
  EXPECT_EQ(tire[6], 0.5f);
}

TEST(TireFile, IgnoresWhateverFollowsTheLastValue) {
  TireCoefficients tire;
  std::string error;
  ASSERT_TRUE(tire.readTireText("T.pkj",
                                fileText("\n") + "99 not-a-number " + std::string(200, 'x'), error))
      << error;
  EXPECT_EQ(tire[73], 73.5f);
}

TEST(TireFile, ShortFileIsAnErrorAndLeavesTheRecord) {
  TireCoefficients tire = markedRecord(-7.0f);
  std::string error;
  EXPECT_FALSE(tire.readTireText("Goodyear2692x7.pkj", fileText("\n", 40), error));
  EXPECT_EQ(error, "Goodyear2692x7.pkj:40: coefficient 40 (qBz10): file ends before this value");
  for (float v : tire.values) EXPECT_EQ(v, -7.0f);

  EXPECT_FALSE(tire.readTireText("Goodyear2692x7.pkj", "", error));
  EXPECT_EQ(error, "Goodyear2692x7.pkj:1: coefficient 0 (pCx1): file ends before this value");
  EXPECT_FALSE(tire.readTireText("Goodyear2692x7.pkj", fileText(" ", 73), error));
  EXPECT_EQ(error, "Goodyear2692x7.pkj:1: coefficient 73 (rVy6): file ends before this value");
  for (float v : tire.values) EXPECT_EQ(v, -7.0f);
}

TEST(TireFile, ValueThatIsNotANumberIsAnError) {
  TireCoefficients tire = markedRecord(-7.0f);
  std::string error;
  std::string text = fileText("\n", 17) + "1,0\n" + fileText("\n");
  EXPECT_FALSE(tire.readTireText("Goodyear2692x7.pkj", text, error));
  EXPECT_EQ(error,
            "Goodyear2692x7.pkj:18: coefficient 17 (pDy1): expected a number, found \"1,0\"");
  for (float v : tire.values) EXPECT_EQ(v, -7.0f);

  text = fileText(" ", 14) + "inf " + fileText(" ");
  EXPECT_FALSE(tire.readTireText("T.pkj", text, error));
  EXPECT_EQ(error,
            "T.pkj:1: coefficient 14 (nominalLoad): expected a finite number, found \"inf\"");

  text = fileText(" ", 2) + std::string(64, '1') + " " + fileText(" ");
  EXPECT_FALSE(tire.readTireText("T.pkj", text, error));
  EXPECT_EQ(error.rfind("T.pkj:1: coefficient 2 (pDx2): token longer than 63 characters", 0), 0u)
      << error;
}

// A scratch directory, removed with its files at the end of the test.
class TireFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vdsim-tire-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
  }
  std::string dir_;
};

TEST_F(TireFileOnDisk, LoadsTheFile) {
  const std::string path = write("Goodyear2692x7.pkj", fileText("\r\n"));
  TireCoefficients tire;
  std::string error;
  ASSERT_TRUE(tire.loadTireFile(path, error)) << error;
  EXPECT_EQ(tire[0], 0.5f);
  EXPECT_EQ(tire[73], 73.5f);
  EXPECT_EQ(tire[74], 0.85f);
}

TEST_F(TireFileOnDisk, MissingFileIsAnError) {
  TireCoefficients tire = markedRecord(-7.0f);
  std::string error;
  const std::string path = dir_ + "/Goodyear2692x7.pkj";
  EXPECT_FALSE(tire.loadTireFile(path, error));
  EXPECT_EQ(error, path + ": cannot open: No such file or directory");
  for (float v : tire.values) EXPECT_EQ(v, -7.0f);
}

TEST_F(TireFileOnDisk, ShortFileNamesThePath) {
  const std::string path = write("Goodyear2692x7.pkj", fileText(" ", 10));
  TireCoefficients tire;
  std::string error;
  EXPECT_FALSE(tire.loadTireFile(path, error));
  EXPECT_EQ(error, path + ":1: coefficient 10 (pHx1): file ends before this value");
}

}  // namespace
}  // namespace vdsim
