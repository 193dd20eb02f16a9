// Runs every benchmark, then prints the literal, the stateless and the
// planned figures side by side with their ratios and the targets they are
// held to.
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

// One line: literal, stateless and planned time per item, the ratios to the
// literal one, and the target.
void printRow(const SideBySideReporter& reporter, const std::string& label,
              const std::string& prefix, const char* target) {
  const auto* reference = reporter.find(prefix + "/reference");
  const auto* fast = reporter.find(prefix + "/fast");
  const auto* planned = reporter.find(prefix + "/planned");
  if (!reference || !fast) return;
  const auto ratio = [&](const SideBySideReporter::Result* r) { return reference->seconds / r->seconds; };
  std::printf("  %-28s %9.2f us %8.2f us %6.1fx", label.c_str(), reference->seconds * 1e6,
              fast->seconds * 1e6, ratio(fast));
  if (planned) {
    std::printf(" %8.2f us %6.1fx   %s\n", planned->seconds * 1e6, ratio(planned), target);
  } else {
    std::printf("\n");
  }
  for (const char* variant : {"baseline", "avx2"}) {
    if (const auto* v = reporter.find(prefix + "/" + variant)) {
      std::printf("  %-28s %12s %8.2f us %6.1fx\n", ("    " + std::string(variant)).c_str(), "",
                  v->seconds * 1e6, ratio(v));
    }
  }
}

void printSummary(const SideBySideReporter& reporter) {
  std::printf("\nSide by side, one run on one core of %s:\n", processorName().c_str());
  std::printf("  %-28s %12s %11s %7s %11s %7s   %s\n", "", "literal", "stateless", "ratio",
              "planned", "ratio", "target (planned)");
  const auto& recorded = recordedRun();
  printRow(reporter, "solve, " + std::to_string(recorded.systems.size()) + " recorded systems",
           "solve/recorded", "at least 14x");
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    printRow(reporter, std::string("  ") + phaseName(phase),
             std::string("solve/recorded-") + phaseName(phase), "");
  }
  printRow(reporter, "solve, synthetic systems", "solve/synthetic", "");
  printRow(reporter, "step, " + std::to_string(recorded.steps) + " steps of the run", "step",
           "at least 11x");
  // The real-time factors, and how often the plan was built.
  std::printf("\n  %-28s %12s %11s %7s %11s\n", "real-time factor", "literal", "stateless", "",
              "planned");
  for (const std::string& name : exampleNames()) {
    const auto* planned = reporter.find("realtime/" + name + "/planned");
    if (!planned) continue;
    const auto factor = [&](const char* solver) {
      const auto* r = reporter.find("realtime/" + name + "/" + solver);
      return r ? r->counters.at("realtime_factor").value : 0.0;
    };
    const auto cell = [](double value) {
      char text[32];
      std::snprintf(text, sizeof text, value > 0.0 ? "%.1f" : "-", value);
      return std::string(text);
    };
    std::printf("  %-28s %12s %11s %7s %11s   (%.1f s simulated, %.0f steps, %.0f plans built)\n",
                ("  " + name).c_str(), cell(factor("reference")).c_str(),
                cell(factor("fast")).c_str(), "", cell(factor("planned")).c_str(),
                planned->counters.at("simulated_s").value, planned->counters.at("steps").value,
                planned->counters.at("plans_built").value);
  }
  // What recording the extended channels costs a whole run.
  const auto* plain = reporter.find("realtime/" + exampleNames().front() + "/planned");
  const auto* extended = reporter.find("realtime/" + exampleNames().front() + "/planned+extended");
  if (plain && extended) {
    const double a = plain->counters.at("realtime_factor").value;
    const double b = extended->counters.at("realtime_factor").value;
    std::printf("  %-28s %12s %11s %7s %11.1f   (%+.1f %% run time; target at most +10 %%)\n",
                ("  " + exampleNames().front() + " --extended").c_str(), "", "", "", b,
                100.0 * (a / b - 1.0));
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
