// Dense linear system solver.
//
// The system is an augmented matrix held as n row pointers; row r holds n + 1
// floats, the coefficients of the n unknowns and then the right-hand side.
// Gaussian elimination with partial pivoting, then back substitution; all
// arithmetic in double, every value written back rounded to float.
#pragma once

namespace vdsim {

// Solution status.
enum : int { kSolved = 1, kSingular = -1 };

// Solves rows (n x (n+1)) in place, writes the n unknowns to solution and
// returns kSolved. When a pivot's magnitude is below 1e-12 (the last diagonal
// element included) it prints "Sing. Found At: <column>" on standard output,
// leaves solution untouched and returns kSingular. The matrix is left reduced.
int solveLinearSystem(float** rows, int n, float* solution);

// The same algorithm written out literally, element by element: the reference
// that solveLinearSystem is checked against. Identical results, bit for bit.
int solveLinearSystemReference(float** rows, int n, float* solution);

// The same solve with an elimination plan kept by the caller from one solve
// to the next (elimination_plan.h). The plan is verified against rows on
// every call and left the moment it does not apply: the results are those
// of solveLinearSystem, bit for bit, whatever the plan was built on.
class EliminationPlan;
int solveLinearSystem(float** rows, int n, float* solution, EliminationPlan& plan);

}  // namespace vdsim
