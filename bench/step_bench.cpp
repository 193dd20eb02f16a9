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

// What one whole run took and did.
struct WholeRun {
  double seconds = 0.0;    // processor time from the first step to the last
  double simulated = 0.0;  // simulated time (s)
  long steps = 0;
  long plansBuilt = 0;
};

// A whole example as the simulator runs it (script, step, the divergence
// check, the recorder, and with extended the extended channels too, here
// writing to /dev/null), timed from the first step to the last.
WholeRun runExampleOnce(benchmark::State& state, const std::string& name, StepSolver solver,
                        bool extended) {
  std::unique_ptr<ExampleCar> example = startExample(state, name, solver);
  Vehicle& vehicle = example->vehicle;
  ChannelRecorder recorder(vehicle, example->script, 100);
  recorder.defineChannels();
  std::FILE* sink = std::fopen("/dev/null", "w");
  recorder.open(sink);
  ExtendedRecorder extendedRecorder(vehicle, example->script, 100);
  if (extended) extendedRecorder.open(sink);
  WholeRun run;
  const double begin = threadSeconds();
  while (example->script.update()) {
    step(vehicle, solver);
    run.simulated += vehicle.timeStep;
    ++run.steps;
    if (!vehicle.stateIsFinite()) break;
    recorder.sample();
    if (extended) extendedRecorder.sample();
  }
  run.seconds = threadSeconds() - begin;
  recorder.close();
  if (extended) extendedRecorder.close();
  std::fclose(sink);
  run.plansBuilt = vehicle.solvePlan.plansBuilt();
  return run;
}

void realTimeBenchmark(benchmark::State& state, const std::string& name, StepSolver solver,
                       bool extended = false) {
  WholeRun run;
  double simulated = 0.0, seconds = 0.0;
  for (auto _ : state) {
    run = runExampleOnce(state, name, solver, extended);
    state.SetIterationTime(run.seconds);
    simulated += run.simulated;
    seconds += run.seconds;
  }
  state.counters["simulated_s"] = simulated / double(state.iterations());
  state.counters["realtime_factor"] = simulated / seconds;
  state.counters["steps"] = double(run.steps);
  if (solver == StepSolver::kPlanned) state.counters["plans_built"] = double(run.plansBuilt);
}

// The literal and the planned whole run of an example in turn, each round a
// literal run then three planned ones; the fastest of each is kept, so that
// other jobs on the machine slow neither figure more than the other.
void literalAgainstPlannedBenchmark(benchmark::State& state, const std::string& name) {
  double literal = 1e30, planned = 1e30;
  WholeRun run;
  for (auto _ : state) {
    literal = std::min(literal, runExampleOnce(state, name, StepSolver::kReference, false).seconds);
    for (int i = 0; i < 3; ++i) {
      run = runExampleOnce(state, name, StepSolver::kPlanned, false);
      planned = std::min(planned, run.seconds);
    }
    state.SetIterationTime(literal);
  }
  state.counters["literal_s"] = literal;
  state.counters["planned_s"] = planned;
  state.counters["simulated_s"] = run.simulated;
  state.counters["steps"] = double(run.steps);
  state.counters["plans_built"] = double(run.plansBuilt);
}

}  // namespace

void registerStepBenchmarks() {
  // Every example: the step with the literal and the Vehicle's own solver
  // (and with the stateless one on the first), and the whole run, literal
  // against planned in turn.
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
    }
    benchmark::RegisterBenchmark(("run/" + name).c_str(),
                                 [name](benchmark::State& s) {
                                   literalAgainstPlannedBenchmark(s, name);
                                 })
        ->UseManualTime()
        ->Iterations(2)
        ->Unit(benchmark::kMillisecond);
  }
  // The first example with the stateless solver, and with the planned one
  // recording the extended channels as well.
  const std::string first = exampleNames().front();
  for (StepSolver solver : {StepSolver::kFast, StepSolver::kPlanned}) {
    benchmark::RegisterBenchmark(("realtime/" + first + "/" + nameOf(solver)).c_str(),
                                 [first, solver](benchmark::State& s) {
                                   realTimeBenchmark(s, first, solver);
                                 })
        ->UseManualTime()
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark(("realtime/" + first + "/planned+extended").c_str(),
                               [first](benchmark::State& s) {
                                 realTimeBenchmark(s, first, StepSolver::kPlanned, true);
                               })
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
}  // namespace vdsim
