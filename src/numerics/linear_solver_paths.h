// The instruction-set variants behind solveLinearSystem.
//
// Each variant runs the same sparse elimination (linear_solver_sparse.inc) and
// returns exactly what solveLinearSystemReference returns, bit for bit: the
// solution, the status, the printed message and the matrix left behind. They
// differ only in how many lanes one vector instruction updates. The public
// solveLinearSystem picks one at run time; tests call each one directly.
#pragma once

namespace vdsim {

// Largest system the sparse variants take: n + 1 columns, so that a row's
// pattern of columns and a column's set of rows fit 128 bits. Larger systems
// go to the reference algorithm, in every variant.
constexpr int kSparseMaxUnknowns = 127;

// SSE2 on x86-64, plain scalar code elsewhere; runs on every machine.
int solveLinearSystemBaseline(float** rows, int n, float* solution);

// Four double lanes per instruction (AVX2, without fused multiply-add).
// Call only when avx2PathAvailable() is true.
int solveLinearSystemAvx2(float** rows, int n, float* solution);

// True when this build has the AVX2 variant and the processor runs it.
bool avx2PathAvailable();

// The same variants finishing a solve whose columns 0 .. firstColumn-1 the
// literal algorithm's elimination has done already (the matrix is exactly
// its state then): they eliminate from column firstColumn on and substitute
// back, with the results a literal solve of the original matrix has. n is
// 3 .. kSparseMaxUnknowns.
int solveLinearSystemBaselineFrom(float** rows, int n, float* solution, int firstColumn);
int solveLinearSystemAvx2From(float** rows, int n, float* solution, int firstColumn);

}  // namespace vdsim
