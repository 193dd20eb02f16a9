// The literal, the stateless fast and the planned solver on the systems of a
// whole run of the default example (all of them, then phase by phase), and
// the literal and stateless ones on synthetic systems with the vehicle's
// block pattern. One iteration solves one system; the systems are taken in
// turn and the iteration counts are whole passes, so every solver sees the
// same systems equally often. Only the solve is timed: the copy of the
// system into the padded, aligned rows the Vehicle uses is not, nor, for the
// planned solver, the solve of the step before it that leaves the plan as it
// stands at that step of the run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_systems.h"
#include "numerics/elimination_plan.h"
#include "numerics/linear_solver.h"
#include "numerics/linear_solver_paths.h"

namespace vdsim {
namespace bench {

using solvertest::RecordedSystem;
using solvertest::Rows;
using solvertest::Storage;
using solvertest::Values;
using Solver = int (*)(float**, int, float*);

const RecordedRun& recordedRun() {
  static const RecordedRun run = [] {
    RecordedRun recorded;
    Values previous;
    std::string error;
    const bool ran = solvertest::runExample(
        defaultExampleDir(),
        [&](Vehicle& vehicle, int step, int event) {
          if (step % kRecordEvery == kRecordEvery - 1) previous = solvertest::systemValues(vehicle);
          if (step % kRecordEvery == 0) {
            recorded.systems.push_back({step, event, solvertest::systemValues(vehicle), previous});
          }
          recorded.steps = step + 1;
          return true;
        },
        error);
    if (!ran) std::fprintf(stderr, "vdsim_bench: %s\n", error.c_str());
    return recorded;
  }();
  return run;
}

namespace {

// Solves the given systems in turn, one per iteration, timing the solve only.
void solveInTurn(benchmark::State& state, Solver solve, const std::vector<const Values*>& systems) {
  const int n = int(systems.front()->size());
  Rows work(n, Storage::kPadded);
  std::vector<float> solution(n);
  PartTimer timer;
  std::size_t next = 0;
  for (auto _ : state) {
    work.load(*systems[next]);
    next = (next + 1) % systems.size();
    timer.start();
    benchmark::DoNotOptimize(solve(work.rows(), n, solution.data()));
    benchmark::ClobberMemory();
    timer.stop(state);
  }
  state.counters["systems"] = double(systems.size());
}

// The same with one elimination plan, given before each system the system of
// the step before it (untimed), as the run gives it.
void solvePlannedInTurn(benchmark::State& state, const std::vector<const RecordedSystem*>& systems) {
  const int n = int(systems.front()->values.size());
  Rows work(n, Storage::kPadded);
  std::vector<float> solution(n);
  EliminationPlan plan(n);
  PartTimer timer;
  std::size_t next = 0;
  long solves = 0;
  for (auto _ : state) {
    const RecordedSystem& system = *systems[next];
    next = (next + 1) % systems.size();
    if (!system.previous.empty()) {
      work.load(system.previous);
      plan.solve(work.rows(), n, solution.data());
    }
    work.load(system.values);
    const long followed = plan.solvesOnPlan();
    timer.start();
    benchmark::DoNotOptimize(plan.solve(work.rows(), n, solution.data()));
    benchmark::ClobberMemory();
    timer.stop(state);
    solves += plan.solvesOnPlan() - followed;
  }
  state.counters["systems"] = double(systems.size());
  state.counters["followed_share"] = double(solves) / double(state.iterations());
}

// The stateless solvers side by side: the literal one, the fast entry point,
// and each fast variant this machine runs.
std::vector<std::pair<std::string, Solver>> solvers() {
  std::vector<std::pair<std::string, Solver>> list = {{"reference", solveLinearSystemReference},
                                                      {"fast", solveLinearSystem},
                                                      {"baseline", solveLinearSystemBaseline}};
  if (avx2PathAvailable()) list.emplace_back("avx2", solveLinearSystemAvx2);
  return list;
}

// Registers one benchmark per solver on a set of systems, each running the
// given number of passes (the literal solver fewer: it is slower); the
// planned solver too when recorded systems are given.
void registerSet(const std::string& name, const std::vector<const Values*>& systems,
                 const std::vector<const RecordedSystem*>& recorded, int referencePasses,
                 int fastPasses) {
  if (systems.empty()) return;
  const auto passes = [&](int count) { return std::int64_t(count) * std::int64_t(systems.size()); };
  for (const auto& [solverName, solve] : solvers()) {
    benchmark::RegisterBenchmark(("solve/" + name + "/" + solverName).c_str(),
                                 [solve = solve, systems](benchmark::State& state) {
                                   solveInTurn(state, solve, systems);
                                 })
        ->UseManualTime()
        ->Iterations(passes(solverName == "reference" ? referencePasses : fastPasses))
        ->Unit(benchmark::kMicrosecond);
  }
  if (recorded.empty()) return;
  benchmark::RegisterBenchmark(("solve/" + name + "/planned").c_str(),
                               [recorded](benchmark::State& state) {
                                 solvePlannedInTurn(state, recorded);
                               })
      ->UseManualTime()
      ->Iterations(passes(fastPasses))
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace

void registerSolverBenchmarks() {
  const auto& recorded = recordedRun().systems;
  std::vector<const Values*> all;
  std::vector<const RecordedSystem*> allRecorded;
  std::vector<const Values*> byPhase[kPhaseCount];
  std::vector<const RecordedSystem*> byPhaseRecorded[kPhaseCount];
  for (const auto& system : recorded) {
    all.push_back(&system.values);
    allRecorded.push_back(&system);
    if (system.event >= 0 && system.event < kPhaseCount) {
      byPhase[system.event].push_back(&system.values);
      byPhaseRecorded[system.event].push_back(&system);
    }
  }
  registerSet("recorded", all, allRecorded, 10, 100);
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    registerSet(std::string("recorded-") + phaseName(phase), byPhase[phase],
                byPhaseRecorded[phase], 10, 100);
  }

  // Synthetic systems: the block pattern with random coefficients (a fixed
  // seed), straight and steered, without the zeros that a run adds. They
  // are no sequence of steps: no plan.
  static std::vector<Values> synthetic;
  std::mt19937 rng(1);
  for (int i = 0; i < 200; ++i) {
    solvertest::VehicleLikeKnobs knobs;
    knobs.zeroChance = 0.0;
    knobs.zeroRhsChance = 0.0;
    knobs.straightFront = i % 2 == 0;
    synthetic.push_back(solvertest::vehicleLikeSystem(rng, knobs));
  }
  std::vector<const Values*> syntheticSet;
  for (const Values& v : synthetic) syntheticSet.push_back(&v);
  registerSet("synthetic", syntheticSet, {}, 10, 100);
}

}  // namespace bench
}  // namespace vdsim
