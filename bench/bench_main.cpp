// Runs every benchmark, then prints the literal, the stateless and the
// planned figures side by side with their ratios and the targets they are
// held to: the solve, and the step and the whole run of each example.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
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

  explicit SideBySideReporter(OutputOptions options) : ConsoleReporter(options) {}

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
           "solve/recorded", "");
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    printRow(reporter, std::string("  ") + phaseName(phase),
             std::string("solve/recorded-") + phaseName(phase), "");
  }
  printRow(reporter, "solve, synthetic systems", "solve/synthetic", "");
  printRow(reporter, "step, default example", "step/" + exampleNames().front(), "");
  // Each example: the step, and the whole run (the fastest of the literal
  // and of the planned runs made in turn).
  std::printf("\n  %-28s %12s %11s %7s   %s\n", "each example", "literal", "planned", "ratio",
              "(whole runs in processor time; target: at least 14x)");
  for (const std::string& name : exampleNames()) {
    const auto* literalStep = reporter.find("step/" + name + "/reference");
    const auto* plannedStep = reporter.find("step/" + name + "/planned");
    const auto* run = reporter.find("run/" + name);
    if (literalStep && plannedStep) {
      std::printf("  %-28s %9.2f us %8.2f us %6.1fx\n", ("  " + name + ", step").c_str(),
                  literalStep->seconds * 1e6, plannedStep->seconds * 1e6,
                  literalStep->seconds / plannedStep->seconds);
    }
    if (run) {
      const auto counter = [&](const char* key) { return run->counters.at(key).value; };
      std::printf("  %-28s %9.0f ms %8.1f ms %6.1fx   (%.1f s simulated, %.0f steps, %.0f plans "
                  "built; real-time factor %.0f)\n",
                  ("  " + name + ", whole run").c_str(), counter("literal_s") * 1e3,
                  counter("planned_s") * 1e3, counter("literal_s") / counter("planned_s"),
                  counter("simulated_s"), counter("steps"), counter("plans_built"),
                  counter("simulated_s") / counter("planned_s"));
    }
  }
  if (const auto* fast = reporter.find("realtime/" + exampleNames().front() + "/fast")) {
    std::printf("  %-28s %12s %8.1f ms\n", ("  " + exampleNames().front() + ", stateless").c_str(),
                "", fast->seconds * 1e3);
  }
  // What recording the extended channels costs a whole run.
  const auto* plain = reporter.find("realtime/" + exampleNames().front() + "/planned");
  const auto* extended = reporter.find("realtime/" + exampleNames().front() + "/planned+extended");
  if (plain && extended) {
    std::printf("  %-28s %12s %8.1f ms %7s   (%+.1f %% run time; target at most +10 %%)\n",
                ("  " + exampleNames().front() + " --extended").c_str(), "",
                extended->seconds * 1e3, "", 100.0 * (extended->seconds / plain->seconds - 1.0));
  }
}

}  // namespace
}  // namespace bench
}  // namespace vdsim

// Colour codes only for a terminal, as --benchmark_color asks: auto (the
// default) when standard output is one, or true or false. The library applies
// the option to its own reporter only, so the side-by-side one reads it here.
static benchmark::ConsoleReporter::OutputOptions consoleOptions(int argc, char** argv) {
  bool colour = ::isatty(STDOUT_FILENO) != 0;
  for (int i = 1; i < argc; ++i) {
    const char* prefix = "--benchmark_color=";
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) != 0) continue;
    const std::string value = argv[i] + std::strlen(prefix);
    if (value != "auto") colour = value == "true" || value == "yes" || value == "1";
  }
  return colour ? benchmark::ConsoleReporter::OO_ColorTabular
                : benchmark::ConsoleReporter::OO_Tabular;
}

int main(int argc, char** argv) {
  using namespace vdsim::bench;
  if (recordedRun().systems.empty()) return 1;
  registerSolverBenchmarks();
  registerStepBenchmarks();
  const auto options = consoleOptions(argc, argv);  // before Initialize takes the option out
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SideBySideReporter reporter(options);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
