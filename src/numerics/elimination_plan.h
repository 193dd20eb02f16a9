// An elimination plan: the pivot order and the update lists of one literal
// elimination, kept from one solve to the next and verified on every solve.
//
// The vehicle's system has the same structure step after step: the same
// pivot rows, the same elements that may be non-zero, the same rows to
// update at each column. A plan records that structure once, from a literal
// elimination, and later solves follow it instead of finding it again. Every
// solve first checks that the plan applies to the matrix it is given, and
// leaves it for the stateless solver the moment it does not: each result
// (solution, status, printed message, matrix left behind) is the literal
// algorithm's bit for bit, whatever the plan was built on. The argument is
// written out at the top of elimination_plan.cpp.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

namespace vdsim {

// An element of a system: its row and column.
struct MatrixPosition {
  int row = 0;
  int column = 0;
};

class EliminationPlan {
 public:
  // A plan with room for no system: every solve goes to the stateless solver.
  EliminationPlan() = default;
  // Allocates everything a plan for systems of up to capacity unknowns
  // needs (at most kSparseMaxUnknowns); solving never allocates. Without
  // AVX2 on the processor it has no room either.
  explicit EliminationPlan(int capacity);

  // Solves rows (n x (n+1)) in place exactly as solveLinearSystemReference
  // does, following the plan where it applies and building a new one when
  // it does not.
  int solve(float** rows, int n, float* solution);

  // Drops the plan and what it learnt: the next solve builds a new one.
  void forget();

  // Narrows the check of the input to the given elements: the caller
  // guarantees that every other element of every matrix it passes is +0
  // (the Vehicle's assembly writes only these). A plan whose planning input
  // is not +0 elsewhere checks the whole matrix. Allocates; call at set-up.
  void narrowInputCheck(const std::vector<MatrixPosition>& written);

  // The check of the input against the plan held, by the scan of every
  // element and by the narrow one: the same answer while the caller keeps
  // its guarantee. For tests; false without a plan.
  bool fullScanAccepts(float* const* rows) const;
  bool narrowScanAccepts(float* const* rows) const;

  // Counters since construction.
  long plansBuilt() const { return plansBuilt_; }      ///< literal eliminations recorded as plans
  long solvesOnPlan() const { return solvesOnPlan_; }  ///< solves that followed a plan to the end
  long plansLeft() const { return plansLeft_; }        ///< solves that found the plan not to apply
  bool ready() const { return ready_; }                ///< a plan is held for the next solve
  bool narrowed() const { return ready_ && narrow_; }  ///< the plan held checks written elements only

 private:
  static constexpr int kMaxColumns = 128;  // n + 1 columns at most
  using Columns = std::bitset<kMaxColumns>;

  // What the elimination does at one column c (row positions as they stand
  // after the exchange; slots number the column's rows in rows_ from
  // rowsBegin, and their multipliers in factor_).
  struct ColumnStep {
    int pivot = 0;           // row exchanged with row c (c: none)
    int rowsBegin = 0;       // the column's first slot in rows_
    int updateStrict = 0;    // slots [0, updateStrict): updated, |a[r][c]| < |pivot|
    int updateEnd = 0;       //   [updateStrict, updateEnd): updated, |a[r][c]| <= |pivot|
    int zeroStrict = 0;      //   [updateEnd, zeroStrict): multiplier +-0, |a[r][c]| < |pivot|
    int zeroEnd = 0;         //   [zeroStrict, zeroEnd): multiplier +-0, |a[r][c]| <= |pivot|
    int rowsEnd = 0;         //   [zeroEnd, rowsEnd): +0 at column c, holding a -0 to update
    int tilesBegin = 0;      // the pivot row's four-column tiles, in tiles_
    int tilesEnd = 0;
    int keepLanes = 0;       // lanes of the last tile left as they are (bit l: lane l)
    int singlesBegin = 0;    // the -0 elements updated one by one, in singles_
    int singlesEnd = 0;
    int checksBegin = 0;     // elements whose -0 the update must have removed, in checks_
    int checksEnd = 0;
    int tileZerosBegin = 0;  // the -0 elements the update left in the tiles
    int tileZerosEnd = 0;
  };
  struct Single {
    int slot;    // the row's slot in the column
    int column;  // the element's column
  };
  struct Element {
    int row;
    int column;
  };

  // Solves by a literal elimination that records a new plan.
  int build(float** a, int n, float* solution);
  // Check (1): the matrix's +0, -0 and magnitudes fit the plan, by the
  // narrow scan when the plan has one, else by the full scan.
  bool inputFits(float* const* a) const;
  bool fullScanFits(float* const* a) const;
  bool narrowScanFits(float* const* a) const;
  // After planning on a: the narrow scan's lists, when the planning input is
  // +0 outside the written elements.
  void planNarrowScan(float* const* a);
  // Eliminates following the plan; returns n - 1 when every column followed
  // it, otherwise the column c where it stopped (the literal state at c).
  int follow(float** a);
  // Check (4) in full: every -0 in the tiles of column c's update rows
  // right of c is one the planning run left there.
  bool tileNegativeZerosAsPlanned(float* const* a, int c) const;
  // Notes the zero rows of column c whose multiplier was not +-0, so that
  // the next plans update them.
  void learnNonZeroRows(int c);
  void backSubstitute(float* const* a, float* solution);
  // After a plan did not apply, or none could be built: when to build one.
  void leavePlan();
  void scheduleNextPlan();

  int capacity_ = 0;
  bool ready_ = false;
  int n_ = 0;
  std::uint32_t boundBits_ = 0;  // input magnitudes' bits must stay below

  // The planning input: columns not +0, columns holding -0 (two words a row).
  std::vector<std::uint64_t> inputPattern_;
  std::vector<std::uint64_t> inputNegativeZeros_;
  // The narrow check: per row the columns the caller may write (none: no
  // narrow check), and, for the plan held, the written elements that must
  // be +0, those that may be anything below the bound but -0, and those
  // that may be -0 too.
  std::vector<Columns> writtenColumns_;
  bool narrow_ = false;  // the plan held checks by the narrow scan
  std::vector<MatrixPosition> mustBeZero_;
  std::vector<MatrixPosition> noNegativeZero_;
  std::vector<MatrixPosition> mayBeNegativeZero_;
  int mustBeZeroCount_ = 0;
  int noNegativeZeroCount_ = 0;
  int mayBeNegativeZeroCount_ = 0;
  // The same elements as offsets from the first row for a matrix whose
  // rows lie where the planning input's did (rowsSeen_), read eight at a
  // time: the bits kept of each element must be 0, and it must not be
  // marked (a -0 where none may be).
  std::vector<float*> rowsSeen_;
  std::vector<std::int32_t> offsets_;
  std::vector<std::uint32_t> keptBits_;
  std::vector<std::uint32_t> marked_;
  int offsetCount_ = 0;  // a multiple of eight; 0: no offsets
  std::vector<ColumnStep> steps_;
  std::vector<int> rows_;
  std::vector<int> tiles_;
  std::vector<Single> singles_;
  std::vector<Element> checks_;
  std::vector<Element> tileNegativeZeros_;
  // Per reduced row i, its columns i+1 .. n-1 that may be non-+0,
  // descending, from backBegin_[i] to backBegin_[i+1] in backColumns_.
  std::vector<int> backBegin_;
  std::vector<int> backColumns_;

  // Work of one solve.
  std::vector<float> factor_;         // the column's multipliers, by slot
  std::vector<double> solutionWide_;  // the back substitution's solution, widened
  std::vector<Columns> structure_;    // planning: per row, the columns that may be non-+0
  std::vector<Element> negatives_;    // planning: the column's -0 elements
  // Per column, the rows once planned as zero rows whose multiplier a later
  // solve found non-zero: the next plans update them.
  std::vector<Columns> varyingRows_;

  // When a plan is left on its first solve after it was built (and learnt
  // no varying row), the next plans are built only after waitBeforePlanning_
  // solves on the stateless solver, a number that doubles each time (reset
  // by a plan that serves).
  int solvesOnThisPlan_ = 0;
  bool learnt_ = false;
  int backoff_ = 0;
  int waitBeforePlanning_ = 0;

  long plansBuilt_ = 0;
  long solvesOnPlan_ = 0;
  long plansLeft_ = 0;
};

}  // namespace vdsim
