// One whole time step with each solver, and the real-time factor of the
// default example (simulated seconds per wall-clock second).
//
// The step benchmarks walk the default example's run from its start, one
// step per iteration, for exactly as many iterations as the run has steps:
// both see the same states. Only Vehicle's step is timed (the script's update
// before it is not). The literal step is the same step with the solve done by
// solveLinearSystemReference; its results are identical, so the runs are too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "bench_systems.h"
#include "numerics/linear_solver.h"
#include "output/channel_recorder.h"

namespace vdsim {
namespace bench {

using solvertest::ExampleCar;

namespace {

// Vehicle::step with the literal solver in place of the fast one.
void stepWithReference(Vehicle& vehicle) {
  vehicle.assembleSystem();
  std::fill(vehicle.solution.begin(), vehicle.solution.end(), 0.0f);
  solveLinearSystemReference(vehicle.systemMatrix.data(), vehicle.unknownCount,
                             vehicle.solution.data());
  vehicle.integrate();
}

std::unique_ptr<ExampleCar> startDefaultExample(benchmark::State& state) {
  auto example = std::make_unique<ExampleCar>();
  std::string error;
  if (!example->load(defaultExampleDir(), error)) state.SkipWithError(error.c_str());
  return example;
}

void stepBenchmark(benchmark::State& state, bool reference) {
  std::unique_ptr<ExampleCar> example = startDefaultExample(state);
  PartTimer timer;
  for (auto _ : state) {
    if (!example->script.update()) {  // the run is over: start again
      example = startDefaultExample(state);
      example->script.update();
    }
    Vehicle& vehicle = example->vehicle;
    timer.start();
    if (reference) {
      stepWithReference(vehicle);
    } else {
      vehicle.step();
    }
    benchmark::ClobberMemory();
    timer.stop(state);
  }
}

// The whole default example as the simulator runs it (script, step, the
// divergence check, the recorder, here writing to /dev/null), timed from the
// first step to the last.
void realTimeBenchmark(benchmark::State& state, bool reference) {
  double simulated = 0.0, wall = 0.0;
  PartTimer timer;
  for (auto _ : state) {
    std::unique_ptr<ExampleCar> example = startDefaultExample(state);
    Vehicle& vehicle = example->vehicle;
    ChannelRecorder recorder(vehicle, example->script, 100);
    recorder.defineChannels();
    std::FILE* sink = std::fopen("/dev/null", "w");
    recorder.open(sink);
    const auto begin = std::chrono::steady_clock::now();
    double runTime = 0.0;
    while (example->script.update()) {
      if (reference) {
        stepWithReference(vehicle);
      } else {
        vehicle.step();
      }
      runTime += vehicle.timeStep;
      if (!vehicle.stateIsFinite()) break;
      recorder.sample();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(seconds);
    recorder.close();
    std::fclose(sink);
    simulated += runTime;
    wall += seconds;
  }
  state.counters["simulated_s"] = simulated / double(state.iterations());
  state.counters["realtime_factor"] = simulated / wall;
}

}  // namespace

void registerStepBenchmarks() {
  const int runSteps = std::max(recordedRun().steps, 1);
  for (bool reference : {true, false}) {
    const char* name = reference ? "reference" : "fast";
    benchmark::RegisterBenchmark((std::string("step/") + name).c_str(),
                                 [reference](benchmark::State& s) { stepBenchmark(s, reference); })
        ->UseManualTime()
        ->Iterations(runSteps)
        ->Unit(benchmark::kMicrosecond);
  }
  for (bool reference : {true, false}) {
    const char* name = reference ? "reference" : "fast";
    benchmark::RegisterBenchmark((std::string("realtime/") + name).c_str(),
                                 [reference](benchmark::State& s) {
                                   realTimeBenchmark(s, reference);
                                 })
        ->UseManualTime()
        ->Iterations(2)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace bench
}  // namespace vdsim
