// One whole time step with each solver, and whole runs of the examples, on
// every example.
//
// The step benchmarks walk an example's run from its start, one step per
// iteration, for exactly as many iterations as the run has steps: all see
// the same states. Only Vehicle's step is timed (the script's update before
// it is not). The literal step is the Vehicle's step with literalSolver set
// (vdsim --literal-solver), the stateless one the same step with the solve
// done by the stateless solveLinearSystem instead of the Vehicle's plan; the
// results are identical, so the runs are too.
//
// The machine is shared: a whole run is timed in the thread's processor
// time (CLOCK_THREAD_CPUTIME_ID), which time spent waiting for a core does
// not count; a step, too short for that clock, with the steady clock.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
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
  if (solver != StepSolver::kFast) return vehicle.step();
  vehicle.assembleSystem();
  std::fill(vehicle.solution.begin(), vehicle.solution.end(), 0.0f);
  solveLinearSystem(vehicle.systemMatrix.data(), vehicle.unknownCount, vehicle.solution.data());
  vehicle.integrate();
}

std::unique_ptr<ExampleCar> startExample(benchmark::State& state, const std::string& name,
                                         StepSolver solver) {
  auto example = std::make_unique<ExampleCar>();
  std::string error;
  if (!example->load(exampleDir(name), error)) state.SkipWithError(error.c_str());
  example->vehicle.literalSolver = solver == StepSolver::kReference;
  return example;
}

// The number of steps of an example's run (run once per process).
int stepsOf(const std::string& name) {
  static std::map<std::string, int> steps;
  auto it = steps.find(name);
  if (it != steps.end()) return it->second;
  ExampleCar example;
  std::string error;
  int count = 0;
  if (example.load(exampleDir(name), error)) {
    for (; example.script.update(); ++count) example.vehicle.step();
  }
  return steps[name] = count;
}

void stepBenchmark(benchmark::State& state, const std::string& name, StepSolver solver) {
  std::unique_ptr<ExampleCar> example = startExample(state, name, solver);
  PartTimer timer;
  for (auto _ : state) {
    if (!example->script.update()) {  // the run is over: start again
      example = startExample(state, name, solver);
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
    std::unique_ptr<ExampleCar> example = startExample(state, name, solver);
    Vehicle& vehicle = example->vehicle;
    ChannelRecorder recorder(vehicle, example->script, 100);
    recorder.defineChannels();
    std::FILE* sink = std::fopen("/dev/null", "w");
    recorder.open(sink);
    ExtendedRecorder extendedRecorder(vehicle, example->script, 100);
    if (extended) extendedRecorder.open(sink);
    const double begin = threadSeconds();
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
    const double seconds = threadSeconds() - begin;
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
  // Every example: the step and the whole run with the literal and the
  // Vehicle's own solver, and with the stateless one on the first.
  for (const std::string& name : exampleNames()) {
    const int runSteps = std::max(stepsOf(name), 1);
    for (StepSolver solver : {StepSolver::kReference, StepSolver::kFast, StepSolver::kPlanned}) {
      if (solver == StepSolver::kFast && name != exampleNames().front()) continue;
      benchmark::RegisterBenchmark(("step/" + name + "/" + nameOf(solver)).c_str(),
                                   [name, solver](benchmark::State& s) {
                                     stepBenchmark(s, name, solver);
                                   })
          ->UseManualTime()
          ->Iterations(runSteps)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(("realtime/" + name + "/" + nameOf(solver)).c_str(),
                                   [name, solver](benchmark::State& s) {
                                     realTimeBenchmark(s, name, solver);
                                   })
          ->UseManualTime()
          ->Iterations(solver == StepSolver::kPlanned ? 5 : 1)
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
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
}  // namespace vdsim
