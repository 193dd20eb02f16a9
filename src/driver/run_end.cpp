#include "driver/run_end.h"

namespace vdsim {

int endStatus(End end) {
  switch (end) {
    case End::Finished: return kExitFinished;
    case End::Diverged:
    case End::Singular: return kExitDiverged;
    case End::Clock:
    case End::MaxTime: return kExitCannotGoOn;
    default: return kExitBadInput;  // ends that keep nothing report their own status
  }
}

const char* endName(End end) {
  switch (end) {
    case End::Finished: return "finished";
    case End::Diverged: return "diverged";
    case End::Singular: return "singular";
    case End::Clock: return "clock";
    case End::MaxTime: return "max-time";
    case End::WriteFailed: return "write-failed";
    case End::Signal: return "signal";
  }
  return "?";
}

}  // namespace vdsim
