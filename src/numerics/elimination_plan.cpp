// The verified elimination plan.
//
// The literal algorithm (solveLinearSystemReference), for c = 0 .. n-2:
//   p = argmax_{r >= c} |a[r][c]| (strict >, first wins); singular if |a[p][c]| < 1e-12
//   exchange rows c and p over columns c .. n
//   a[r][k] = float(a[r][k] - f a[c][k]),  f = float(a[r][c] / a[c][c]),  r > c, k = c .. n
// then the last pivot test and back substitution.
//
// A plan is one literal elimination of a matrix A0, recorded: the columns
// of each row of A0 that are not +0 (P) and those holding -0 (Z); per column
// c the pivot row p_c; the structure S_c, per row the columns that may be
// non-+0 (S_0 = P; S_c+1 is S_c with rows c and p_c exchanged and every
// update row given the pivot row's columns from c on); the column's rows,
// those below c with column c in S_c, each a zero row when its multiplier
// was +-0 in A0 (and no earlier plan saw it non-zero), an update row
// otherwise; the pivot row's tiles, four-column groups that hold its columns
// of S_c from c on, each starting at the first such column no earlier tile
// holds (the last one ending at column n at most); A0's -0 elements below
// row c from column c on (N_c), of which those outside the tiles of an
// update row are updated one by one and those the column's update turned
// into something else are checked; and the -0 elements the update left in
// the tiles right of column c.
//
// A solve of a matrix A follows the plan after checking
//   (1) A is non-+0 only in P, -0 only in Z, and every |a| < 2^(126-n);
// and at each column c, before it changes anything but the exchange,
//   (2) |a[p][c]| >= 1e-12; after the exchange, rows c+1 .. p of the column's
//       rows are strictly smaller in magnitude, rows below p no larger;
//   (3) the zero rows' multipliers are +-0;
// and after it
//   (4) the tiles hold -0 right of column c only where A0's did;
//   (5) the recorded elements whose -0 A0's update removed are not -0.
// Before each column c this keeps, by induction over the columns:
//   (I1) the elements of rows >= c outside S_c (from column c on) are +0;
//   (I2) -0 occurs below row c, from column c on, only in N_c;
//   (I3) every |a| <= 2^(126-n+c), so everything is finite;
//   (I4) the matrix is the literal algorithm's.
// With (I1), rows outside the column's rows hold +0 at column c, so (2)
// makes p the literal pivot, and every |f| <= 1. The plan computes each
// update it makes with the literal formula and skips the others, each an
// identity: for finite f and y, f y = +-0 when either is zero, and
// x - (+-0) = x for every x but -0; the skipped elements are
//   - those of an update row outside its tiles: y = +0 there (I1);
//   - those of a zero row (3), or of a row +0 at column c (I1, f = +0 / v):
//     f = +-0;
// and none of them is -0: the -0s (I2) are updated one by one. A difference
// x - f y rounds to -0 only if x = -0 (f y = +0), or if it is a negative
// difference too small for a float (in a tile, f y non-zero); so with (4) a
// -0 after the column stands where A0's did, or where one stood before (in
// N_c) and (5) keeps it in N_c+1. Each |x - f y| <= |x| + |y| (its
// roundings do not pass the power of two above it), which gives (I3).
// After the last column the matrix is the literal one; the last pivot test
// is the literal one, and the back substitution skips a term only where the
// coefficient is outside S (+0), every x so far is finite and the sum is
// not -0 (then s - (+-0) = s).
//
// When a check fails, the matrix is the literal state at column c (checks
// (2) and (3), the exchange undone) or c + 1 (checks (4) and (5)), and the
// stateless solver finishes the solve from there. A failed scan (1) changes
// nothing, so a new plan is built at once from the same matrix, by a literal
// elimination that records it. Plans left on their first solve make the next
// planning wait a while (the stateless solver solves meanwhile): which path
// a solve takes changes its cost, never its result.
//
// The plan runs with AVX2 (four double lanes per update, eight floats per
// scan); on other processors every solve goes to the stateless solver.
#include "numerics/elimination_plan.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "numerics/linear_solver.h"
#include "numerics/linear_solver_paths.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(VDSIM_SCALAR_LANES) && !defined(VDSIM_NO_AVX2_SOLVER)
#define VDSIM_PLAN_AVX2 1
#define PLAN_AVX2 __attribute__((target("avx2")))
#include <immintrin.h>
#endif

namespace vdsim {

namespace {

constexpr int kTile = 4;  // columns per vector update
constexpr std::uint32_t kMagnitude = 0x7fffffffu;
constexpr std::uint32_t kNegativeZero = 0x80000000u;
constexpr int kMostBackoff = 64;  // solves between plans that keep failing, at most

#ifdef VDSIM_PLAN_AVX2

inline std::uint32_t bitsOf(float v) {
  std::uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}
inline std::uint32_t magnitudeBits(float v) { return bitsOf(v) & kMagnitude; }

inline bool isFiniteFloat(float v) { return magnitudeBits(v) < 0x7f800000u; }

// The literal back-substitution term, for any s, a and x: of two NaNs the
// product is the coefficient's (as the literal algorithm's), the difference
// the sum's.
inline float subtractTerm(float s, float a, float x) {
  const double product = a != a ? double(a) : double(a) * x;
  return float(double(s) - product);
}

// The back-substitution terms j = from, from - 1, .. down to after, while
// the sum s is -0 (the others leave a sum that is not -0 as it is).
float subtractWhileNegativeZero(float s, const float* row, const double* x, int from, int after) {
  for (int j = from; j > after && bitsOf(s) == kNegativeZero; --j) {
    s = float(double(s) - double(row[j]) * x[j]);
  }
  return s;
}

int reportSingular(int c) {
  std::printf("Sing. Found At: %i\n", c);
  return kSingular;
}

// The lanes of eight floats that are +0, as eight bits; the floats join
// the smallest seen as integers (-0 is the smallest) and the largest
// magnitude seen.
struct ZeroLanes {
  __m256i smallest;
  __m256i largest;
  PLAN_AVX2 std::uint64_t operator()(__m256i b) {
    smallest = _mm256_min_epi32(smallest, b);
    largest = _mm256_max_epu32(largest, _mm256_and_si256(b, _mm256_set1_epi32(int(kMagnitude))));
    const __m256 zero = _mm256_castsi256_ps(_mm256_cmpeq_epi32(b, _mm256_setzero_si256()));
    return unsigned(_mm256_movemask_ps(zero));
  }
};
// The lanes of eight floats that are -0, as eight bits.
struct NegativeZeroLanes {
  PLAN_AVX2 std::uint64_t operator()(__m256i b) const {
    const __m256i negativeZero = _mm256_set1_epi32(int(kNegativeZero));
    return unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(b, negativeZero))));
  }
};

// The columns 0 .. n of a row (n + 1 >= 8) whose eight-float groups give
// lanes(b), as a set of two words: the groups from column 0 on, then the
// eight ending at column n, of which only the last are new.
template <typename Lanes>
PLAN_AVX2 inline void columnsOfRow(const float* row, int n, Lanes& lanes, std::uint64_t& low,
                                   std::uint64_t& high) {
  const int to = n + 1, tail = to % 8, whole = to - tail;  // whole: a multiple of eight
  const int lowEnd = whole < 64 ? whole : 64;
  low = high = 0;
  int k = 0;
  for (; k < lowEnd; k += 8) {
    low |= lanes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + k))) << k;
  }
  for (; k < whole; k += 8) {
    high |= lanes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + k))) << (k - 64);
  }
  if (tail != 0) {
    const std::uint64_t last =
        lanes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + to - 8))) >> (8 - tail);
    if (whole < 64) {
      low |= last << whole;
    } else {
      high |= last << (whole - 64);
    }
  }
}

// x := float(x - f y) in four lanes, y given widened; the result joins the
// smallest seen (as integers: -0 is the smallest).
PLAN_AVX2 inline void updateTile(float* x, __m256d f, __m256d y, __m128i& smallest) {
  const __m128 result =
      _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(x)), _mm256_mul_pd(f, y)));
  _mm_storeu_ps(x, result);
  smallest = _mm_min_epi32(smallest, _mm_castps_si128(result));
}

// The tiles of kRows rows at once, each with its factor (they share the
// loads of the tiles); the last tile keeps the lanes of kept.
template <int kRows>
PLAN_AVX2 inline void updateRowGroup(float* const* a, const int* rows, const float* factors,
                                     const int* tiles, int tileCount, __m128 kept,
                                     const float* pivot, __m128i& smallest) {
  float* row[kRows];
  __m256d f[kRows];
#pragma GCC unroll 4
  for (int j = 0; j < kRows; ++j) {
    row[j] = a[rows[j]];
    f[j] = _mm256_set1_pd(double(factors[j]));
  }
  const int last = tileCount - 1;
  for (int t = 0; t < last; ++t) {
    const int k = tiles[t];
    const __m256d y = _mm256_cvtps_pd(_mm_loadu_ps(pivot + k));
#pragma GCC unroll 4
    for (int j = 0; j < kRows; ++j) updateTile(row[j] + k, f[j], y, smallest);
  }
  const __m256d y = _mm256_cvtps_pd(_mm_loadu_ps(pivot + tiles[last]));
#pragma GCC unroll 4
  for (int j = 0; j < kRows; ++j) {
    float* x = row[j] + tiles[last];
    const __m128 xs = _mm_loadu_ps(x);
    const __m128 computed =
        _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_cvtps_pd(xs), _mm256_mul_pd(f[j], y)));
    _mm_storeu_ps(x, _mm_blendv_ps(computed, xs, kept));
    smallest = _mm_min_epi32(smallest, _mm_castps_si128(_mm_andnot_ps(kept, computed)));
  }
}

// Eight 32-bit integers from memory.
PLAN_AVX2 inline __m256i loadEight(const void* values) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(values));
}

// Exchanges count floats of two rows.
PLAN_AVX2 inline void exchange(float* x, float* y, int count) {
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    const __m256 vx = _mm256_loadu_ps(x + k);
    _mm256_storeu_ps(x + k, _mm256_loadu_ps(y + k));
    _mm256_storeu_ps(y + k, vx);
  }
  if (k + 4 <= count) {
    const __m128 vx = _mm_loadu_ps(x + k);
    _mm_storeu_ps(x + k, _mm_loadu_ps(y + k));
    _mm_storeu_ps(y + k, vx);
    k += 4;
  }
  for (; k < count; ++k) std::swap(x[k], y[k]);
}

// x[k] := float(x[k] - f y[k]) for k = 0 .. count-1, the literal update of
// finite values (four lanes at a time, each rounded as the literal one).
PLAN_AVX2 inline void subtractMultiple(float* x, const float* y, double f, int count) {
  const __m256d factor = _mm256_set1_pd(f);
  int k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m256d product = _mm256_mul_pd(factor, _mm256_cvtps_pd(_mm_loadu_ps(y + k)));
    const __m256d difference = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(x + k)), product);
    _mm_storeu_ps(x + k, _mm256_cvtpd_ps(difference));
  }
  for (; k < count; ++k) x[k] = float(double(x[k]) - f * y[k]);
}

// The columns 0 .. n of a row that hold -0.
PLAN_AVX2 inline std::bitset<128> negativeZeroColumns(const float* row, int n) {
  std::bitset<128> columns;
  if (n + 1 < 8) {
    for (int k = 0; k <= n; ++k) columns[k] = bitsOf(row[k]) == kNegativeZero;
    return columns;
  }
  NegativeZeroLanes lanes;
  std::uint64_t low, high;
  columnsOfRow(row, n, lanes, low, high);
  return (std::bitset<128>(high) << 64) | std::bitset<128>(low);
}

#endif  // VDSIM_PLAN_AVX2

}  // namespace

EliminationPlan::EliminationPlan(int capacity)
    : capacity_(std::min(std::max(capacity, 0), kSparseMaxUnknowns)) {
#ifdef VDSIM_PLAN_AVX2
  if (!avx2PathAvailable()) capacity_ = 0;
#else
  capacity_ = 0;
#endif
  const int n = capacity_;
  const int tilesPerColumn = (n + 1) / kTile + 2;
  inputPattern_.assign(2 * n, 0);
  inputNegativeZeros_.assign(2 * n, 0);
  steps_.assign(n, ColumnStep{});
  rows_.assign(n * n / 2 + n, 0);
  tiles_.assign(n * tilesPerColumn, 0);
  singles_.assign(n * n, Single{0, 0});
  checks_.assign(n * n, Element{0, 0});
  tileNegativeZeros_.assign(n * n, Element{0, 0});
  backBegin_.assign(n + 1, 0);
  backColumns_.assign(n * n / 2 + n, 0);
  factor_.assign(n, 0.0f);
  solutionWide_.assign(n, 0.0);
  structure_.assign(n, Columns());
  negatives_.assign((n + 1) * (n + 1), Element{0, 0});
  varyingRows_.assign(n, Columns());
  mustBeZero_.assign(n * (n + 1), MatrixPosition{});
  noNegativeZero_.assign(n * (n + 1), MatrixPosition{});
  mayBeNegativeZero_.assign(n * (n + 1), MatrixPosition{});
  rowsSeen_.assign(n, nullptr);
  offsets_.assign(n * (n + 1) + 8, 0);
  keptBits_.assign(n * (n + 1) + 8, 0);
  marked_.assign(n * (n + 1) + 8, 0);
}

void EliminationPlan::narrowInputCheck(const std::vector<MatrixPosition>& written) {
  ready_ = false;  // the plan held has no narrow scan
  writtenColumns_.assign(capacity_, Columns());
  for (const MatrixPosition& position : written) {
    if (position.row >= 0 && position.row < capacity_ && position.column >= 0 &&
        position.column <= capacity_) {
      writtenColumns_[position.row].set(position.column);
    }
  }
}

bool EliminationPlan::fullScanAccepts(float* const* rows) const {
#ifdef VDSIM_PLAN_AVX2
  return ready_ && fullScanFits(rows);
#else
  (void)rows;
  return false;
#endif
}

bool EliminationPlan::narrowScanAccepts(float* const* rows) const {
#ifdef VDSIM_PLAN_AVX2
  return ready_ && narrow_ && narrowScanFits(rows);
#else
  (void)rows;
  return false;
#endif
}

void EliminationPlan::forget() {
  ready_ = false;
  std::fill(varyingRows_.begin(), varyingRows_.end(), Columns());
  learnt_ = false;
  backoff_ = 0;
  waitBeforePlanning_ = 0;
}

int EliminationPlan::solve(float** a, int n, float* solution) {
#ifdef VDSIM_PLAN_AVX2
  if (n >= kTile - 1 && n <= capacity_) {
    if (ready_ && n == n_) {
      if (inputFits(a)) {
        const int c = follow(a);
        if (c == n - 1) {
          ++solvesOnPlan_;
          ++solvesOnThisPlan_;
          // The last diagonal element is tested like every other pivot.
          if (std::fabs(double(a[n - 1][n - 1])) < 1e-12) return reportSingular(n - 1);
          backSubstitute(a, solution);
          return kSolved;
        }
        // The matrix is the literal state at column c.
        leavePlan();
        return solveLinearSystemAvx2From(a, n, solution, c);
      }
      leavePlan();
    }
    if (waitBeforePlanning_ == 0) return build(a, n, solution);
    --waitBeforePlanning_;
  }
#endif
  return solveLinearSystem(a, n, solution);
}

void EliminationPlan::leavePlan() {
  ready_ = false;
  ++plansLeft_;
  scheduleNextPlan();
}

void EliminationPlan::scheduleNextPlan() {
  // A plan that served no solve and taught nothing makes the next one wait,
  // longer each time.
  const bool progress = solvesOnThisPlan_ > 0 || learnt_;
  backoff_ = progress ? 0 : std::min(2 * backoff_ + 1, kMostBackoff);
  waitBeforePlanning_ = backoff_;
  learnt_ = false;
}

#ifdef VDSIM_PLAN_AVX2

bool EliminationPlan::inputFits(float* const* a) const {
  if (!narrow_) return fullScanFits(a);
  // A debug build checks the caller's guarantee on every solve.
  assert(narrowScanFits(a) == fullScanFits(a));
  return narrowScanFits(a);
}

PLAN_AVX2 bool EliminationPlan::narrowScanFits(float* const* a) const {
  // The written elements outside the planning input's pattern are +0, those
  // in it not -0 unless the planning input's was, and all below the bound;
  // the caller keeps the others +0.
  if (offsetCount_ > 0 && std::memcmp(a, rowsSeen_.data(), sizeof(float*) * n_) == 0) {
    // The rows lie where they lay: eight elements at a time from their offsets.
    const int* first = reinterpret_cast<const int*>(a[0]);
    __m256i kept = _mm256_setzero_si256(), marked = _mm256_setzero_si256();
    __m256i largest = _mm256_setzero_si256();
    const __m256i magnitude = _mm256_set1_epi32(int(kMagnitude));
    for (int i = 0; i < offsetCount_; i += 8) {
      const __m256i b = _mm256_i32gather_epi32(first, loadEight(&offsets_[i]), 4);
      kept = _mm256_or_si256(kept, _mm256_and_si256(b, loadEight(&keptBits_[i])));
      marked = _mm256_or_si256(marked, _mm256_cmpeq_epi32(b, loadEight(&marked_[i])));
      largest = _mm256_max_epu32(largest, _mm256_and_si256(b, magnitude));
    }
    const __m256i bad = _mm256_or_si256(kept, marked);
    __m128i m =
        _mm_max_epu32(_mm256_castsi256_si128(largest), _mm256_extracti128_si256(largest, 1));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));
    return _mm256_testz_si256(bad, bad) && std::uint32_t(_mm_cvtsi128_si32(m)) < boundBits_;
  }
  std::uint32_t nonZero = 0, negativeZero = 0, largest = 0;
  for (int i = 0; i < mustBeZeroCount_; ++i) {
    nonZero |= bitsOf(a[mustBeZero_[i].row][mustBeZero_[i].column]);
  }
  for (int i = 0; i < noNegativeZeroCount_; ++i) {
    const std::uint32_t b = bitsOf(a[noNegativeZero_[i].row][noNegativeZero_[i].column]);
    negativeZero |= b == kNegativeZero;
    largest = std::max(largest, b & kMagnitude);
  }
  for (int i = 0; i < mayBeNegativeZeroCount_; ++i) {
    const std::uint32_t b = bitsOf(a[mayBeNegativeZero_[i].row][mayBeNegativeZero_[i].column]);
    largest = std::max(largest, b & kMagnitude);
  }
  return (nonZero | negativeZero) == 0 && largest < boundBits_;
}

void EliminationPlan::planNarrowScan(float* const* a) {
  narrow_ = false;
  if (writtenColumns_.empty()) return;
  const int n = n_;
  for (int r = 0; r < n; ++r) {
    const Columns pattern =
        (Columns(inputPattern_[2 * r + 1]) << 64) | Columns(inputPattern_[2 * r]);
    if ((pattern & ~writtenColumns_[r]).any()) return;  // not +0 where the caller does not write
  }
  mustBeZeroCount_ = noNegativeZeroCount_ = mayBeNegativeZeroCount_ = 0;
  for (int r = 0; r < n; ++r) {
    for (int k = 0; k <= n; ++k) {
      if (!writtenColumns_[r].test(k)) continue;
      const std::uint64_t bit = std::uint64_t(1) << (k & 63);
      const MatrixPosition position{r, k};
      if ((inputPattern_[2 * r + (k >> 6)] & bit) == 0) {
        mustBeZero_[mustBeZeroCount_++] = position;
      } else if ((inputNegativeZeros_[2 * r + (k >> 6)] & bit) == 0) {
        noNegativeZero_[noNegativeZeroCount_++] = position;
      } else {
        mayBeNegativeZero_[mayBeNegativeZeroCount_++] = position;
      }
    }
  }
  narrow_ = true;
  // The offsets from the first row, when they fit the gather's indices:
  // each list's elements with what must hold of their bits (-1 as the mark
  // of a NaN, which the bound refuses anyway).
  offsetCount_ = 0;
  std::copy(a, a + n, rowsSeen_.begin());
  int count = 0;
  const auto add = [&](const MatrixPosition* list, int listCount, std::uint32_t keep,
                       std::uint32_t mark) {
    for (int i = 0; i < listCount; ++i) {
      const std::ptrdiff_t offset = (a[list[i].row] + list[i].column) - a[0];
      if (offset < -(std::ptrdiff_t(1) << 28) || offset > std::ptrdiff_t(1) << 28) return false;
      offsets_[count] = std::int32_t(offset);
      keptBits_[count] = keep;
      marked_[count++] = mark;
    }
    return true;
  };
  if (!add(mustBeZero_.data(), mustBeZeroCount_, ~0u, ~0u) ||
      !add(noNegativeZero_.data(), noNegativeZeroCount_, 0u, kNegativeZero) ||
      !add(mayBeNegativeZero_.data(), mayBeNegativeZeroCount_, 0u, ~0u) || count == 0) {
    return;
  }
  // Up to a multiple of eight with the first element again.
  for (; count % 8 != 0; ++count) {
    offsets_[count] = offsets_[0];
    keptBits_[count] = keptBits_[0];
    marked_[count] = marked_[0];
  }
  offsetCount_ = count;
}

PLAN_AVX2 bool EliminationPlan::fullScanFits(float* const* a) const {
  const int n = n_;
  if (n + 1 < 8) {
    // Too narrow for the vectors: element by element.
    for (int r = 0; r < n; ++r) {
      for (int k = 0; k <= n; ++k) {
        const std::uint32_t b = bitsOf(a[r][k]);
        if (b == 0) continue;
        const std::uint64_t bit = std::uint64_t(1) << k;
        if ((inputPattern_[2 * r] & bit) == 0 || (b & kMagnitude) >= boundBits_) return false;
        if (b == kNegativeZero && (inputNegativeZeros_[2 * r] & bit) == 0) return false;
      }
    }
    return true;
  }
  // The columns 0 .. n as two words.
  const int to = n + 1;
  const std::uint64_t allLow = to >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << to) - 1;
  const std::uint64_t allHigh = to > 64 ? ~std::uint64_t(0) >> (128 - to) : 0;
  ZeroLanes zeros{_mm256_setzero_si256(), _mm256_setzero_si256()};
  NegativeZeroLanes negativeZeroLanes;
  for (int r = 0; r < n; ++r) {
    const float* row = a[r];
    // Its +0 columns, and whether it holds a -0.
    zeros.smallest = _mm256_set1_epi32(0x7fffffff);
    std::uint64_t low, high;
    columnsOfRow(row, n, zeros, low, high);
    const std::uint64_t* pattern = &inputPattern_[2 * r];
    if (((~low & allLow & ~pattern[0]) | (~high & allHigh & ~pattern[1])) != 0) return false;
    const __m256i sawNegativeZero =
        _mm256_cmpeq_epi32(zeros.smallest, _mm256_set1_epi32(int(kNegativeZero)));
    if (!_mm256_testz_si256(sawNegativeZero, sawNegativeZero)) {
      // A -0 in the row: its columns against the recorded ones.
      columnsOfRow(row, n, negativeZeroLanes, low, high);
      const std::uint64_t* negative = &inputNegativeZeros_[2 * r];
      if (((low & ~negative[0]) | (high & ~negative[1])) != 0) return false;
    }
  }
  // The largest magnitude, against the bound.
  const __m256i largest = zeros.largest;
  __m128i m = _mm_max_epu32(_mm256_castsi256_si128(largest), _mm256_extracti128_si256(largest, 1));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4E));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));
  return std::uint32_t(_mm_cvtsi128_si32(m)) < boundBits_;
}

PLAN_AVX2 int EliminationPlan::follow(float** a) {
  const int n = n_;
  float* factor = factor_.data();
  for (int c = 0; c < n - 1; ++c) {
    const ColumnStep& step = steps_[c];
    const int p = step.pivot;
    // (2) The pivot passes the singularity test ...
    const float v = a[p][c];
    if (std::fabs(double(v)) < 1e-12) return c;
    if (p != c) exchange(a[c] + c, a[p] + c, n + 1 - c);
    // ... and is the largest of the column, the first of the largest; (3)
    // the zero rows' multipliers are +-0; the multipliers of all rows. (All
    // values are finite: magnitudes compare as floats.)
    const double vd = v;
    const int* rows = rows_.data() + step.rowsBegin;
    float aboveP = 0.0f, belowP = 0.0f;  // the largest magnitudes, rows c+1 .. p and after
    std::uint32_t nonZero = 0;           // some zero row's multiplier is not +-0
    int i = 0;
    for (; i < step.updateStrict; ++i) {
      const float x = a[rows[i]][c];
      aboveP = std::max(aboveP, std::fabs(x));
      factor[i] = float(double(x) / vd);
    }
    for (; i < step.updateEnd; ++i) {
      const float x = a[rows[i]][c];
      belowP = std::max(belowP, std::fabs(x));
      factor[i] = float(double(x) / vd);
    }
    for (; i < step.zeroStrict; ++i) {
      const float x = a[rows[i]][c];
      aboveP = std::max(aboveP, std::fabs(x));
      factor[i] = float(double(x) / vd);
      nonZero |= magnitudeBits(factor[i]);
    }
    for (; i < step.zeroEnd; ++i) {
      const float x = a[rows[i]][c];
      belowP = std::max(belowP, std::fabs(x));
      factor[i] = float(double(x) / vd);
      nonZero |= magnitudeBits(factor[i]);
    }
    for (; i < step.rowsEnd; ++i) factor[i] = float(double(a[rows[i]][c]) / vd);
    const float pivotMagnitude = std::fabs(v);
    if (!(aboveP < pivotMagnitude && belowP <= pivotMagnitude) || nonZero != 0) {
      if (nonZero != 0) learnNonZeroRows(c);
      if (p != c) exchange(a[c] + c, a[p] + c, n + 1 - c);  // back to the literal state at c
      return c;
    }
    // The update rows over the pivot row's tiles, four rows at a time (each
    // tile of the pivot row widened once for them), then two, then one.
    const int* tiles = tiles_.data() + step.tilesBegin;
    const int tileCount = step.tilesEnd - step.tilesBegin;
    const float* pivot = a[c];
    const __m128i laneBit = _mm_setr_epi32(1, 2, 4, 8);
    const __m128 kept = _mm_castsi128_ps(
        _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(step.keepLanes), laneBit), laneBit));
    __m128i smallest = _mm_set1_epi32(0x7fffffff);  // of the results, as integers
    const int count = step.updateEnd;
    i = 0;
    for (; i + 4 <= count; i += 4) {
      updateRowGroup<4>(a, rows + i, factor + i, tiles, tileCount, kept, pivot, smallest);
    }
    if (i + 2 <= count) {
      updateRowGroup<2>(a, rows + i, factor + i, tiles, tileCount, kept, pivot, smallest);
      i += 2;
    }
    if (i < count) {
      updateRowGroup<1>(a, rows + i, factor + i, tiles, tileCount, kept, pivot, smallest);
    }
    // The -0 elements outside the tiles, one by one.
    for (int s = step.singlesBegin; s < step.singlesEnd; ++s) {
      const Single& single = singles_[s];
      float& x = a[rows[single.slot]][single.column];
      x = float(double(x) - double(pivot[single.column]) * factor[single.slot]);
    }
    // (4) The tiles hold -0 only where the planning run's did; (5) the -0
    // elements its update removed are gone.
    const __m128i negativeZero = _mm_cmpeq_epi32(smallest, _mm_set1_epi32(int(kNegativeZero)));
    if (_mm_movemask_ps(_mm_castsi128_ps(negativeZero)) != 0 && !tileNegativeZerosAsPlanned(a, c)) {
      return c + 1;
    }
    std::uint32_t removed = 0;
    for (int e = step.checksBegin; e < step.checksEnd; ++e) {
      removed |= bitsOf(a[checks_[e].row][checks_[e].column]) == kNegativeZero;
    }
    if (removed != 0) return c + 1;
  }
  return n - 1;
}

bool EliminationPlan::tileNegativeZerosAsPlanned(float* const* a, int c) const {
  const ColumnStep& step = steps_[c];
  const Element* planned = tileNegativeZeros_.data() + step.tileZerosBegin;
  const int plannedCount = step.tileZerosEnd - step.tileZerosBegin;
  for (int i = 0; i < step.updateEnd; ++i) {
    const int r = rows_[step.rowsBegin + i];
    for (int t = step.tilesBegin; t < step.tilesEnd; ++t) {
      for (int k = std::max(tiles_[t], c + 1); k < tiles_[t] + kTile; ++k) {
        if (t == step.tilesEnd - 1 && ((step.keepLanes >> (k - tiles_[t])) & 1) != 0) continue;
        if (bitsOf(a[r][k]) != kNegativeZero) continue;
        const auto same = [&](const Element& e) { return e.row == r && e.column == k; };
        if (std::none_of(planned, planned + plannedCount, same)) return false;
      }
    }
  }
  return true;
}
void EliminationPlan::learnNonZeroRows(int c) {
  const ColumnStep& step = steps_[c];
  for (int i = step.updateEnd; i < step.zeroEnd; ++i) {
    if (magnitudeBits(factor_[i]) != 0) varyingRows_[c].set(rows_[step.rowsBegin + i]);
  }
  learnt_ = true;
}
void EliminationPlan::backSubstitute(float* const* a, float* solution) {
  const int n = n_;
  double* x = solutionWide_.data();  // the solution so far, widened
  bool nonFiniteSeen = false;        // some solution[j] so far is infinite or NaN
  for (int i = n - 1; i >= 0; --i) {
    const float* row = a[i];
    float s = row[n];
    if (nonFiniteSeen) {
      // 0 inf and 0 NaN count: every term, as written.
      for (int j = n - 1; j > i; --j) s = subtractTerm(s, row[j], solution[j]);
    } else {
      // The row's columns that may be non-+0, descending; the terms between
      // them are +-0 and change only a -0 sum, so they go one by one then
      // (from the column after the last one done).
      const int* columns = backColumns_.data();
      const int begin = backBegin_[i], end = backBegin_[i + 1];
      for (int e = begin; e < end; ++e) {
        const int k = columns[e];
        if (bitsOf(s) == kNegativeZero) {
          s = subtractWhileNegativeZero(s, row, x, (e == begin ? n : columns[e - 1]) - 1, k);
        }
        s = float(double(s) - double(row[k]) * x[k]);
      }
      if (bitsOf(s) == kNegativeZero) {
        s = subtractWhileNegativeZero(s, row, x, (end == begin ? n : columns[end - 1]) - 1, i);
      }
    }
    solution[i] = float(double(s) / row[i]);
    x[i] = solution[i];
    nonFiniteSeen = nonFiniteSeen || !isFiniteFloat(solution[i]);
  }
}

PLAN_AVX2 int EliminationPlan::build(float** a, int n, float* solution) {
  ready_ = false;
  solvesOnThisPlan_ = 0;
  n_ = n;
  boundBits_ = std::uint32_t(253 - n) << 23;  // 2^(126-n)
  // The input: its columns not +0 and holding -0, and its magnitudes.
  bool fits = true;
  for (int r = 0; r < n; ++r) {
    std::uint64_t* columns = &inputPattern_[2 * r];
    std::uint64_t* negative = &inputNegativeZeros_[2 * r];
    columns[0] = columns[1] = negative[0] = negative[1] = 0;
    structure_[r].reset();
    for (int k = 0; k <= n; ++k) {
      const std::uint32_t b = bitsOf(a[r][k]);
      if (b == 0) continue;
      columns[k >> 6] |= std::uint64_t(1) << (k & 63);
      if (b == kNegativeZero) negative[k >> 6] |= std::uint64_t(1) << (k & 63);
      fits = fits && (b & kMagnitude) < boundBits_;
      structure_[r].set(k);
    }
  }
  if (!fits) {
    scheduleNextPlan();
    return solveLinearSystem(a, n, solution);
  }
  // The literal elimination (its values all finite, as the bound keeps
  // them), recorded. A plan that outgrows its room is dropped; the
  // elimination goes on.
  bool fitsRoom = true;
  const auto record = [&fitsRoom](auto& list, int& count, const auto& entry) {
    if (count < int(list.size())) {
      list[count++] = entry;
    } else {
      fitsRoom = false;
    }
  };
  int rowCount = 0, tileCount = 0, singleCount = 0, checkCount = 0, tileZeroCount = 0;
  float factor[kMaxColumns];  // each row's multiplier at the column
  int slotOf[kMaxColumns];    // a row's slot in the column, -1 for none
  Columns updated;            // the column's update rows
  for (int c = 0; c < n - 1; ++c) {
    // The pivot, as the literal algorithm finds it.
    int p = c;
    float v = a[c][c];
    for (int r = c + 1; r < n; ++r) {
      if (std::fabs(double(a[r][c])) > std::fabs(double(v))) {
        p = r;
        v = a[r][c];
      }
    }
    if (std::fabs(double(v)) < 1e-12) {
      scheduleNextPlan();
      return reportSingular(c);
    }
    if (p != c) {
      exchange(a[c] + c, a[p] + c, n + 1 - c);
      std::swap(structure_[c], structure_[p]);
    }
    const double vd = v;
    for (int r = c + 1; r < n; ++r) factor[r] = float(double(a[r][c]) / vd);
    ColumnStep& step = steps_[c];
    step.pivot = p;
    step.rowsBegin = rowCount;
    // The column's rows by kind: update rows (non-zero multiplier, or one
    // seen non-zero before) above and below p, then zero rows above and
    // below p.
    std::fill(slotOf, slotOf + n, -1);
    updated.reset();
    int slot = 0;
    const auto addRows = [&](bool update, bool strict) {
      for (int r = c + 1; r < n; ++r) {
        if (!structure_[r].test(c) || (r <= p) != strict) continue;
        const bool nonZero = magnitudeBits(factor[r]) != 0;
        if ((nonZero || varyingRows_[c].test(r)) != update) continue;
        if (update) updated.set(r);
        slotOf[r] = slot;
        rows_[rowCount + slot++] = r;
      }
    };
    addRows(true, true);
    step.updateStrict = slot;
    addRows(true, false);
    step.updateEnd = slot;
    addRows(false, true);
    step.zeroStrict = slot;
    addRows(false, false);
    step.zeroEnd = slot;
    // The -0 elements below row c from column c on; rows holding one that
    // are +0 at column c take the remaining slots.
    int negativeCount = 0;
    const Columns fromC = ~Columns() << c;
    for (int r = c + 1; r < n; ++r) {
      const Columns negative = negativeZeroColumns(a[r], n) & fromC;
      if (negative.none()) continue;
      for (int k = c; k <= n; ++k) {
        if (negative.test(k)) negatives_[negativeCount++] = {r, k};
      }
      if (slotOf[r] < 0) {
        slotOf[r] = slot;
        rows_[rowCount + slot++] = r;
      }
    }
    step.rowsEnd = slot;
    rowCount += slot;
    // The pivot row's tiles, and the columns they update: from the first of
    // its columns that no tile covers yet, four columns; a tile that would
    // pass column n ends there instead, keeping the lanes an earlier tile
    // covers or that lie left of c (so only the last tile keeps lanes).
    step.tilesBegin = tileCount;
    step.keepLanes = 0;
    Columns covered;
    for (int k = c; k <= n; ++k) {
      if (!structure_[c].test(k) || covered.test(k)) continue;
      const int start = std::min(k, n + 1 - kTile);
      tiles_[tileCount++] = start;
      for (int l = 0; l < kTile; ++l) {
        if (start + l < c || covered.test(start + l)) {
          step.keepLanes |= 1 << l;
        } else {
          covered.set(start + l);
        }
      }
    }
    step.tilesEnd = tileCount;
    // The literal update of every row below, columns c .. n.
    for (int r = c + 1; r < n; ++r) subtractMultiple(a[r] + c, a[c] + c, factor[r], n + 1 - c);
    // The -0 elements: outside the tiles of an update row one by one; those
    // the update removed, checked.
    step.singlesBegin = singleCount;
    step.checksBegin = checkCount;
    for (int e = 0; e < negativeCount; ++e) {
      const Element& element = negatives_[e];
      if (!updated.test(element.row) || !covered.test(element.column)) {
        record(singles_, singleCount, Single{slotOf[element.row], element.column});
      }
      if (bitsOf(a[element.row][element.column]) != kNegativeZero) {
        record(checks_, checkCount, element);
      }
    }
    step.singlesEnd = singleCount;
    step.checksEnd = checkCount;
    // The -0 elements the update left in the tiles right of column c.
    step.tileZerosBegin = tileZeroCount;
    for (int r = c + 1; r < n; ++r) {
      if (!updated.test(r)) continue;
      const Columns negative = negativeZeroColumns(a[r], n) & covered & (fromC << 1);
      for (int k = c + 1; k <= n && negative.any(); ++k) {
        if (negative.test(k)) record(tileNegativeZeros_, tileZeroCount, Element{r, k});
      }
    }
    step.tileZerosEnd = tileZeroCount;
    // The update rows may now be non-+0 wherever the pivot row may be.
    const Columns pivotColumns = structure_[c] & fromC;
    for (int r = c + 1; r < n; ++r) {
      if (updated.test(r)) structure_[r] |= pivotColumns;
    }
  }
  // Each reduced row's columns right of the diagonal, descending.
  int backCount = 0;
  for (int i = 0; i < n; ++i) {
    backBegin_[i] = backCount;
    for (int k = n - 1; k > i; --k) {
      if (structure_[i].test(k)) backColumns_[backCount++] = k;
    }
  }
  backBegin_[n] = backCount;
  planNarrowScan(a);
  ready_ = fitsRoom;
  plansBuilt_ += fitsRoom ? 1 : 0;
  if (!fitsRoom) scheduleNextPlan();
  if (std::fabs(double(a[n - 1][n - 1])) < 1e-12) return reportSingular(n - 1);
  backSubstitute(a, solution);
  return kSolved;
}

#endif  // VDSIM_PLAN_AVX2

int solveLinearSystem(float** rows, int n, float* solution, EliminationPlan& plan) {
  return plan.solve(rows, n, solution);
}

}  // namespace vdsim
