// The solver's AVX2 variant left out of the build (VDSIM_AVX2_SOLVER=OFF):
// solveLinearSystem then always takes the baseline variant, which returns
// the same bits.
#include "numerics/linear_solver.h"
#include "numerics/linear_solver_paths.h"

namespace vdsim {

int solveLinearSystemAvx2(float** rows, int n, float* solution) {
  return solveLinearSystemBaseline(rows, n, solution);
}

bool avx2PathAvailable() { return false; }

}  // namespace vdsim
