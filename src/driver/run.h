// One whole run in the working directory.
#pragma once

#include "driver/run_end.h"

namespace vdsim {

// What the command line may change.
struct RunOptions {
  bool extended = false;  ///< also write "Data/Extended.csv" and "Data/Run.json"
  double maxTime = 0.0;   ///< stop after this much simulated time, settle included (s); 0: none
  bool check = false;     ///< read every input and print what was read; simulate nothing
  bool quiet = false;     ///< no progress line, even at a terminal
};

// Reads "Events.ini" and the car files of the working directory, simulates the
// maneuver and writes "Data/Output.csv" (and with options.extended the
// extended channels and the run record), creating "Data/" when it is
// missing. Every output appears when the run ends with status 0, 3 or 4, all
// of them renamed into place after all are written; any other end leaves
// "Data/" as it was. Errors go to standard error as one "vdsim: file:line:
// message" line, warnings about what is read but ignored as "vdsim: warning:
// ..." lines before the run starts. Returns the exit status.
//
// With options.check only reads the inputs and prints every item as read on
// standard output; returns 0, kExitFlagged when an item's key names another
// item or a warning was given, or the status of a refused run.
int runSimulation(const RunOptions& options);

}  // namespace vdsim
