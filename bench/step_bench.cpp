// One whole time step with each solver, and the real-time factor of the
// examples (simulated seconds per wall-clock second).
//
// The step benchmarks walk the default example's run from its start, one
// step per iteration, for exactly as many iterations as the run has steps:
// all see the same states. Only Vehicle's step is timed (the script's update
// before it is not). The literal and the stateless steps are the same step
// with the solve done by solveLinearSystemReference or the stateless
// solveLinearSystem instead of the Vehicle's plan; the results are
// identical, so the runs are too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "bench_systems.h"
#include "numerics/linear_solver.h"
#include "output/channel_recorder.h"
#include "output/extended_recorder.h"

namespace vdsim {
namespace bench {

using solvertest::ExampleCar;

namespace {

enum class StepSolver { kReference, kFast, kPlanned };
const char* nameOf(StepSolver solver) {
  return solver == StepSolver::kReference ? "reference"
                                          : (solver == StepSolver::kFast ? "fast" : "planned");
}

// Vehicle::step with the given solver.
void step(Vehicle& vehicle, StepSolver solver) {
  if (solver == StepSolver::kPlanned) return vehicle.step();
  vehicle.assembleSystem();
  std::fill(vehicle.solution.begin(), vehicle.solution.end(), 0.0f);
  float** rows = vehicle.systemMatrix.data();
  if (solver == StepSolver::kReference) {
    solveLinearSystemReference(rows, vehicle.unknownCount, vehicle.solution.data());
  } else {
    solveLinearSystem(rows, vehicle.unknownCount, vehicle.solution.data());
  }
  vehicle.integrate();
}

std::unique_ptr<ExampleCar> startExample(benchmark::State& state, const std::string& name) {
  auto example = std::make_unique<ExampleCar>();
  std::string error;
  if (!example->load(exampleDir(name), error)) state.SkipWithError(error.c_str());
  return example;
}

void stepBenchmark(benchmark::State& state, StepSolver solver) {
  std::unique_ptr<ExampleCar> example = startExample(state, exampleNames().front());
  PartTimer timer;
  for (auto _ : state) {
    if (!example->script.update()) {  // the run is over: start again
      example = startExample(state, exampleNames().front());
      example->script.update();
    }
    Vehicle& vehicle = example->vehicle;
    timer.start();
    step(vehicle, solver);
    benchmark::ClobberMemory();
    timer.stop(state);
  }
  const EliminationPlan& plan = example->vehicle.solvePlan;
  if (solver == StepSolver::kPlanned) {
    state.counters["plans_built"] = double(plan.plansBuilt());
    state.counters["solves_followed"] = double(plan.solvesOnPlan());
  }
}

// A whole example as the simulator runs it (script, step, the divergence
// check, the recorder, and with extended the extended channels too, here
// writing to /dev/null), timed from the first step to the last.
void realTimeBenchmark(benchmark::State& state, const std::string& name, StepSolver solver,
                       bool extended = false) {
  double simulated = 0.0, wall = 0.0;
  long plansBuilt = 0, steps = 0;
  for (auto _ : state) {
    std::unique_ptr<ExampleCar> example = startExample(state, name);
    Vehicle& vehicle = example->vehicle;
    ChannelRecorder recorder(vehicle, example->script, 100);
    recorder.defineChannels();
    std::FILE* sink = std::fopen("/dev/null", "w");
    recorder.open(sink);
    ExtendedRecorder extendedRecorder(vehicle, example->script, 100);
    if (extended) extendedRecorder.open(sink);
    const auto begin = std::chrono::steady_clock::now();
    double runTime = 0.0;
    steps = 0;
    while (example->script.update()) {
      step(vehicle, solver);
      runTime += vehicle.timeStep;
      ++steps;
      if (!vehicle.stateIsFinite()) break;
      recorder.sample();
      if (extended) extendedRecorder.sample();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(seconds);
    recorder.close();
    if (extended) extendedRecorder.close();
    std::fclose(sink);
    simulated += runTime;
    wall += seconds;
    plansBuilt = vehicle.solvePlan.plansBuilt();
  }
  state.counters["simulated_s"] = simulated / double(state.iterations());
  state.counters["realtime_factor"] = simulated / wall;
  state.counters["steps"] = double(steps);
  if (solver == StepSolver::kPlanned) state.counters["plans_built"] = double(plansBuilt);
}

}  // namespace

void registerStepBenchmarks() {
  const int runSteps = std::max(recordedRun().steps, 1);
  for (StepSolver solver : {StepSolver::kReference, StepSolver::kFast, StepSolver::kPlanned}) {
    benchmark::RegisterBenchmark((std::string("step/") + nameOf(solver)).c_str(),
                                 [solver](benchmark::State& s) { stepBenchmark(s, solver); })
        ->UseManualTime()
        ->Iterations(runSteps)
        ->Unit(benchmark::kMicrosecond);
  }
  // Every example with the Vehicle's own solver; the first also with the
  // literal and the stateless one.
  for (const std::string& name : exampleNames()) {
    for (StepSolver solver : {StepSolver::kReference, StepSolver::kFast, StepSolver::kPlanned}) {
      if (solver != StepSolver::kPlanned && name != exampleNames().front()) continue;
      benchmark::RegisterBenchmark(("realtime/" + name + "/" + nameOf(solver)).c_str(),
                                   [name, solver](benchmark::State& s) {
                                     realTimeBenchmark(s, name, solver);
                                   })
          ->UseManualTime()
          ->Iterations(2)
          ->Unit(benchmark::kMillisecond);
    }
  }
  // The first example again, recording the extended channels as well.
  const std::string first = exampleNames().front();
  benchmark::RegisterBenchmark(("realtime/" + first + "/planned+extended").c_str(),
                               [first](benchmark::State& s) {
                                 realTimeBenchmark(s, first, StepSolver::kPlanned, true);
                               })
      ->UseManualTime()
      ->Iterations(2)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
}  // namespace vdsim
