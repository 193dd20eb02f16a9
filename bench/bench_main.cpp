// Runs every benchmark, then prints the literal and the fast figures side by
// side with their ratios and the targets they are held to.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_systems.h"

namespace vdsim {
namespace bench {
namespace {

// The console report, keeping each benchmark's time per iteration (s) and
// counters for the summary.
class SideBySideReporter : public benchmark::ConsoleReporter {
 public:
  struct Result {
    double seconds = 0.0;
    benchmark::UserCounters counters;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      Result& result = results[run.run_name.function_name];
      result.seconds =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      result.counters = run.counters;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  const Result* find(const std::string& name) const {
    auto it = results.find(name);
    return it == results.end() ? nullptr : &it->second;
  }

  std::map<std::string, Result> results;
};

std::string processorName() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown processor";
}

// One line: literal and fast time per item, their ratio and the target.
void printPair(const SideBySideReporter& reporter, const std::string& label,
               const std::string& prefix, const char* target) {
  const auto* reference = reporter.find(prefix + "/reference");
  const auto* fast = reporter.find(prefix + "/fast");
  if (!reference || !fast) return;
  std::printf("  %-30s %10.2f us %10.2f us %8.1fx   %s\n", label.c_str(),
              reference->seconds * 1e6, fast->seconds * 1e6, reference->seconds / fast->seconds,
              target);
  for (const char* variant : {"baseline", "avx2"}) {
    if (const auto* v = reporter.find(prefix + "/" + variant)) {
      std::printf("  %-30s %13s %10.2f us %8.1fx\n", ("    " + std::string(variant)).c_str(), "",
                  v->seconds * 1e6, reference->seconds / v->seconds);
    }
  }
}

void printSummary(const SideBySideReporter& reporter) {
  std::printf("\nSide by side, one run on one core of %s:\n", processorName().c_str());
  std::printf("  %-30s %13s %13s %9s   %s\n", "", "literal", "fast", "ratio", "target");
  const auto& recorded = recordedRun();
  printPair(reporter,
            "solve, " + std::to_string(recorded.systems.size()) + " recorded systems",
            "solve/recorded", "at least 15x");
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    printPair(reporter, std::string("  ") + phaseName(phase), std::string("solve/recorded-") + phaseName(phase), "");
  }
  printPair(reporter, "solve, synthetic systems", "solve/synthetic", "");
  printPair(reporter, "step, " + std::to_string(recorded.steps) + " steps of the run",
            "step", "at least 10x");
  const auto* reference = reporter.find("realtime/reference");
  const auto* fast = reporter.find("realtime/fast");
  if (reference && fast) {
    const double simulated = fast->counters.at("simulated_s").value;
    std::printf("  %-30s %13.1f %13.1f %8.1fx   (%.1f s simulated, default example)\n",
                "real-time factor", reference->counters.at("realtime_factor").value,
                fast->counters.at("realtime_factor").value,
                fast->counters.at("realtime_factor").value /
                    reference->counters.at("realtime_factor").value,
                simulated);
  }
}

}  // namespace
}  // namespace bench
}  // namespace vdsim

int main(int argc, char** argv) {
  using namespace vdsim::bench;
  if (recordedRun().systems.empty()) return 1;
  registerSolverBenchmarks();
  registerStepBenchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SideBySideReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
