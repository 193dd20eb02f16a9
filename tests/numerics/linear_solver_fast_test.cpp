// The fast solver against the literal one, bit for bit: the same status, the
// same printed message, the same solution (memcmp, so -0 and +0 differ and
// NaN payloads count) and the same matrix left behind, columns 0 .. n. Every
// instruction-set variant this machine runs is checked, on hand-made edge
// cases, random systems with the vehicle's block pattern, random dense and
// special-value systems, and every system of whole example runs.
#include <cctype>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "numerics/elimination_plan.h"
#include "numerics/linear_solver.h"
#include "numerics/linear_solver_paths.h"
#include "numerics/solver_outcomes.h"
#include "numerics/solver_systems.h"

namespace vdsim {
namespace solvertest {
namespace {

using Solver = int (*)(float**, int, float*);

struct Variant {
  const char* name;
  Solver solve;
};

// The fast variants this machine runs, and the public entry point.
std::vector<Variant> fastVariants() {
  std::vector<Variant> variants = {{"solveLinearSystem", solveLinearSystem},
                                   {"baseline", solveLinearSystemBaseline}};
  if (avx2PathAvailable()) variants.push_back({"avx2", solveLinearSystemAvx2});
  return variants;
}

// Checks every fast variant against the reference on one system, in the
// given storages. Returns the reference's outcome.
Outcome expectSameAsReference(const Values& values, const std::string& label,
                              std::vector<Storage> storages = {Storage::kExact}) {
  const Outcome expected = solveWith(solveLinearSystemReference, values, Storage::kExact);
  for (Storage storage : storages) {
    for (const Variant& variant : fastVariants()) {
      const Outcome actual = solveWith(variant.solve, values, storage);
      const std::string diff = difference(expected, actual);
      EXPECT_EQ(diff, "") << label << ", variant " << variant.name << ", storage "
                          << int(storage) << ", n = " << values.size();
    }
  }
  return expected;
}

Values square(int n, float fill = 0.0f) { return Values(n, std::vector<float>(n + 1, fill)); }

// --- Hand-made edge cases ----------------------------------------------------

TEST(FastSolver, AgreesOnTheDocumentedExamples) {
  const Outcome exchange = expectSameAsReference({{0, 1, 2}, {1, 1, 3}}, "exchange");
  EXPECT_EQ(exchange.status, kSolved);
  EXPECT_EQ(exchange.solution[0], 1.0f);
  EXPECT_EQ(exchange.solution[1], 2.0f);
  const Outcome tie =
      expectSameAsReference({{1, 2, 0, 3}, {-2, 1, 0, 4}, {2, 5, 1, 6}}, "tie");
  EXPECT_EQ(tie.matrix[0][0], -2.0f);  // the first of the equal magnitudes is the pivot
  const Outcome oneByOne = expectSameAsReference({{2, 4}}, "1x1");
  EXPECT_EQ(oneByOne.solution[0], 2.0f);
  const float below = 9.99999996e-13f, above = std::nextafter(below, 1.0f);
  EXPECT_EQ(expectSameAsReference({{below, 0, 1}, {0, 1, 1}}, "below").printed,
            "Sing. Found At: 0\n");
  EXPECT_EQ(expectSameAsReference({{above, 0, 1}, {0, 1, 1}}, "above").status, kSolved);
}

TEST(FastSolver, AgreesOnPivotTies) {
  // Equal magnitudes of either sign, -0 against +0, and a NaN among them.
  expectSameAsReference({{-3, 1, 1, 1}, {3, 2, 1, 2}, {-3, 1, 5, 3}}, "tie at the diagonal");
  expectSameAsReference({{1, 1, 1, 1}, {-3, 2, 1, 2}, {3, 1, 5, 3}}, "tie below");
  expectSameAsReference({{-0.0f, 1, 1, 1}, {0, 2, 1, 2}, {2, 1, 5, 3}}, "signed zeros");
  expectSameAsReference({{1, 1, 1, 1}, {kNan, 2, 1, 2}, {1, 1, 5, 3}}, "NaN in the column");
  expectSameAsReference({{1, 1, 1, 1}, {-1, 2, 1, 2}, {-1, 1, 5, 3}}, "all equal magnitudes");
}

TEST(FastSolver, AgreesOnSignedZeros) {
  // x - (-0) turns a -0 into +0 even where the multiplier is zero: a -0 in a
  // row whose column entry is +0 or -0, under pivots of either sign.
  for (float pivot : {2.0f, -2.0f}) {
    for (float column : {0.0f, -0.0f}) {
      for (float y : {3.0f, -3.0f, 0.0f, -0.0f}) {
        Values v = {{pivot, y, y, -0.0f},
                    {column, -0.0f, 1, -0.0f},
                    {column, 1, -0.0f, 0.0f}};
        const Outcome o = expectSameAsReference(v, "signed zeros");
        EXPECT_EQ(o.status, kSolved);
      }
    }
  }
  // A -0 right-hand side meets zero coefficients of either sign in the back
  // substitution: -0 - (+0 * negative x) = +0.
  expectSameAsReference({{1, 0, 0, -0.0f}, {0, 1, 0, -5}, {0, 0, 1, 2}}, "-0 sum");
  expectSameAsReference({{1, -0.0f, 0, -0.0f}, {0, 1, 0, 5}, {0, 0, 1, -2}}, "-0 sum 2");
  expectSameAsReference({{-1, 0, 0, -0.0f}, {0, 1, 0, -0.0f}, {0, 0, 1, -0.0f}}, "all -0");
  // Products that underflow to zero in float after the subtraction.
  expectSameAsReference({{1e-30f, 1e-30f, 1}, {1e-20f, -0.0f, 1e-40f}}, "underflow");
}

TEST(FastSolver, AgreesOnInfinitiesAndNans) {
  const std::vector<float> specials = {kInf,         -kInf,         kNan,          kNegNan,
                                       kNanPayload,  kNanPayload2,  kSignallingNan};
  for (float s : specials) {
    // In the pivot row beyond the diagonal, where every other row has a zero
    // multiplier: 0 * inf and 0 * NaN must reach every row.
    expectSameAsReference({{2, s, 1, 1}, {0, 1, 1, 2}, {-0.0f, 1, 3, 3}}, "pivot row");
    // As the pivot itself.
    expectSameAsReference({{s, 1, 1, 1}, {1, 1, 0, 2}, {0, 2, 3, 3}}, "pivot");
    // In the multiplier column below the pivot.
    expectSameAsReference({{5, 1, 1, 1}, {s, 1, 0, 2}, {0, 2, 3, 3}}, "multiplier column");
    // In the right-hand side, and in a row that is otherwise skipped.
    expectSameAsReference({{5, 1, 1, s}, {0, 1, 0, 2}, {0, 2, 3, 3}}, "right-hand side");
    expectSameAsReference({{5, 1, 1, 1}, {0, 1, s, 2}, {0, 0, 3, s}}, "skipped row");
    // In the first row, which column 0 never updates.
    expectSameAsReference({{5, 1, s, 1}, {0, 1, 0, 2}, {0, 0, 3, 3}}, "first row");
    // Against other NaNs: the payload that survives is the reference's.
    for (float t : specials) {
      expectSameAsReference({{2, t, 1, 1}, {s, 1, 1, 2}, {0, 1, 3, t}}, "two specials");
      expectSameAsReference({{t, 1, s}, {s, t, 1}}, "two specials 2x2");
    }
  }
  // A multiplier that overflows to infinity.
  expectSameAsReference({{1e-10f, 1, 1}, {-3e38f, 1, 2}}, "overflowing multiplier");
  expectSameAsReference({{2e-12f, 1, 1, 1}, {3e38f, 1, 2, 0}, {1, 0, 1, 1}},
                        "overflowing multiplier 3x3");
  // A solution entry that overflows meets zero coefficients above it.
  expectSameAsReference({{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 2e-12f, 3e38f}}, "infinite x");
  expectSameAsReference({{1, 0, 0, 1}, {0, 1, 0, -0.0f}, {0, 0, -2e-12f, 3e38f}}, "infinite x 2");
}

TEST(FastSolver, AgreesOnSingularSystems) {
  // Singular at the first, a middle and the last column.
  Values first = {{0, 1, 2, 1}, {-0.0f, 3, 1, 2}, {0, 1, 1, 3}};
  EXPECT_EQ(expectSameAsReference(first, "first").printed, "Sing. Found At: 0\n");
  Values middle = {{2, 1, 2, 1, 1}, {1, 0.5f, 1, 1, 2}, {4, 2, 3, 1, 3}, {1, 0.5f, 1, 2, 4}};
  EXPECT_EQ(expectSameAsReference(middle, "middle").printed, "Sing. Found At: 1\n");
  Values last = {{1, 2, 3, 1}, {2, 5, 7, 2}, {1, 3, 4, 3}};
  EXPECT_EQ(expectSameAsReference(last, "last").printed, "Sing. Found At: 2\n");
  // A singular vehicle-like system: one corner's constraint rows duplicated.
  std::mt19937 rng(7);
  Values vehicle = vehicleLikeSystem(rng, VehicleLikeKnobs{});
  vehicle[43] = vehicle[42];
  const Outcome o = expectSameAsReference(vehicle, "vehicle", {Storage::kPadded});
  EXPECT_EQ(o.status, kSingular);
}

TEST(FastSolver, AgreesOnEverySizeAndStorage) {
  // Dense random systems of 1 .. 80 unknowns and around the chunk edges, in
  // unpadded, unaligned and padded rows.
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(-10.0f, 10.0f);
  std::vector<int> sizes;
  for (int n = 1; n <= 80; ++n) sizes.push_back(n);
  for (int n : {127, 128, 200, 254, 255, 256, 300}) sizes.push_back(n);
  for (int n : sizes) {
    Values v = square(n);
    for (auto& row : v) {
      for (float& x : row) x = value(rng);
    }
    expectSameAsReference(v, "dense", {Storage::kExact, Storage::kUnaligned, Storage::kPadded});
  }
}

TEST(FastSolver, AgreesOnSparseSystemsAcrossTheWordEdge) {
  // Mostly-zero systems whose nonzeros, signed zeros and right-hand sides
  // fall anywhere, sized around 64 and 128 columns: the pivot row's windows
  // then start on either side of column 64 and run into the last columns.
  std::mt19937 rng(64);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_real_distribution<float> value(-10.0f, 10.0f);
  for (int n : {58, 60, 61, 62, 63, 64, 65, 66, 67, 68, 70, 100, 120, 124, 125, 126, 127}) {
    for (int i = 0; i < 6; ++i) {
      const double density = 0.05 + 0.15 * i;
      Values v = square(n);
      for (int r = 0; r < n; ++r) {
        for (int k = 0; k <= n; ++k) {
          const double u = unit(rng);
          v[r][k] = u < density ? value(rng) : (u < density + 0.02 ? -0.0f : 0.0f);
        }
        if (unit(rng) < 0.9) v[r][r] = value(rng);
      }
      expectSameAsReference(v, "sparse n = " + std::to_string(n) + " density " +
                                   std::to_string(density),
                            {Storage::kExact, Storage::kPadded});
      if (HasFailure()) return;
    }
  }
}

// --- Random systems ------------------------------------------------------------

TEST(FastSolver, AgreesOnRandomVehicleLikeSystems) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int solved = 0;
  for (int i = 0; i < 3000; ++i) {
    VehicleLikeKnobs knobs;
    knobs.zeroChance = i % 3 == 0 ? 0.0 : 0.3 * unit(rng);
    knobs.zeroRhsChance = unit(rng);
    knobs.straightFront = i % 2 == 0;
    Values v = vehicleLikeSystem(rng, knobs);
    const Storage storage = i % 3 == 0 ? Storage::kPadded
                                       : (i % 3 == 1 ? Storage::kExact : Storage::kUnaligned);
    solved += expectSameAsReference(v, "vehicle-like " + std::to_string(i), {storage}).status ==
              kSolved;
    if (HasFailure()) return;
  }
  // Most of them are regular; the check is not only on singular ones.
  EXPECT_GT(solved, 2000);
}

TEST(FastSolver, AgreesOnVehicleLikeSystemsWithSpecialValues) {
  std::mt19937 rng(99);
  const std::vector<float> specials = {0.0f,  -0.0f,         kInf,         -kInf,
                                       kNan,  kNanPayload,   kNanPayload2, kSignallingNan,
                                       1e-45f, 3e38f};
  std::uniform_int_distribution<int> row(0, 65), column(0, 66), pick(0, int(specials.size()) - 1);
  for (int i = 0; i < 600; ++i) {
    Values v = vehicleLikeSystem(rng, VehicleLikeKnobs{});
    const int count = 1 + i % 3;
    for (int k = 0; k < count; ++k) v[row(rng)][column(rng)] = specials[pick(rng)];
    expectSameAsReference(v, "special " + std::to_string(i), {Storage::kPadded});
    if (HasFailure()) return;
  }
}

TEST(FastSolver, AgreesOnSmallSystemsOfSpecialValues) {
  // Entries drawn from a small set of awkward values, zeros most of all.
  std::mt19937 rng(5);
  const std::vector<float> pool = {0.0f, 0.0f, 0.0f,  -0.0f, -0.0f,       1.0f,          -1.0f,
                                   2.0f, -0.5f, 3.0f, 1e-12f, 1e-45f,     -3e38f,        kInf,
                                   -kInf, kNan, kNegNan, kNanPayload, kNanPayload2, kSignallingNan};
  std::uniform_int_distribution<int> size(1, 9), pick(0, int(pool.size()) - 1);
  std::uniform_int_distribution<int> plain(0, 9);
  for (int i = 0; i < 4000; ++i) {
    const int n = size(rng);
    Values v = square(n);
    // Most systems get few specials so that they get past the pivots.
    const bool wild = i % 4 == 0;
    for (auto& row : v) {
      for (float& x : row) {
        const int p = pick(rng);
        x = wild || p < 10 ? pool[p] : float(plain(rng) - 4);
      }
    }
    expectSameAsReference(v, "small " + std::to_string(i),
                          {i % 2 == 0 ? Storage::kExact : Storage::kUnaligned});
    if (HasFailure()) return;
  }
}

// --- Whole example runs ----------------------------------------------------------

// The examples and the golden scenario, one test each.
// Every example and the golden run; under the address sanitizer, which
// slows each step many times over, the golden run alone.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
std::vector<std::string> runDirectories() {
  std::vector<std::string> dirs;
  if (!kSanitized) dirs = exampleDirectories();
  dirs.push_back(std::string(VDSIM_SOURCE_DIR) + "/tests/driver/golden");
  return dirs;
}
// The directory's own name as a test name: letters, digits and '_' only.
std::string directoryName(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(info.param.find_last_of('/') + 1);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

// Every solver, stateless variants and the elimination plan alike, against
// the literal one on every step of a run: one literal solve a step serves
// them all. The same pass checks what the Vehicle's plan relies on to check
// its input narrowly: every element the assembly does not write is +0, and
// the narrow scan of the input decides as the full scan does.
class EveryStep : public testing::TestWithParam<std::string> {};

TEST_P(EveryStep, EverySolverAgreesWithTheLiteralOneAndTheNarrowCheckWithTheFullOne) {
  const std::string dir = GetParam();
  // The stateless variants themselves: the dispatcher takes one of them, and
  // is compared with the literal solver on every system elsewhere.
  std::vector<Variant> variants;
  for (const Variant& variant : fastVariants()) {
    if (variant.solve != Solver(solveLinearSystem)) variants.push_back(variant);
  }
  EliminationPlan plan(66);
  const auto planned = [&plan](float** rows, int n, float* solution) {
    return solveLinearSystem(rows, n, solution, plan);
  };
  int steps = 0, differing = 0, narrowChecks = 0;
  std::unique_ptr<Rows> expected, actual;
  std::vector<float> expectedSolution, actualSolution;
  std::vector<char> written;
  std::string error;
  const bool ran = runExample(
      dir,
      [&](Vehicle& vehicle, int step, int) {
        const int n = vehicle.unknownCount;
        float* const* system = vehicle.systemMatrix.data();
        if (!expected) {
          expected = std::make_unique<Rows>(n, Storage::kPadded);
          actual = std::make_unique<Rows>(n, Storage::kPadded);
          written.assign(std::size_t(n) * (n + 1), 0);
          for (const MatrixPosition& e : vehicle.writtenElements) {
            written[e.row * (n + 1) + e.column] = 1;
          }
          plan.narrowInputCheck(vehicle.writtenElements);
        }
        // The guarantee: +0 wherever the assembly does not write.
        for (int r = 0; r < n; ++r) {
          for (int k = 0; k <= n; ++k) {
            std::uint32_t b;
            std::memcpy(&b, &system[r][k], sizeof b);
            if (!written[r * (n + 1) + k] && b != 0 && ++differing <= 5) {
              ADD_FAILURE() << dir << ", step " << step << ": unwritten element " << r << ", " << k
                            << " holds bits " << b;
            }
          }
        }
        // The narrow check of the Vehicle's plan and of this test's, as the
        // plans stand before this step's solve.
        for (const EliminationPlan* p : {&vehicle.solvePlan, &plan}) {
          if (!p->narrowed()) continue;
          ++narrowChecks;
          if (p->fullScanAccepts(system) != p->narrowScanAccepts(system) && ++differing <= 5) {
            ADD_FAILURE() << dir << ", step " << step << ": the narrow scan decides otherwise";
          }
        }
        expected->load(system);
        expectedSolution.assign(n, -1.25f);
        const int status = solveLinearSystemReference(expected->rows(), n, expectedSolution.data());
        const auto check = [&](const std::string& name, const auto& solve) {
          actual->load(system);
          actualSolution.assign(n, -1.25f);
          const bool same = solve(actual->rows(), n, actualSolution.data()) == status &&
                            sameBits(actualSolution, expectedSolution) &&
                            actual->sameBits(*expected);
          if (same && status == kSolved) return;
          // Spell out the difference, with the printed messages.
          const Values values = systemValues(vehicle);
          const std::string diff =
              difference(solveWith(solveLinearSystemReference, values, Storage::kPadded),
                         solveWith(solve, values, Storage::kPadded));
          if (!diff.empty() && ++differing <= 5) {
            ADD_FAILURE() << dir << ", step " << step << ", " << name << ": " << diff;
          }
        };
        for (const Variant& variant : variants) check(variant.name, variant.solve);
        check("planned", planned);
        ++steps;
        return differing < 5;
      },
      error);
  ASSERT_TRUE(ran) << error;
  EXPECT_EQ(differing, 0) << dir;
  EXPECT_GT(steps, 1000) << dir;
  // The structure changes a few times a run; nearly every step follows a
  // plan, checked narrowly.
  if (avx2PathAvailable()) {
    EXPECT_LE(plan.plansBuilt(), 16) << dir;
    EXPECT_GT(plan.solvesOnPlan(), steps - 40) << dir;
    EXPECT_GT(narrowChecks, 2 * (steps - 40)) << dir;
  }
}

INSTANTIATE_TEST_SUITE_P(ExamplesAndGoldenRun, EveryStep, testing::ValuesIn(runDirectories()),
                         directoryName);

}  // namespace
}  // namespace solvertest
}  // namespace vdsim
