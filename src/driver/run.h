// One whole run in the working directory.
#pragma once

namespace vdsim {

// Exit statuses of a run.
enum ExitStatus : int {
  kExitFinished = 0,    ///< the last event finished; "Data/Output.csv" written
  kExitNoEvents = 1,    ///< "Events.ini" cannot be opened; nothing read or written
  kExitBadInput = 2,    ///< an input file is wrong, or the output cannot be written
  kExitDiverged = 3,    ///< the state became non-finite; rows so far kept
};

// Reads "Events.ini" and the car files of the working directory, simulates the
// maneuver and writes "Data/Output.csv". Errors go to standard error as one
// "vdsim: file:line: message" line. Returns the exit status.
int runSimulation();

}  // namespace vdsim
