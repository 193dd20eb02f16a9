#include "numerics/linear_solver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vdsim {
namespace {

// An augmented system built from rows of values.
struct System {
  std::vector<std::vector<float>> data;
  std::vector<float*> rows;
  explicit System(std::vector<std::vector<float>> d) : data(std::move(d)) {
    for (auto& r : data) rows.push_back(r.data());
  }
  int n() const { return int(data.size()); }
};

// Runs solve on the system, capturing what it prints.
int solveCapturing(System& s, std::vector<float>& x, std::string& printed) {
  testing::internal::CaptureStdout();
  const int status = solveLinearSystem(s.rows.data(), s.n(), x.data());
  printed = testing::internal::GetCapturedStdout();
  return status;
}

TEST(LinearSolver, ExchangesRowsForAZeroPivot) {
  System s({{0, 1, 2}, {1, 1, 3}});
  std::vector<float> x(2);
  std::string printed;
  EXPECT_EQ(solveCapturing(s, x, printed), kSolved);
  EXPECT_EQ(x[0], 1.0f);
  EXPECT_EQ(x[1], 2.0f);
  EXPECT_EQ(printed, "");
}

TEST(LinearSolver, EqualMagnitudesKeepTheFirstRow) {
  // Rows 1 (-2) and 2 (2) tie; the first wins, so row 1 becomes the pivot.
  System s({{1, 2, 0, 3}, {-2, 1, 0, 4}, {2, 5, 1, 6}});
  std::vector<float> x(3);
  std::string printed;
  EXPECT_EQ(solveCapturing(s, x, printed), kSolved);
  EXPECT_EQ(s.data[0][0], -2.0f);
  EXPECT_EQ(s.data[0][3], 4.0f);
  // The solution satisfies the original equations.
  EXPECT_NEAR(1 * x[0] + 2 * x[1], 3.0f, 1e-5f);
  EXPECT_NEAR(-2 * x[0] + 1 * x[1], 4.0f, 1e-5f);
  EXPECT_NEAR(2 * x[0] + 5 * x[1] + x[2], 6.0f, 1e-5f);
}

TEST(LinearSolver, SingularSystemsReportTheColumnAndKeepTheSolution) {
  System zeroColumn({{0, 1, 1}, {0, 2, 1}});
  std::vector<float> x = {7.0f, 8.0f};
  std::string printed;
  EXPECT_EQ(solveCapturing(zeroColumn, x, printed), kSingular);
  EXPECT_EQ(printed, "Sing. Found At: 0\n");
  EXPECT_EQ(x[0], 7.0f);
  EXPECT_EQ(x[1], 8.0f);

  // The last diagonal element is tested too.
  System lastColumn({{1, 1, 1}, {1, 1, 2}});
  EXPECT_EQ(solveCapturing(lastColumn, x, printed), kSingular);
  EXPECT_EQ(printed, "Sing. Found At: 1\n");
  EXPECT_EQ(x[0], 7.0f);
}

TEST(LinearSolver, OneByOne) {
  System s({{2, 4}});
  std::vector<float> x(1);
  std::string printed;
  EXPECT_EQ(solveCapturing(s, x, printed), kSolved);
  EXPECT_EQ(x[0], 2.0f);
}

TEST(LinearSolver, ThresholdIsTheDouble1em12) {
  const float below = 9.99999996e-13f;  // the float nearest 1e-12, below it
  const float above = std::nextafter(below, 1.0f);
  System fails({{below, 0, 1}, {0, 1, 1}});
  std::vector<float> x(2);
  std::string printed;
  EXPECT_EQ(solveCapturing(fails, x, printed), kSingular);
  EXPECT_EQ(printed, "Sing. Found At: 0\n");
  System passes({{above, 0, 1}, {0, 1, 1}});
  EXPECT_EQ(solveCapturing(passes, x, printed), kSolved);
  EXPECT_EQ(printed, "");
}

TEST(LinearSolver, NanPivotPassesAndNeverReplacesThePivot) {
  const float nan = std::nanf("");
  System s({{nan, 1, 1}, {5, 1, 1}});
  std::vector<float> x(2);
  std::string printed;
  // |5| > |NaN| is false: the NaN row stays pivot and passes the test.
  EXPECT_EQ(solveCapturing(s, x, printed), kSolved);
  EXPECT_TRUE(std::isnan(s.data[0][0]));
  EXPECT_TRUE(std::isnan(x[0]));
}

}  // namespace
}  // namespace vdsim
