// How a run ends: the ends of the stepping loop, the exit status and run
// record name of each, and the count of singular steps that ends one.
#pragma once

#include <cstdint>

namespace vdsim {

// Exit statuses of a run.
enum ExitStatus : int {
  kExitFinished = 0,   ///< the last event finished; the outputs are complete
  kExitNoEvents = 1,   ///< there is no "Events.ini"; nothing read or written
  kExitBadInput = 2,   ///< an input file is wrong, or an output cannot be written
  kExitDiverged = 3,   ///< the state became non-finite, or stayed singular; rows so far kept
  kExitCannotGoOn = 4, ///< the clock stopped advancing, or --max-time was reached; rows kept
  kExitFlagged = 5,    ///< vdsim --check: all was read, but something is flagged
  kExitSignal = 128,   ///< plus the number of the signal that stopped the run
};

// How the stepping loop ended.
enum class End { Finished, Diverged, Singular, Clock, MaxTime, WriteFailed, Signal };

// The exit status of an end that keeps the rows (Finished to MaxTime).
int endStatus(End end);
// Its name in the run record: "finished", "diverged", "singular", "clock",
// "max-time".
const char* endName(End end);

// Singular steps: their count, and the run of them in a row that ends a run.
struct SingularSteps {
  static constexpr int kLimit = 1000;  ///< singular steps in a row that end a run

  std::uint64_t total = 0;  ///< singular steps so far
  int inARow = 0;           ///< singular steps since the last regular one
  double since = 0.0;       ///< start of the first step of the current row (s)

  // Notes whether the step that began at time stepStart (s) was singular;
  // true when kLimit of them have come in a row.
  bool note(bool singular, double stepStart) {
    if (!singular) {
      inARow = 0;
      return false;
    }
    ++total;
    if (inARow++ == 0) since = stepStart;
    return inARow >= kLimit;
  }
};

}  // namespace vdsim
