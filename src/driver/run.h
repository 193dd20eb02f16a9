// One whole run in the working directory.
#pragma once

namespace vdsim {

// Exit statuses of a run.
enum ExitStatus : int {
  kExitFinished = 0,   ///< the last event finished; the outputs are complete
  kExitNoEvents = 1,   ///< "Events.ini" cannot be opened; nothing read or written
  kExitBadInput = 2,   ///< an input file is wrong, or an output cannot be written
  kExitDiverged = 3,   ///< the state became non-finite, or stayed singular; rows so far kept
  kExitCannotGoOn = 4, ///< the clock stopped advancing, or --max-time was reached; rows kept
  kExitSignal = 128,   ///< plus the number of the signal that stopped the run
};

// What the command line may change.
struct RunOptions {
  bool extended = false;  ///< also write "Data/Extended.csv" and "Data/Run.json"
  double maxTime = 0.0;   ///< stop after this much simulated time, settle included (s); 0: none
  bool literalSolver = false;  ///< solve each step with the literal solver (a benchmarking aid)
};

// Reads "Events.ini" and the car files of the working directory, simulates the
// maneuver and writes "Data/Output.csv" (and with options.extended the
// extended channels and the run record). Every output appears when the run
// ends with status 0, 3 or 4, by renaming a temporary file; any other end
// leaves "Data/" as it was. Errors go to standard error as one
// "vdsim: file:line: message" line. Returns the exit status.
int runSimulation(const RunOptions& options);

}  // namespace vdsim
