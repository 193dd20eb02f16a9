// The sparse elimination for every machine: SSE2 on x86-64 (two double lanes
// per instruction), plain scalar code elsewhere.
//
//   a[r][k] = float(double(a[r][k]) - double(f) * double(a[c][k]))   per lane
//
// Each lane is widened, multiplied, subtracted and rounded exactly as the
// literal algorithm does it, so the width changes nothing in the results.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "numerics/linear_solver.h"
#include "numerics/linear_solver_paths.h"

#if defined(__SSE2__) && !defined(VDSIM_SCALAR_LANES)
#include <emmintrin.h>
#endif

namespace vdsim {
namespace baseline {

#define SPARSE_TARGET

#if defined(__SSE2__) && !defined(VDSIM_SCALAR_LANES)

// Vector operations on SSE2: two double lanes per arithmetic instruction,
// four float lanes per scan or exchange.
struct Lanes {
  using Acc = __m128i;     // lanes that have seen a -0
  using Factor = __m128d;  // a multiplier in both lanes

  static Acc accStart() { return _mm_setzero_si128(); }
  static bool accSawNegZero(Acc seen) { return movemask(seen) != 0; }
  static Factor broadcast(double f) { return _mm_set1_pd(f); }

  // The columns start .. to-1 (to <= 128) of a row that are not +0, as a
  // set of two words.
  static void scanRow(const float* row, int start, int to, std::uint64_t* columns) {
    std::uint64_t low = 0, high = 0;
    if (to < 4) {
      for (int k = start; k < to; ++k) {
        std::uint32_t b;
        __builtin_memcpy(&b, &row[k], sizeof b);
        if (b != 0) low |= std::uint64_t(1) << k;
      }
      columns[0] = low;
      columns[1] = 0;
      return;
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i lane = _mm_setr_epi32(0, 1, 2, 3);
    // Four columns at a time from the multiple of four at or below start,
    // then the four that end at column to-1; lanes left of start or seen
    // before read as +0.
    int k = start & ~3;
    int seen = start;
    while (k < to) {
      const bool last = k + 4 > to;
      if (last) k = to - 4;
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k));
      if (seen > k) b = _mm_andnot_si128(_mm_cmpgt_epi32(_mm_set1_epi32(seen - k), lane), b);
      const std::uint64_t lanes = ~movemask(_mm_cmpeq_epi32(b, zero)) & 0xFu;
      if (k >= 64) {
        high |= lanes << (k - 64);
      } else {
        low |= lanes << k;
        if (k > 60) high |= lanes >> (64 - k);
      }
      if (last) break;
      k += 4;
      seen = k;
    }
    columns[0] = low;
    columns[1] = high;
  }

  // Scans the whole system (n rows of n + 1 columns, n <= 127): each row's
  // columns that are not +0 (pattern, two words a row), each coefficient
  // column's rows that are not +0 there (columnRows, two words a column),
  // and the rows holding -0 and NaN (two words each).
  static void scanMatrix(float* const* a, int n, std::uint64_t* pattern,
                         std::uint64_t* columnRows, std::uint64_t* negRows,
                         std::uint64_t* nanRows) {
    const int to = n + 1;
    negRows[0] = negRows[1] = nanRows[0] = nanRows[1] = 0;
    for (int k = 0; k < 2 * n; ++k) columnRows[k] = 0;
    if (to < 8) {
      for (int r = 0; r < n; ++r) scanRowOneByOne(a[r], r, to, pattern, columnRows, negRows, nanRows);
      return;
    }
    // mask[g][r]: the lanes of columns 8g .. 8g+7 of row r that are not +0;
    // rows from n on are left zero up to a multiple of 16.
    const int groups = (to + 7) / 8;
    const int rowBlocks = (n + 15) / 16;
    alignas(16) unsigned char mask[16][kSparseMaxUnknowns + 1];
    for (int g = 0; g < groups; ++g) {
      _mm_store_si128(reinterpret_cast<__m128i*>(&mask[g][16 * (rowBlocks - 1)]),
                      _mm_setzero_si128());
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i sign = _mm_set1_epi32(int(0x80000000u));
    const __m128i magnitude = _mm_set1_epi32(0x7fffffff);
    const __m128i infinity = _mm_set1_epi32(0x7f800000);
    const int fullGroups = to / 8;
    const int tail = to % 8;  // columns of the last group
    for (int r = 0; r < n; ++r) {
      const float* row = a[r];
      __m128i negZero = zero, nan = zero;
      std::uint64_t low = 0, high = 0;
      for (int g = 0; g <= fullGroups; ++g) {
        // The last group: the eight columns ending at column n, of which the
        // last tail are new.
        if (g == fullGroups && tail == 0) break;
        const float* at = g < fullGroups ? row + 8 * g : row + to - 8;
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 4));
        unsigned lanes = (~movemask(_mm_cmpeq_epi32(b0, zero)) & 0xFu) |
                         (~movemask(_mm_cmpeq_epi32(b1, zero)) & 0xFu) << 4;
        if (g == fullGroups) lanes >>= 8 - tail;
        mask[g][r] = static_cast<unsigned char>(lanes);
        if (g < 8) {
          low |= std::uint64_t(lanes) << (8 * g);
        } else {
          high |= std::uint64_t(lanes) << (8 * g - 64);
        }
        negZero = _mm_or_si128(negZero, _mm_or_si128(_mm_cmpeq_epi32(b0, sign),
                                                     _mm_cmpeq_epi32(b1, sign)));
        nan = _mm_or_si128(nan, _mm_or_si128(
                                    _mm_cmpgt_epi32(_mm_and_si128(b0, magnitude), infinity),
                                    _mm_cmpgt_epi32(_mm_and_si128(b1, magnitude), infinity)));
      }
      pattern[2 * r] = low;
      pattern[2 * r + 1] = high;
      const std::uint64_t rowBit = std::uint64_t(1) << (r & 63);
      if (movemask(negZero) != 0) negRows[r >> 6] |= rowBit;
      if (movemask(nan) != 0) nanRows[r >> 6] |= rowBit;
    }
    // Transpose: bit b of mask[g][r] is row r of column 8g+b. Each byte's
    // top bit, 16 rows at a time, then the next bit up by doubling.
    for (int g = 0; g < groups; ++g) {
      for (int block = 0; block < rowBlocks; ++block) {
        __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(&mask[g][16 * block]));
        for (int b = 7; b >= 0; --b) {
          const int k = 8 * g + b;
          const std::uint64_t rows = unsigned(_mm_movemask_epi8(bytes));
          if (k < n) columnRows[2 * k + (block >> 2)] |= rows << (16 * (block & 3));
          bytes = _mm_add_epi8(bytes, bytes);
        }
      }
    }
  }

  // Whether any of four floats is infinite or NaN.
  static bool anyNonFinite4(const float* x) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
    const __m128i magnitude = _mm_and_si128(b, _mm_set1_epi32(0x7fffffff));
    return movemask(_mm_cmpgt_epi32(magnitude, _mm_set1_epi32(0x7f7fffff))) != 0;
  }

  // Four floats widened to doubles (exactly).
  static void widen4(const float* y, double* wide) {
    const __m128 ys = _mm_loadu_ps(y);
    _mm_store_pd(wide, _mm_cvtps_pd(ys));
    _mm_store_pd(wide + 2, _mm_cvtps_pd(_mm_movehl_ps(ys, ys)));
  }

  // x := float(x - f * y) in four lanes, y given widened; notes a -0.
  static void update4(float* x, const double* wide, Factor f, Acc& seen) {
    const __m128 xs = _mm_loadu_ps(x);
    const __m128d low = _mm_sub_pd(_mm_cvtps_pd(xs), _mm_mul_pd(f, _mm_load_pd(wide)));
    const __m128d high =
        _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(xs, xs)), _mm_mul_pd(f, _mm_load_pd(wide + 2)));
    const __m128 result = _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
    _mm_storeu_ps(x, result);
    seen = _mm_or_si128(seen, _mm_cmpeq_epi32(_mm_castps_si128(result),
                                              _mm_set1_epi32(int(0x80000000u))));
  }

  // The same, leaving the first keeps lanes of x as they are.
  static void update4Keeping(float* x, const double* wide, Factor f, int keeps, Acc& seen) {
    const __m128 xs = _mm_loadu_ps(x);
    const __m128d low = _mm_sub_pd(_mm_cvtps_pd(xs), _mm_mul_pd(f, _mm_load_pd(wide)));
    const __m128d high =
        _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(xs, xs)), _mm_mul_pd(f, _mm_load_pd(wide + 2)));
    const __m128 computed = _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
    const __m128 kept =
        _mm_castsi128_ps(_mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(keeps)));
    const __m128 result = _mm_or_ps(_mm_and_ps(kept, xs), _mm_andnot_ps(kept, computed));
    _mm_storeu_ps(x, result);
    seen = _mm_or_si128(seen, _mm_cmpeq_epi32(_mm_castps_si128(result),
                                              _mm_set1_epi32(int(0x80000000u))));
  }

  // x[k] := float(x[k] - f * y[k]) for k = 0 .. count-1.
  static void updateSpan(float* x, const float* y, double f, int count) {
    const __m128d fd = _mm_set1_pd(f);
    int k = 0;
    for (; k + 2 <= count; k += 2) {
      const __m128i* xPair = reinterpret_cast<const __m128i*>(x + k);
      const __m128i* yPair = reinterpret_cast<const __m128i*>(y + k);
      const __m128d xs = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(xPair)));
      const __m128d ys = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(yPair)));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(x + k),
                       _mm_castps_si128(_mm_cvtpd_ps(_mm_sub_pd(xs, _mm_mul_pd(fd, ys)))));
    }
    for (; k < count; ++k) x[k] = float(double(x[k]) - f * y[k]);
  }

  // Exchanges count floats of two rows.
  static void swapSpan(float* a, float* b, int count) {
    int k = 0;
    for (; k + 4 <= count; k += 4) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
      const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(a + k), vb);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(b + k), va);
    }
    for (; k < count; ++k) {
      const float t = a[k];
      a[k] = b[k];
      b[k] = t;
    }
  }

 private:
  static void scanRowOneByOne(const float* row, int r, int to, std::uint64_t* pattern,
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
  static unsigned movemask(__m128i m) { return unsigned(_mm_movemask_ps(_mm_castsi128_ps(m))); }
};

#else

// The same operations one lane at a time.
struct Lanes {
  using Acc = bool;  // a -0 has been seen
  using Factor = double;

  static Acc accStart() { return false; }
  static bool accSawNegZero(Acc seen) { return seen; }
  static Factor broadcast(double f) { return f; }

  static std::uint32_t bits(float v) {
    std::uint32_t b;
    __builtin_memcpy(&b, &v, sizeof b);
    return b;
  }

  static void scanRow(const float* row, int start, int to, std::uint64_t* columns) {
    columns[0] = columns[1] = 0;
    for (int k = start; k < to; ++k) {
      if (bits(row[k]) != 0) columns[k >> 6] |= std::uint64_t(1) << (k & 63);
    }
  }

  static void scanMatrix(float* const* a, int n, std::uint64_t* pattern,
                         std::uint64_t* columnRows, std::uint64_t* negRows,
                         std::uint64_t* nanRows) {
    negRows[0] = negRows[1] = nanRows[0] = nanRows[1] = 0;
    for (int k = 0; k < 2 * n; ++k) columnRows[k] = 0;
    for (int r = 0; r < n; ++r) {
      pattern[2 * r] = pattern[2 * r + 1] = 0;
      const std::uint64_t rowBit = std::uint64_t(1) << (r & 63);
      for (int k = 0; k <= n; ++k) {
        const std::uint32_t b = bits(a[r][k]);
        if (b == 0) continue;
        pattern[2 * r + (k >> 6)] |= std::uint64_t(1) << (k & 63);
        if (k < n) columnRows[2 * k + (r >> 6)] |= rowBit;
        if (b == 0x80000000u) negRows[r >> 6] |= rowBit;
        if ((b & 0x7fffffffu) > 0x7f800000u) nanRows[r >> 6] |= rowBit;
      }
    }
  }

  static bool anyNonFinite4(const float* x) {
    for (int l = 0; l < 4; ++l) {
      if ((bits(x[l]) & 0x7f800000u) == 0x7f800000u) return true;
    }
    return false;
  }

  static void widen4(const float* y, double* wide) {
    for (int l = 0; l < 4; ++l) wide[l] = y[l];
  }

  static void update4(float* x, const double* wide, Factor f, Acc& seen) {
    update4Keeping(x, wide, f, 0, seen);
  }

  static void update4Keeping(float* x, const double* wide, Factor f, int keeps, Acc& seen) {
    for (int l = keeps; l < 4; ++l) {
      x[l] = float(double(x[l]) - f * wide[l]);
      seen = seen || bits(x[l]) == 0x80000000u;
    }
  }

  static void updateSpan(float* x, const float* y, double f, int count) {
    for (int k = 0; k < count; ++k) x[k] = float(double(x[k]) - f * y[k]);
  }

  static void swapSpan(float* a, float* b, int count) {
    for (int k = 0; k < count; ++k) {
      const float t = a[k];
      a[k] = b[k];
      b[k] = t;
    }
  }
};

#endif

#include "numerics/linear_solver_sparse.inc"

#undef SPARSE_TARGET

}  // namespace baseline

int solveLinearSystemBaseline(float** rows, int n, float* solution) {
  // Systems of fewer than three unknowns have no room for a vector window.
  if (n < 3 || n > kSparseMaxUnknowns) return solveLinearSystemReference(rows, n, solution);
  return baseline::solveSparse(rows, n, solution, 0);
}

int solveLinearSystemBaselineFrom(float** rows, int n, float* solution, int firstColumn) {
  return baseline::solveSparse(rows, n, solution, firstColumn);
}

}  // namespace vdsim
