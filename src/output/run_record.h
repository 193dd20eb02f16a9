// The run record "Data/Run.json": what was run, on what, and how it ended,
// so that a run directory identifies and reproduces its own results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/event_file.h"
#include "measure/event_metrics.h"

namespace vdsim {

struct RunRecord {
  struct File {
    std::string name;    ///< as the run opened it ("Sedan.ini", "Data/Output.csv")
    std::string sha256;  ///< 64 hex digits; "" when it could not be read
  };

  std::string version;        ///< vdsim's version
  std::string scenarioDir;    ///< absolute path of the run's directory
  std::string car;            ///< the car's base name
  float timeStep = 0.0f;      ///< integration step (s)
  std::vector<File> inputs;   ///< the files read, in the order read
  std::vector<EventEntry> events;  ///< the event file's events as read, ignored ones too, by number
  const std::vector<EventMetrics>* metrics = nullptr;  ///< per measured event, by number; not owned
  int exitStatus = 0;         ///< the process's exit status
  std::string end;            ///< "finished", "diverged", "singular", "clock", "max-time"
  std::string message;        ///< the line that explained an early end, without "vdsim: "
  double simulatedTime = 0.0; ///< time simulated, the settle included (s)
  std::uint64_t steps = 0;    ///< time steps taken
  std::uint64_t singularSteps = 0;  ///< steps whose system was singular
  std::uint64_t rows = 0;     ///< rows written to Output.csv
  double wallTime = 0.0;      ///< wall-clock time of the run (s)
  std::vector<File> outputs;  ///< the files written, with their final names
};

// The record as one JSON object (UTF-8, two-space indent, a final line end).
std::string formatRunRecord(const RunRecord& record);

}  // namespace vdsim
