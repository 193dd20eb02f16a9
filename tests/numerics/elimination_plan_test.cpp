// Solves with an elimination plan against the literal solver, bit for bit
// (status, printed message, solution and matrix left behind, by memcmp):
// every step of the example runs and of the golden run, the recorded
// systems in order and shuffled, random systems with special values, and one
// hand-made system per check the plan makes, changed so that the check must
// fail. The counters show which way each solve went.
#include "numerics/elimination_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "numerics/linear_solver.h"
#include "numerics/solver_outcomes.h"
#include "numerics/solver_systems.h"

namespace vdsim {
namespace solvertest {
namespace {

// Solves values with the plan and with the literal solver, expects the same
// outcome and returns it.
Outcome expectPlanAgrees(EliminationPlan& plan, const Values& values, const std::string& label) {
  const Outcome expected = solveWith(solveLinearSystemReference, values, Storage::kExact);
  const auto planned = [&](float** a, int n, float* x) { return plan.solve(a, n, x); };
  const Outcome actual = solveWith(planned, values, Storage::kUnaligned);
  EXPECT_EQ(difference(expected, actual), "") << label;
  return actual;
}

// What the plan did in the solves since the last look.
struct Counts {
  long built, followed, left;
};
Counts countsOf(const EliminationPlan& plan) {
  return {plan.plansBuilt(), plan.solvesOnPlan(), plan.plansLeft()};
}
Counts since(const EliminationPlan& plan, const Counts& before) {
  const Counts now = countsOf(plan);
  return {now.built - before.built, now.followed - before.followed, now.left - before.left};
}

// A system of eight unknowns (nine columns: the vector scan with a tail)
// with a feature for each check. Column 0: row 3 is the pivot (5), rows 0, 1
// and 5 have non-zero multipliers, row 6 holds -0 (a zero row), row 2 holds
// +0 and a -0 at column 1 that the update removes (pivot row's -3 there),
// row 1 holds -0 at column 2 in a tile (pivot row's 4 there) and +0 at
// column 6 (pivot row's 1 there). Rows 4 and 2 are the pivots of columns 1
// and 2 whatever column 0 does; row 7 has row 6's columns and more.
Values checkSystem() {
  const float z = -0.0f;
  return {
      {1, 2, 0, 1, 0, 0, 0, 0, 1},    //
      {2, 0, z, 3, 1, 0, 0, 0, 2},    //
      {0, z, 20, 0, 0, 1, 0, 0, 3},   //
      {5, -3, 4, 0, 0, 0, 1, 0, 4},   //
      {0, 10, 0, 6, 0, 0, 0, 1, 5},   //
      {2, 0, 1, 0, 7, 0, 0, 0, 6},    //
      {z, 0, 0, 1, 0, 8, 0, 0, 7},    //
      {0, 0, 1, 1, 0, 8, 3, 2, 8},
  };
}

// A plan on checkSystem(), and changes of it that its checks must catch.
struct CheckedPlan : testing::Test {
  EliminationPlan plan{66};
  // A new plan built on base that has followed it once.
  void planAfresh(const Values& base = checkSystem()) {
    plan.forget();
    const Counts before = countsOf(plan);
    ASSERT_EQ(expectPlanAgrees(plan, base, "planning").status, kSolved);
    expectPlanAgrees(plan, base, "following");
    const Counts done = since(plan, before);
    ASSERT_EQ(done.built, 1);
    ASSERT_EQ(done.followed, 1);
  }
  // Solves a changed system with a fresh plan on base: the same as the
  // literal solver, having left the plan (or followed it, when follows).
  void expectChecked(const Values& changed, const std::string& label, bool follows = false,
                     const Values& base = checkSystem()) {
    planAfresh(base);
    const Counts before = countsOf(plan);
    expectPlanAgrees(plan, changed, label);
    const Counts done = since(plan, before);
    EXPECT_EQ(done.left, follows ? 0 : 1) << label;
    EXPECT_EQ(done.followed, follows ? 1 : 0) << label;
  }
};

// --- One test per check --------------------------------------------------------

TEST_F(CheckedPlan, PivotsThatAnotherRowWouldTakeLeaveThePlan) {
  // Check (2): an equal magnitude above the plan's pivot row wins (the first
  // of the largest), a larger one anywhere wins; an equal one below does not.
  Values tieAbove = checkSystem();
  tieAbove[1][0] = -5.0f;
  expectChecked(tieAbove, "tie above");
  Values tieBelow = checkSystem();
  tieBelow[5][0] = -5.0f;
  expectChecked(tieBelow, "tie below", true);
  Values largerBelow = checkSystem();
  largerBelow[5][0] = 5.5f;
  expectChecked(largerBelow, "larger below");
  Values largerAbove = checkSystem();
  largerAbove[0][0] = -6.0f;
  expectChecked(largerAbove, "larger above");
}

TEST_F(CheckedPlan, ASingularColumnLeavesThePlanWithTheLiteralMessage) {
  // Check (2): column 0 scaled below 1e-12, the plan's pivot still the
  // largest.
  Values firstColumn = checkSystem();
  for (auto& row : firstColumn) row[0] *= 1.9e-13f;
  expectChecked(firstColumn, "column 0");
  EXPECT_EQ(solveWith(solveLinearSystemReference, firstColumn, Storage::kExact).printed,
            "Sing. Found At: 0\n");
  // Rows 6 and 7 equal (within the planning input's pattern): a column
  // later on, or the last one, is singular.
  Values twoEqualRows = checkSystem();
  twoEqualRows[7] = {0, 0, 0, 1, 0, 8, 0, 0, 7};
  const Outcome singular = solveWith(solveLinearSystemReference, twoEqualRows, Storage::kExact);
  ASSERT_EQ(singular.status, kSingular);
  planAfresh();
  const Counts before = countsOf(plan);
  expectPlanAgrees(plan, twoEqualRows, "two equal rows");
  EXPECT_EQ(since(plan, before).built, 0);  // the plan was followed or left, not rebuilt
}

TEST_F(CheckedPlan, AZeroRowWithANonZeroMultiplierLeavesThePlanAndIsUpdatedNextTime) {
  // Check (3): row 6's -0 at column 0 becomes 1.
  Values nonZero = checkSystem();
  nonZero[6][0] = 1.0f;
  expectChecked(nonZero, "zero row");
  // The next plans update the rows found so (at column 0, then at the
  // columns where the change reaches): built on the first system, one soon
  // follows the changed one too.
  bool followed = false;
  for (int round = 0; round < 8 && !followed; ++round) {
    expectPlanAgrees(plan, checkSystem(), "planning again");
    const Counts before = countsOf(plan);
    expectPlanAgrees(plan, nonZero, "zero row, round " + std::to_string(round));
    followed = since(plan, before).followed == 1;
  }
  EXPECT_TRUE(followed);
}

TEST_F(CheckedPlan, ANewNegativeZeroInATileLeavesThePlan) {
  // Check (4), by underflow: row 1's +0 at column 6 minus 0.4 times the
  // pivot row's smallest subnormal there rounds to -0 (it was -0.4).
  Values underflow = checkSystem();
  underflow[3][6] = fromBits(1);
  expectChecked(underflow, "underflow");
  // Check (4), a -0 that stays: row 1's -0 at column 2 minus 0.4 times +0.
  Values stays = checkSystem();
  stays[3][2] = 0.0f;
  expectChecked(stays, "-0 kept in a tile");
  // Check (4) where a column's last tile keeps lanes (it ends at column n
  // and overlaps the tile before): subnormals in the places of a system's
  // numbers make a -0 the planning run did not have (a case found by
  // comparing plan and literal solver on such systems).
  const float s = fromBits(1);
  const Values base = {{3, -1, 1, 0, 0, 1, 1},  {-3, 4, -1, 3, 3, 2, 0}, {0, 0, 8, -3, 3, 0, 0},
                       {-1, 0, 0, 4, -2, 3, 0}, {-2, -1, 0, 1, 7, -3, 0}, {-3, 0, -1, 0, 1, 5, 0}};
  Values tiny = base;
  tiny[1][0] = -s;
  tiny[1][2] = -s;
  tiny[2][3] = -2 * s;
  tiny[3][5] = 3 * s;
  tiny[4][3] = 2 * s;
  expectChecked(tiny, "-0 in a tile the last one overlaps", false, base);
}

TEST_F(CheckedPlan, ANegativeZeroThePlanningRunRemovedLeavesThePlanWhenItStays) {
  // Check (5): row 2's -0 at column 1 minus +0 times the pivot row's -3 was
  // +0; minus +0 times 3 it stays -0.
  Values stays = checkSystem();
  stays[3][1] = 3.0f;
  expectChecked(stays, "-0 kept one by one");
}

TEST_F(CheckedPlan, InputsOutsideThePatternOrBoundAreNotFollowed) {
  // Check (1): a non-zero where the planning input had +0, a -0 where it had
  // none, a NaN, an infinity, a magnitude beyond 2^(126-n). Each is solved
  // literally, planned afresh where it can be.
  Values outside = checkSystem();
  outside[0][5] = 1.0f;
  expectChecked(outside, "non-zero outside the pattern");
  EXPECT_TRUE(plan.ready());  // planned at once from the same matrix
  const std::vector<float> specials = {-0.0f, kNan, kSignallingNan, kInf, -kInf, 3e38f, 1e36f};
  for (float special : specials) {
    Values changed = checkSystem();
    changed[4][3] = special;
    expectChecked(changed, "special " + std::to_string(special));
  }
}

TEST_F(CheckedPlan, MagnitudesThatMayOverflowAreNotFollowed) {
  // Check (1)'s bound: with column 1's pivot row taken from row 0, whose
  // right-hand side 3e38 + 0.2 * 3e38 overflows, the literal algorithm turns
  // the right-hand sides of the rows it multiplies by +-0 into NaN.
  Values base = checkSystem();
  base[4][1] = 1.0f;
  Values overflows = base;
  overflows[0][8] = 3e38f;
  overflows[3][8] = -3e38f;
  expectChecked(overflows, "overflow", false, base);
}

TEST_F(CheckedPlan, TheBoundShrinksWithTheNumberOfUnknowns) {
  // Check (1)'s bound is 2^(126-n): partial pivoting can double a column at
  // each of the n steps. A growth matrix (1 on the diagonal, -1 below, 1 in
  // the last column) with entries of 2^124 passes a bound of 2^126 and
  // still overflows on the way; the +0s of its last row then turn the
  // literal algorithm's updates of that row into NaN, which a followed plan
  // would not do.
  const int n = 8;
  Values base(n, std::vector<float>(n + 1, 0.0f));
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i && i < n - 1; ++j) base[i][j] = -1.0f;
    base[i][i] = 1.0f;
    base[i][n - 1] = 1.0f;
    base[i][n] = 1.0f;
  }
  Values grown = base;
  for (auto& row : grown) {
    for (float& a : row) a = a * 0x1p124f;
  }
  expectChecked(grown, "growth", false, base);
}

TEST_F(CheckedPlan, ANarrowCheckCatchesEveryChangeAtTheWrittenElements) {
  // Check (1) by the narrow scan: the caller writes checkSystem()'s non-+0
  // elements and two +0 ones (0, 5) and (7, 0). A non-zero where a written
  // element was +0, a -0 where it was not, a magnitude beyond the bound
  // where it was -0 or a number: each leaves the plan.
  const Values base = checkSystem();
  std::vector<MatrixPosition> written = {{0, 5}, {7, 0}};
  for (int r = 0; r < int(base.size()); ++r) {
    for (int k = 0; k < int(base[r].size()); ++k) {
      if (std::signbit(base[r][k]) || base[r][k] != 0.0f) written.push_back({r, k});
    }
  }
  plan.narrowInputCheck(written);
  planAfresh();
  ASSERT_TRUE(plan.narrowed());
  const struct {
    int row, column;
    float value;
    const char* label;
  } changes[] = {{0, 5, 1.0f, "non-zero where +0 was written"},
                 {7, 0, -0.0f, "-0 where +0 was written"},
                 {4, 3, -0.0f, "-0 where a number was"},
                 {4, 3, 1e36f, "beyond the bound where a number was"},
                 {6, 0, 1e36f, "beyond the bound where -0 was"},
                 {6, 0, kNan, "NaN where -0 was"}};
  // Each change solved as the literal solver does, in new rows; then read
  // in the rows the plan was built in (the narrow scan reads those by their
  // offsets) and in others.
  Rows same(base, Storage::kPadded), other(base, Storage::kUnaligned);
  std::vector<float> solution(base.size());
  const auto planInSameRows = [&] {
    plan.forget();
    same.load(base);
    ASSERT_EQ(plan.solve(same.rows(), same.n(), solution.data()), kSolved);
    ASSERT_TRUE(plan.narrowed());
  };
  for (const auto& change : changes) {
    Values changed = base;
    changed[change.row][change.column] = change.value;
    expectChecked(changed, change.label);
    planInSameRows();
    same.load(changed);
    other.load(changed);
    EXPECT_FALSE(plan.narrowScanAccepts(same.rows())) << change.label;
    EXPECT_FALSE(plan.narrowScanAccepts(other.rows())) << change.label;
    EXPECT_FALSE(plan.fullScanAccepts(same.rows())) << change.label;
  }
  // Within the plan: -0 where -0 was, another number where one was.
  Values within = base;
  within[6][0] = 0.0f;
  within[4][3] = -7.5f;
  expectChecked(within, "within the plan", true);
  planInSameRows();
  same.load(within);
  other.load(within);
  EXPECT_TRUE(plan.narrowScanAccepts(same.rows()));
  EXPECT_TRUE(plan.narrowScanAccepts(other.rows()));
  // A planning input that is not +0 where the caller does not write gives a
  // plan that scans the whole matrix.
  Values outside = base;
  outside[1][7] = 1.0f;
  planAfresh(outside);
  EXPECT_FALSE(plan.narrowed());
  Rows rows(base, Storage::kPadded);
  EXPECT_TRUE(plan.fullScanAccepts(rows.rows()));
}

// --- Plans and systems -----------------------------------------------------------

// Every step of the examples and the golden run: EveryStep (in
// linear_solver_fast_test.cpp) checks the plan there, narrowed to the
// Vehicle's written elements, beside the stateless variants, against one
// literal solve a step.

// Every 64th system of the default example's run.
const std::vector<Values>& recordedSystems() {
  static const std::vector<Values> systems = [] {
    std::vector<Values> recorded;
    std::string error;
    runExample(
        std::string(VDSIM_SOURCE_DIR) + "/examples/default",
        [&](Vehicle& vehicle, int step, int) {
          if (step % 64 == 0) recorded.push_back(systemValues(vehicle));
          return true;
        },
        error);
    return recorded;
  }();
  return systems;
}

TEST(EliminationPlan, AgreesOnTheRecordedSystemsInOrderAndShuffled) {
  const std::vector<Values>& systems = recordedSystems();
  ASSERT_GT(systems.size(), 400u);
  std::vector<int> order(systems.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = int(i);
  std::mt19937 rng(15);
  for (int pass = 0; pass < 3; ++pass) {
    // In order, then shuffled: a plan built on one system is used on others.
    if (pass > 0) std::shuffle(order.begin(), order.end(), rng);
    EliminationPlan plan(66);
    for (int i : order) {
      expectPlanAgrees(plan, systems[i], "system " + std::to_string(i));
      if (HasFailure()) return;
    }
    EXPECT_GT(plan.solvesOnPlan(), long(systems.size()) / 2) << "pass " << pass;
  }
}

TEST(EliminationPlan, AgreesOnVehicleLikeSystemsWithSpecialValues) {
  // One plan through runs of random systems of the vehicle's pattern: a base
  // system scaled by powers of two and given new right-hand sides (the same
  // pivots and structure), every eighth with one element replaced by a
  // zero, signed zero, infinity, NaN, subnormal or huge value. Plans are built,
  // followed, left at every check and waited for.
  std::mt19937 rng(42);
  const std::vector<float> specials = {0.0f,   -0.0f,       kInf,         -kInf, kNan,
                                       kNanPayload, kSignallingNan, 1e-45f, 3e38f, 1e-30f};
  std::uniform_int_distribution<int> row(0, 65), column(0, 66), pick(0, int(specials.size()) - 1);
  std::uniform_int_distribution<int> exponent(-3, 3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  EliminationPlan plan(66);
  Values base;
  for (int i = 0; i < 1200; ++i) {
    while (i % 40 == 0) {  // a new base, regular
      VehicleLikeKnobs knobs;
      knobs.zeroChance = 0.3 * unit(rng);
      knobs.zeroRhsChance = unit(rng);
      knobs.straightFront = i % 80 == 0;
      base = vehicleLikeSystem(rng, knobs);
      if (solveWith(solveLinearSystemReference, base, Storage::kExact).status == kSolved) break;
    }
    Values v = base;
    const float scale = std::ldexp(1.0f, exponent(rng));
    for (auto& r : v) {
      for (float& x : r) x *= scale;
      if (r.back() != 0.0f) r.back() = float(r.back() * (0.5 + unit(rng)));
    }
    if (i % 8 == 0) v[row(rng)][column(rng)] = specials[pick(rng)];
    expectPlanAgrees(plan, v, "system " + std::to_string(i));
    if (HasFailure()) return;
  }
  EXPECT_GT(plan.plansBuilt(), 60);
  EXPECT_GT(plan.solvesOnPlan(), 600);
  EXPECT_GT(plan.plansLeft(), 60);
}

TEST(EliminationPlan, AgreesOnSmallSystemsAndLeavesOthersToTheStatelessSolver) {
  // Systems of 1 .. 12 unknowns (plans from 3 on), dense and sparse, each
  // solved as it is, scaled by powers of two and with new right-hand sides;
  // then sizes beyond the plan's room.
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> digit(-4, 4);
  EliminationPlan plan(12);
  for (int n = 1; n <= 12; ++n) {
    for (double density : {0.3, 1.0}) {
      Values base(n, std::vector<float>(n + 1, 0.0f));
      for (auto& r : base) {
        for (float& x : r) x = unit(rng) < density ? float(digit(rng)) : 0.0f;
      }
      for (int r = 0; r < n; ++r) base[r][r] = float(5 + digit(rng));
      for (int i = 0; i < 6; ++i) {
        Values v = base;
        for (auto& r : v) {
          for (float& x : r) x = std::ldexp(x, i % 3 - 1);
          r.back() = float(r.back() * (1.0 + 0.125 * i));
        }
        expectPlanAgrees(plan, v, "n = " + std::to_string(n) + ", system " + std::to_string(i));
        if (HasFailure()) return;
      }
    }
  }
  EXPECT_GT(plan.solvesOnPlan(), 90);
  const long built = plan.plansBuilt();
  std::mt19937 rng2(4);
  expectPlanAgrees(plan, vehicleLikeSystem(rng2, VehicleLikeKnobs{}), "66 unknowns, room for 12");
  EXPECT_EQ(plan.plansBuilt(), built);
  EliminationPlan none;
  expectPlanAgrees(none, checkSystem(), "no room");
  EXPECT_EQ(none.plansBuilt(), 0);
}

TEST(EliminationPlan, PlansThatNeverServeAreBuiltLessAndLessOften) {
  // Two systems whose structures differ, alternating: each plan is left on
  // its first solve, so planning backs off; every result stays literal.
  Values other = checkSystem();
  other[0][5] = 1.0f;
  other[5][6] = 2.0f;
  EliminationPlan plan(66);
  for (int i = 0; i < 400; ++i) {
    expectPlanAgrees(plan, i % 2 == 0 ? checkSystem() : other, "solve " + std::to_string(i));
    if (HasFailure()) return;
  }
  EXPECT_LT(plan.plansBuilt(), 30);
  // Forgetting starts afresh: the next solve builds a plan.
  plan.forget();
  const long built = plan.plansBuilt();
  expectPlanAgrees(plan, checkSystem(), "after forgetting");
  EXPECT_EQ(plan.plansBuilt(), built + 1);
}

TEST(EliminationPlan, SubstitutesBackAsTheLiteralSolverDoes) {
  // A -0 sum meets coefficients +0 (-0 - (+0 times a negative x) = +0);
  // an unknown that overflows meets coefficients +0 (0 times infinity is
  // NaN); the last diagonal element is below 1e-12. Each system is planned,
  // then followed.
  const float z = -0.0f;
  const std::vector<Values> systems = {
      {{1, 0, 0, z}, {0, 1, 0, -5}, {0, 0, 1, 2}},
      {{1, z, 0, z}, {0, 1, 0, 5}, {0, 0, 1, -2}},
      {{-1, 0, 0, z}, {0, 1, 0, z}, {0, 0, 1, z}},
      {{1, 1, 0, 1, z}, {0, 1, 0, 0, 0}, {0, 0, 1, 0, -5}, {0, 0, 0, 1, 0}},  // -0 mid-row
      {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 2e-12f, 1e30f}},
      {{1, 0, 0, 1}, {0, 1, 0, z}, {0, 0, -2e-12f, 1e30f}},
      {{2, 1, 0, 1}, {0, 3, 1, 2}, {0, 0, 9e-13f, 3}},
  };
  for (std::size_t i = 0; i < systems.size(); ++i) {
    EliminationPlan plan(66);
    expectPlanAgrees(plan, systems[i], "planning system " + std::to_string(i));
    expectPlanAgrees(plan, systems[i], "following system " + std::to_string(i));
    EXPECT_EQ(plan.solvesOnPlan(), 1) << "system " << i;
  }
}

TEST(EliminationPlan, FollowsThroughTheOverloadOfTheSolver) {
  std::mt19937 rng(8);
  const Values v = vehicleLikeSystem(rng, VehicleLikeKnobs{});
  EliminationPlan plan(66);
  for (int i = 0; i < 3; ++i) {
    const auto solve = [&](float** a, int n, float* x) { return solveLinearSystem(a, n, x, plan); };
    const Outcome expected = solveWith(solveLinearSystemReference, v, Storage::kExact);
    EXPECT_EQ(difference(expected, solveWith(solve, v, Storage::kPadded)), "");
  }
  EXPECT_EQ(plan.plansBuilt(), 1);
  EXPECT_EQ(plan.solvesOnPlan(), 2);
}

}  // namespace
}  // namespace solvertest
}  // namespace vdsim
