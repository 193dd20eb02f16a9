// The sparse elimination with four double lanes per instruction (AVX2).
//
//   a[r][k] = float(double(a[r][k]) - double(f) * double(a[c][k]))   per lane
//
// Compiled for AVX2 function by function (the rest of the program stays
// plain x86-64) and run only when the processor has it. Multiply and
// subtract are separate instructions: no fused multiply-add, so every lane
// rounds exactly as the literal algorithm does.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "numerics/linear_solver.h"
#include "numerics/linear_solver_paths.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(VDSIM_NO_AVX2_SOLVER)
#define VDSIM_HAVE_AVX2_PATH 1
#include <immintrin.h>
#endif

namespace vdsim {

#ifdef VDSIM_HAVE_AVX2_PATH

namespace avx2 {

#define SPARSE_TARGET __attribute__((target("avx2")))

// Vector operations on AVX2: four double lanes per arithmetic instruction,
// eight float lanes per scan or exchange.
struct Lanes {
  using Acc = __m128i;     // smallest result seen, as integers: -0 is the smallest
  using Factor = __m256d;  // a multiplier in every lane

  SPARSE_TARGET static Acc accStart() { return _mm_set1_epi32(0x7fffffff); }
  SPARSE_TARGET static bool accSawNegZero(Acc seen) {
    return movemask(_mm_cmpeq_epi32(seen, _mm_set1_epi32(int(0x80000000u)))) != 0;
  }
  SPARSE_TARGET static Factor broadcast(double f) { return _mm256_set1_pd(f); }

  // The columns start .. to-1 (to <= 128) of a row that are not +0, as a
  // set of two words.
  SPARSE_TARGET static void scanRow(const float* row, int start, int to, std::uint64_t* columns) {
    std::uint64_t low = 0, high = 0;
    if (to < 8) {
      for (int k = start; k < to; ++k) {
        std::uint32_t b;
        __builtin_memcpy(&b, &row[k], sizeof b);
        if (b != 0) low |= std::uint64_t(1) << k;
      }
      columns[0] = low;
      columns[1] = 0;
      return;
    }
    const __m256i zero = _mm256_setzero_si256();
    // Eight columns at a time from the multiple of eight at or below start
    // (lanes left of start read as +0), then the eight that end at column
    // to-1 (lanes seen before read as +0).
    int k = start & ~7;
    if (k + 8 <= to) {
      low = lanesNotZero(withoutLanesBelow(row + k, start - k), zero) << (k & 63);
      if (k >= 64) high = low, low = 0;
      for (k += 8; k + 8 <= to && k < 64; k += 8) {
        low |= lanesNotZero(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + k)), zero)
               << k;
      }
      for (; k + 8 <= to; k += 8) {
        high |= lanesNotZero(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + k)), zero)
                << (k - 64);
      }
    }
    if (k < to) {
      const int tail = to - 8;
      const std::uint64_t lanes =
          lanesNotZero(withoutLanesBelow(row + tail, (k > start ? k : start) - tail), zero);
      if (tail >= 64) {
        high |= lanes << (tail - 64);
      } else {
        low |= lanes << tail;
        if (tail > 56) high |= lanes >> (64 - tail);
      }
    }
    columns[0] = low;
    columns[1] = high;
  }

  // Scans the whole system (n rows of n + 1 columns, n <= 127): each row's
  // columns that are not +0 (pattern, two words a row), each coefficient
  // column's rows that are not +0 there (columnRows, two words a column),
  // and the rows holding -0 and NaN (two words each).
  SPARSE_TARGET static void scanMatrix(float* const* a, int n, std::uint64_t* pattern,
                         std::uint64_t* columnRows, std::uint64_t* negRows,
                         std::uint64_t* nanRows) {
    const int to = n + 1;
    negRows[0] = negRows[1] = nanRows[0] = nanRows[1] = 0;
    for (int k = 0; k < 2 * n; ++k) columnRows[k] = 0;
    if (to < 8) {
      for (int r = 0; r < n; ++r) scanRowOneByOne(a[r], r, to, pattern, columnRows, negRows, nanRows);
      return;
    }
    const __m256i zero = _mm256_setzero_si256();
    const __m256i magnitude = _mm256_set1_epi32(0x7fffffff);
    const __m256i negativeZero = _mm256_set1_epi32(int(0x80000000u));
    const __m256i infinity = _mm256_set1_epi32(0x7f800000);
    const int fullGroups = to / 8;                          // eight columns each
    const int lowGroups = fullGroups < 8 ? fullGroups : 8;  // those in the first word
    const int tail = to % 8;                                // columns after them
    // The coefficient columns 0 .. n-1, as the two words of a set.
    const std::uint64_t coefficientsLow = n >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << n) - 1;
    const std::uint64_t coefficientsHigh = n > 64 ? ~std::uint64_t(0) >> (128 - n) : 0;
    // The lanes of the whole groups, as the two words of a set.
    const std::uint64_t lowGroupLanes =
        lowGroups == 8 ? ~std::uint64_t(0) : (std::uint64_t(1) << (8 * lowGroups)) - 1;
    const std::uint64_t highGroupLanes =
        fullGroups == 16 ? ~std::uint64_t(0)
                         : (std::uint64_t(1) << (8 * (fullGroups - lowGroups))) - 1;
    for (int r = 0; r < n; ++r) {
      const float* row = a[r];
      __m256i smallest = magnitude, largest = zero;  // of the integers; of the magnitudes
      // The +0 lanes of the whole groups, then the others of them.
      std::uint64_t low = 0, high = 0;
      int g = 0;
      if (lowGroups == 8) {
#pragma GCC unroll 8
        for (int h = 0; h < 8; ++h) low |= zeroLanes(row + 8 * h, smallest, largest) << (8 * h);
        g = 8;
      } else {
        for (; g < lowGroups; ++g) low |= zeroLanes(row + 8 * g, smallest, largest) << (8 * g);
      }
      for (; g < fullGroups; ++g) high |= zeroLanes(row + 8 * g, smallest, largest) << (8 * g - 64);
      low = ~low & lowGroupLanes;
      high = ~high & highGroupLanes;
      if (tail != 0) {
        // The eight columns ending at column n: the last tail lanes are new.
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + to - 8));
        const std::uint64_t lanes = lanesNotZero(b, zero) >> (8 - tail);
        if (g < 8) {
          low |= lanes << (8 * g);
        } else {
          high |= lanes << (8 * g - 64);
        }
        smallest = _mm256_min_epi32(smallest, b);
        largest = _mm256_max_epi32(largest, _mm256_and_si256(b, magnitude));
      }
      pattern[2 * r] = low;
      pattern[2 * r + 1] = high;
      // The row joins the rows of its coefficient columns.
      const std::uint64_t rowBit = std::uint64_t(1) << (r & 63);
      std::uint64_t* rowsOf = columnRows + (r >> 6);
      for (std::uint64_t m = low & coefficientsLow; m != 0; m &= m - 1) {
        rowsOf[2 * __builtin_ctzll(m)] |= rowBit;
      }
      for (std::uint64_t m = high & coefficientsHigh; m != 0; m &= m - 1) {
        rowsOf[2 * (64 + __builtin_ctzll(m))] |= rowBit;
      }
      const __m256i special = _mm256_or_si256(_mm256_cmpeq_epi32(smallest, negativeZero),
                                              _mm256_cmpgt_epi32(largest, infinity));
      if (!_mm256_testz_si256(special, special)) {
        if (!_mm256_testz_si256(_mm256_cmpeq_epi32(smallest, negativeZero), magnitude)) {
          negRows[r >> 6] |= rowBit;
        }
        if (!_mm256_testz_si256(_mm256_cmpgt_epi32(largest, infinity), magnitude)) {
          nanRows[r >> 6] |= rowBit;
        }
      }
    }
  }

  // Whether any of four floats is infinite or NaN.
  SPARSE_TARGET static bool anyNonFinite4(const float* x) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
    const __m128i magnitude = _mm_and_si128(b, _mm_set1_epi32(0x7fffffff));
    return movemask(_mm_cmpgt_epi32(magnitude, _mm_set1_epi32(0x7f7fffff))) != 0;
  }

  // Four floats widened to doubles (exactly).
  SPARSE_TARGET static void widen4(const float* y, double* wide) {
    _mm256_store_pd(wide, _mm256_cvtps_pd(_mm_loadu_ps(y)));
  }

  // x := float(x - f * y) in four lanes, y given widened; notes the result.
  SPARSE_TARGET static void update4(float* x, const double* wide, Factor f, Acc& seen) {
    const __m256d product = _mm256_mul_pd(f, _mm256_load_pd(wide));
    const __m128 result =
        _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(x)), product));
    _mm_storeu_ps(x, result);
    seen = _mm_min_epi32(seen, _mm_castps_si128(result));
  }

  // The same, leaving the first keeps lanes of x as they are.
  SPARSE_TARGET static void update4Keeping(float* x, const double* wide, Factor f, int keeps,
                                           Acc& seen) {
    const __m128 xs = _mm_loadu_ps(x);
    const __m256d product = _mm256_mul_pd(f, _mm256_load_pd(wide));
    const __m128 computed = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_cvtps_pd(xs), product));
    const __m128 kept =
        _mm_castsi128_ps(_mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(keeps)));
    const __m128 result = _mm_blendv_ps(computed, xs, kept);
    _mm_storeu_ps(x, result);
    seen = _mm_min_epi32(seen, _mm_castps_si128(result));
  }

  // x[k] := float(x[k] - f * y[k]) for k = 0 .. count-1.
  SPARSE_TARGET static void updateSpan(float* x, const float* y, double f, int count) {
    const __m256d fd = _mm256_set1_pd(f);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
      const __m256d product = _mm256_mul_pd(fd, _mm256_cvtps_pd(_mm_loadu_ps(y + k)));
      _mm_storeu_ps(x + k,
                    _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(x + k)), product)));
    }
    for (; k < count; ++k) x[k] = float(double(x[k]) - f * y[k]);
  }

  // Exchanges count floats of two rows.
  SPARSE_TARGET static void swapSpan(float* a, float* b, int count) {
    int k = 0;
    for (; k + 8 <= count; k += 8) {
      const __m256 va = _mm256_loadu_ps(a + k);
      const __m256 vb = _mm256_loadu_ps(b + k);
      _mm256_storeu_ps(a + k, vb);
      _mm256_storeu_ps(b + k, va);
    }
    if (k + 4 <= count) {
      const __m128 va = _mm_loadu_ps(a + k);
      const __m128 vb = _mm_loadu_ps(b + k);
      _mm_storeu_ps(a + k, vb);
      _mm_storeu_ps(b + k, va);
      k += 4;
    }
    for (; k < count; ++k) {
      const float t = a[k];
      a[k] = b[k];
      b[k] = t;
    }
  }

 private:
  // The scan of one row of a system too small for vectors.
  SPARSE_TARGET static void scanRowOneByOne(const float* row, int r, int to, std::uint64_t* pattern,
                              std::uint64_t* columnRows, std::uint64_t* negRows,
                              std::uint64_t* nanRows) {
    pattern[2 * r] = pattern[2 * r + 1] = 0;
    for (int k = 0; k < to; ++k) {
      std::uint32_t b;
      __builtin_memcpy(&b, &row[k], sizeof b);
      if (b == 0) continue;
      pattern[2 * r] |= std::uint64_t(1) << k;
      if (k < to - 1) columnRows[2 * k] |= std::uint64_t(1) << r;
      if (b == 0x80000000u) negRows[0] |= std::uint64_t(1) << r;
      if ((b & 0x7fffffffu) > 0x7f800000u) nanRows[0] |= std::uint64_t(1) << r;
    }
  }
  // Eight floats as integers, the first skip of them (if any) read as +0.
  SPARSE_TARGET static __m256i withoutLanesBelow(const float* x, int skip) {
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    if (skip <= 0) return b;
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(skip), lane), b);
  }
  // The lanes of eight floats that are +0; the eight join the smallest
  // integers and the largest magnitudes seen.
  SPARSE_TARGET static std::uint64_t zeroLanes(const float* x, __m256i& smallest,
                                               __m256i& largest) {
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    smallest = _mm256_min_epi32(smallest, b);
    largest = _mm256_max_epi32(largest, _mm256_and_si256(b, _mm256_set1_epi32(0x7fffffff)));
    return unsigned(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(b, _mm256_setzero_si256()))));
  }
  // The lanes of eight floats that are not +0.
  SPARSE_TARGET static std::uint64_t lanesNotZero(__m256i b, __m256i zero) {
    return ~unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(b, zero)))) & 0xFFu;
  }
  SPARSE_TARGET static unsigned movemask(__m128i m) {
    return unsigned(_mm_movemask_ps(_mm_castsi128_ps(m)));
  }
};

#include "numerics/linear_solver_sparse.inc"

#undef SPARSE_TARGET

}  // namespace avx2

int solveLinearSystemAvx2(float** rows, int n, float* solution) {
  // Systems of fewer than three unknowns have no room for a vector window.
  if (n < 3 || n > kSparseMaxUnknowns) return solveLinearSystemReference(rows, n, solution);
  return avx2::solveSparse(rows, n, solution, 0);
}

int solveLinearSystemAvx2From(float** rows, int n, float* solution, int firstColumn) {
  return avx2::solveSparse(rows, n, solution, firstColumn);
}

bool avx2PathAvailable() { return __builtin_cpu_supports("avx2"); }

#else

int solveLinearSystemAvx2(float** rows, int n, float* solution) {
  return solveLinearSystemBaseline(rows, n, solution);
}

int solveLinearSystemAvx2From(float** rows, int n, float* solution, int firstColumn) {
  return solveLinearSystemBaselineFrom(rows, n, solution, firstColumn);
}

bool avx2PathAvailable() { return false; }

#endif

}  // namespace vdsim
