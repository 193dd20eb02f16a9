// The process around a run: its standard streams and its signals.
#pragma once

namespace vdsim {

// Makes the process safe to run in any surroundings; call first in main.
//   - A standard stream (descriptor 0, 1 or 2) that is closed is opened on
//     /dev/null, so that no file the run opens takes its number and no
//     message lands inside an output file.
//   - SIGPIPE and SIGXFSZ are ignored: a reader of standard output that goes
//     away costs nothing, and a file-size limit shows as a failed write.
//   - SIGINT, SIGTERM and SIGHUP only note the signal (see stopSignal), so
//     that the run can remove its temporary files and exit with 128 + the
//     signal's number.
void prepareProcess();

// The stop signal that has arrived, or 0. Read by the stepping loop.
int stopSignal();

}  // namespace vdsim
