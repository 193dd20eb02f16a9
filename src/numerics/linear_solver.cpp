// Gaussian elimination with partial pivoting on an augmented float matrix.
//
//   for c = 0 .. n-2:  p = argmax_{r >= c} |a[r][c]|  (strict >, first wins)
//                      swap rows c, p over columns c .. n
//                      a[r][k] -= a[c][k] f,  f = a[r][c] / a[c][c]
//   for i = n-1 .. 0:  x[i] = (a[i][n] - sum_{j > i} a[i][j] x[j]) / a[i][i]
//
// Every product is formed in double from two floats (exactly) and every
// difference is rounded to float when stored. Of two NaN factors, the
// product is the first's (the pivot row's element, the coefficient).
#include "numerics/linear_solver.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "numerics/linear_solver_paths.h"

namespace vdsim {

namespace {

// The double product of two factors. When both are NaN, IEEE arithmetic
// leaves open which of the two the product is; x86 returns the first
// operand of the instruction, which the compiler is free to choose. Here it
// is always the first factor, so that no NaN's bits depend on how the code
// was compiled. (The instruction is the one the compiler would emit, with its
// operand order fixed.)
inline double product(double first, double second) {
#if defined(__GNUC__) && defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#ifdef __AVX__
  double result;
  __asm__("vmulsd %2, %1, %0" : "=x"(result) : "x"(first), "x"(second));
  return result;
#else
  __asm__("mulsd %1, %0" : "+x"(first) : "x"(second));
  return first;
#endif
#else
  return first != first ? first : first * second;
#endif
}

// Prints the singular-system message for the 0-based column c.
int reportSingular(int c) {
  std::printf("Sing. Found At: %i\n", c);
  return kSingular;
}

}  // namespace

int solveLinearSystemReference(float** a, int n, float* solution) {
  for (int c = 0; c < n - 1; ++c) {
    // Pivot search: strictly greater magnitude replaces; NaN never does.
    int p = c;
    float v = a[c][c];
    for (int r = c + 1; r < n; ++r) {
      if (std::fabs(double(a[r][c])) > std::fabs(double(v))) {
        p = r;
        v = a[r][c];
      }
    }
    // Singularity test, in double against 1e-12; a NaN pivot passes.
    if (std::fabs(double(v)) < 1e-12) return reportSingular(c);
    // Row exchange of columns c .. n only.
    if (p != c) {
      for (int k = c; k <= n; ++k) std::swap(a[c][k], a[p][k]);
    }
    // Eliminate column c from every row below, zero entries included.
    for (int r = c + 1; r < n; ++r) {
      const float f = float(double(a[r][c]) / double(v));
      for (int k = c; k <= n; ++k) a[r][k] = float(double(a[r][k]) - product(a[c][k], f));
    }
  }
  // The last diagonal element is tested like every other pivot.
  if (std::fabs(double(a[n - 1][n - 1])) < 1e-12) return reportSingular(n - 1);
  // Back substitution, s rounded to float after each step.
  for (int i = n - 1; i >= 0; --i) {
    float s = a[i][n];
    for (int j = n - 1; j > i; --j) s = float(double(s) - product(a[i][j], solution[j]));
    solution[i] = float(double(s) / a[i][i]);
  }
  return kSolved;
}

int solveLinearSystem(float** rows, int n, float* solution) {
  // The sparse variants give the reference's results bit for bit; pick the
  // widest one the processor runs.
  if (avx2PathAvailable()) return solveLinearSystemAvx2(rows, n, solution);
  return solveLinearSystemBaseline(rows, n, solution);
}

}  // namespace vdsim
