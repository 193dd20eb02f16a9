// What the benchmarks share: the examples' directories, the default
// example's systems recorded along a whole run, and a timer for the measured
// part of an iteration.
#pragma once

#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "numerics/solver_systems.h"

namespace vdsim {
namespace bench {

// The examples whose real-time factor is reported; the first is the one
// every other figure is measured on.
inline const std::vector<std::string>& exampleNames() {
  static const std::vector<std::string> names = {"default", "straight", "skidpad"};
  return names;
}
inline std::string exampleDir(const std::string& name) {
  return std::string(VDSIM_SOURCE_DIR) + "/examples/" + name;
}
inline std::string defaultExampleDir() { return exampleDir(exampleNames().front()); }

// Phases of the default example, by the script's event index.
constexpr int kPhaseCount = 5;
inline const char* phaseName(int event) {
  static const char* const kNames[kPhaseCount] = {"settle", "launch", "accelerate", "corner",
                                                  "brake"};
  return event >= 0 && event < kPhaseCount ? kNames[event] : "other";
}

// One whole run of the default example: every kRecordEvery-th system (with
// the system of the step before it) and the number of steps (recorded once
// per process).
constexpr int kRecordEvery = 64;
struct RecordedRun {
  std::vector<solvertest::RecordedSystem> systems;
  int steps = 0;
};
const RecordedRun& recordedRun();

// Benchmark registration, after the run is recorded.
void registerSolverBenchmarks();
void registerStepBenchmarks();

// The calling thread's processor time (s): on a shared machine, the time
// spent waiting for a core is not counted. (A call costs about 2 us on a
// virtual machine: for whole runs only.)
inline double threadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// Times one part of an iteration with the steady clock, for manual timing.
class PartTimer {
 public:
  void start() { begin_ = std::chrono::steady_clock::now(); }
  void stop(benchmark::State& state) {
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count());
  }

 private:
  std::chrono::steady_clock::time_point begin_;
};

}  // namespace bench
}  // namespace vdsim
