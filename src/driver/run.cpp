// The run: start-up in its fixed order, the stepping loop, and the end.
//
// Every run ends: the loop stops when the last event is done, when the state
// stops being finite, when the car's equations stay singular, when the float
// clock can no longer advance, at --max-time, at a failed write, or at a
// stop signal. The outputs are renamed into place only for the first five.
#include "driver/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "definition/token_reader.h"
#include "driver/event_file.h"
#include "driver/event_kinds.h"
#include "driver/event_script.h"
#include "driver/process.h"
#include "dynamics/vehicle.h"
#include "measure/maneuver_meter.h"
#include "numerics/linear_solver.h"
#include "output/channel_recorder.h"
#include "output/extended_recorder.h"
#include "output/output_file.h"
#include "output/run_record.h"
#include "output/sha256.h"

namespace vdsim {

namespace {

constexpr const char* kEventFile = "Events.ini";
constexpr const char* kTireFile = "Goodyear2692x7.pkj";
constexpr const char* kOutputFile = "Data/Output.csv";
constexpr const char* kExtendedFile = "Data/Extended.csv";
constexpr const char* kRecordFile = "Data/Run.json";
constexpr int kSamplesPerRow = 100;
constexpr int kSingularStepLimit = 1000;   // singular steps in a row that end a run
constexpr double kUnreachedWarning = 300.0;  // s an event may wait for its target unwarned

// How the stepping loop ended.
enum class End { Finished, Diverged, Singular, Clock, MaxTime, WriteFailed, Signal };

int inputError(const std::string& message) {
  std::fprintf(stderr, "vdsim: %s\n", message.c_str());
  return kExitBadInput;
}

std::string workingDirectory() {
  std::vector<char> buffer(4096);
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return ".";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// Without an event file there is nothing to run: exit 1, silently, as a
// script expects; a person at a terminal is told what was looked for.
int noEvents(int reason) {
  if (::isatty(2)) {
    if (reason == ENOENT) {
      std::fprintf(stderr, "vdsim: no %s in %s; nothing to run\n", kEventFile,
                   workingDirectory().c_str());
    } else {
      std::fprintf(stderr, "vdsim: cannot open %s in %s: %s; nothing to run\n", kEventFile,
                   workingDirectory().c_str(), std::strerror(reason));
    }
  }
  return kExitNoEvents;
}

// "Events.ini:20 (TargetSpeed)", or "the built-in launch (TargetSpeed)".
std::string describeEvent(const EventScript& script, const std::vector<EventEntry>& events) {
  const uint32_t index = script.currentEvent;
  if (index >= script.eventCount) return "the end of the script";
  const char* kind = eventKindName(script.events[index]->kind);
  if (index == 0) return std::string("the built-in settle (") + kind + ")";
  if (index == 1) return std::string("the built-in launch (") + kind + ")";
  return std::string(kEventFile) + ":" + std::to_string(events[index - 2].line) + " (" + kind + ")";
}

std::string number(double value, const char* format = "%g") {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The one warning for an event that has waited kUnreachedWarning seconds for
// its target: "Events.ini:12: TargetSpeed 500 m/s not reached after 300 s
// (speed 43.2 m/s)". The run goes on.
void warnUnreached(const EventScript& script, const std::vector<EventEntry>& events) {
  const uint32_t index = script.currentEvent;
  const Event& e = *script.events[index];
  const Vehicle& car = script.vehicle;
  const double speed = length(car.velocity);
  const std::string where =
      index >= 2 ? std::string(kEventFile) + ":" + std::to_string(events[index - 2].line)
                 : std::string("the built-in launch");
  std::string target = std::string(eventKindName(e.kind)) + " " + number(e.speed) + " m/s";
  std::string now = "speed " + number(speed, "%.1f") + " m/s";
  if (e.kind == SteerRamp) {
    target = "SteerRamp entry at " + number(e.speed) + " m/s on a " + number(e.startRadius) +
             " m radius";
    const double ay = car.acceleration.y;
    if (ay != 0.0) now += ", radius " + number(speed * speed / ay, "%.1f") + " m";
  }
  std::fprintf(stderr, "vdsim: warning: %s: %s not reached after %g s (%s)\n", where.c_str(),
               target.c_str(), kUnreachedWarning, now.c_str());
}

// Everything one run holds, from start-up to its end.
struct Run {
  explicit Run(const RunOptions& o) : options(o), script(vehicle) {}

  RunOptions options;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  Vehicle vehicle;
  EventScript script;
  CarChoice car;              // the event file's car, time step and events
  std::string eventsDigest;   // SHA-256 of the event file's text, with --extended
  // Outputs, each a temporary file until the run has ended.
  std::unique_ptr<OutputFile> output, extendedOutput, recordOutput;
  std::unique_ptr<ChannelRecorder> recorder;
  std::unique_ptr<ExtendedRecorder> extended;
  std::unique_ptr<ManeuverMeter> meter;  // with --extended: each event's metrics

  // How the stepping loop went.
  End end = End::Finished;
  double simulatedTime = 0.0;  // simulated time, the settle included (s)
  uint64_t steps = 0, singularSteps = 0;
  double singularSince = 0.0;  // simulated time when the last singular steps began (s)

  bool writeFailed() const { return recorder->failed() || (extended && extended->failed()); }
};

// Start-up in its fixed order: the event file, the car, the outputs and
// their recorders. Returns -1 when the run can start, else its exit status.
int startRun(Run& run) {
  // The event file: without one, exit 1 at once (opened without waiting, in
  // case it is a FIFO).
  const int probe = ::open(kEventFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0) return noEvents(errno);
  ::close(probe);
  std::string text, error;
  if (!TokenReader::readFile(kEventFile, text, error)) return inputError(error);
  if (!readEventText(kEventFile, text, run.script, run.car, error)) return inputError(error);
  if (run.options.extended) run.eventsDigest = sha256Hex(text);

  Vehicle& vehicle = run.vehicle;
  if (!vehicle.loadCar(run.car.baseName, error)) return inputError(error);
  vehicle.initialize();
  vehicle.setUpSystem(kCornerCount);
  vehicle.setTimeStep(run.car.timeStep);

  // Every output goes to a temporary file until the run has ended.
  run.output = std::make_unique<OutputFile>(kOutputFile);
  if (!run.output->create(error)) return inputError(error);
  if (run.options.extended) {
    run.extendedOutput = std::make_unique<OutputFile>(kExtendedFile);
    run.recordOutput = std::make_unique<OutputFile>(kRecordFile);
    if (!run.extendedOutput->create(error) || !run.recordOutput->create(error)) {
      return inputError(error);
    }
  }
  run.recorder = std::make_unique<ChannelRecorder>(vehicle, run.script, kSamplesPerRow);
  run.recorder->defineChannels();
  run.recorder->open(run.output->stream());
  if (run.options.extended) {
    run.extended = std::make_unique<ExtendedRecorder>(vehicle, run.script, kSamplesPerRow);
    run.extended->numberEvents(run.car.events);
    run.extended->open(run.extendedOutput->stream());
  }
  return -1;
}

// Driver, car, recorders, once per time step, until the run ends; then the
// recorders are closed.
void stepUntilEnd(Run& run) {
  EventScript& script = run.script;
  Vehicle& vehicle = run.vehicle;
  const float dt = vehicle.timeStep;
  int singularRun = 0;         // singular steps in a row
  uint32_t warnedEvent = 0;    // last event warned about (0: none)
  if (run.options.extended) {
    run.meter = std::make_unique<ManeuverMeter>(vehicle, script, run.car.events);
    run.meter->start();
  }
  for (;;) {
    if (stopSignal() != 0) { run.end = End::Signal; break; }
    if (run.writeFailed()) { run.end = End::WriteFailed; break; }
    if (script.clockStopped()) { run.end = End::Clock; break; }
    if (run.options.maxTime > 0.0 && run.simulatedTime >= run.options.maxTime - 0.5 * dt) {
      run.end = End::MaxTime;
      break;
    }
    if (!script.update()) break;
    vehicle.step();
    ++run.steps;
    run.simulatedTime += dt;
    if (!vehicle.stateIsFinite()) { run.end = End::Diverged; break; }
    run.recorder->sample();
    if (run.extended) run.extended->sample();
    if (run.meter) run.meter->sample();
    // A system singular step after step: the state no longer means anything.
    if (vehicle.solveStatus == kSingular) {
      ++run.singularSteps;
      if (singularRun++ == 0) run.singularSince = run.simulatedTime - dt;
      if (singularRun >= kSingularStepLimit) { run.end = End::Singular; break; }
    } else {
      singularRun = 0;
    }
    // An event that waits long for its target is worth one line.
    const Event& e = *script.events[script.currentEvent];
    if (!e.reached && e.kind != Settle && warnedEvent != script.currentEvent &&
        double(e.elapsed) > kUnreachedWarning) {
      warnUnreached(script, run.car.events);
      warnedEvent = script.currentEvent;
    }
  }
  run.recorder->close();
  if (run.extended) run.extended->close();
  if (run.meter) run.meter->finish();
}

// The run record, with the digests of what was read and written.
std::string runRecordText(const Run& run, int status, const char* endName,
                          const std::string& message) {
  RunRecord record;
  record.version = VDSIM_VERSION;
  record.scenarioDir = workingDirectory();
  record.car = run.car.baseName;
  record.timeStep = run.vehicle.timeStep;
  record.inputs.push_back({kEventFile, run.eventsDigest});
  const std::string& base = run.car.baseName;
  for (const std::string& name : {base + ".ini", base + ".params", std::string(kTireFile)}) {
    if (name == base + ".params" && ::access(name.c_str(), F_OK) != 0) continue;
    record.inputs.push_back({name, sha256OfFile(name)});
  }
  // Every [event] section in file order, those of an unknown kind too.
  record.events = run.car.events;
  record.events.insert(record.events.end(), run.car.ignoredEvents.begin(),
                       run.car.ignoredEvents.end());
  std::stable_sort(record.events.begin(), record.events.end(),
                   [](const EventEntry& a, const EventEntry& b) { return a.number < b.number; });
  if (run.meter) record.metrics = &run.meter->results();
  record.exitStatus = status;
  record.end = endName;
  record.message = message;
  record.simulatedTime = run.simulatedTime;
  record.steps = run.steps;
  record.singularSteps = run.singularSteps;
  record.rows = run.recorder->rowCount;
  record.wallTime =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
  record.outputs.push_back({"Output.csv", sha256OfFile(run.output->temporaryPath())});
  record.outputs.push_back({"Extended.csv", sha256OfFile(run.extendedOutput->temporaryPath())});
  return formatRunRecord(record);
}

// The end: says why the run stopped, writes the run record and renames the
// outputs into place, or leaves the previous ones. Returns the exit status.
int finishRun(Run& run) {
  const double simulatedTime = run.simulatedTime;
  // Ends that keep nothing: a failed write, a stop signal.
  if (run.end == End::WriteFailed || run.writeFailed()) {
    const bool main = run.recorder->failed();
    const int reason = main ? run.recorder->writeError : run.extended->writeError;
    return inputError(std::string(main ? kOutputFile : kExtendedFile) + ": cannot write: " +
                      std::strerror(reason) + " (at " + number(simulatedTime, "%.6f") +
                      " s of simulated time); the previous outputs are left as they were");
  }
  if (run.end == End::Signal || stopSignal() != 0) {
    const int signal = stopSignal();
    std::fprintf(stderr,
                 "vdsim: stopped by signal %d (%s) at %.6f s of simulated time; the previous "
                 "outputs are left as they were\n",
                 signal, strsignal(signal), simulatedTime);
    return kExitSignal + signal;
  }

  // Ends that keep the rows: say why, once.
  const std::string kept = std::string("; ") + kOutputFile + " keeps the rows written before";
  const float dt = run.vehicle.timeStep;
  std::string message;
  int status = kExitFinished;
  const char* endName = "finished";
  switch (run.end) {
    case End::Diverged:
      message = "the simulation diverged (non-finite state) at " + number(simulatedTime, "%.6f") +
                " s of simulated time" + kept;
      status = kExitDiverged;
      endName = "diverged";
      break;
    case End::Singular:
      message = "the car's equations have been singular since " +
                number(run.singularSince, "%.6f") + " s of simulated time (" +
                std::to_string(kSingularStepLimit) +
                " steps in a row), so the state no longer means anything; a zero mass or "
                "inertia in the car file usually causes it" + kept;
      status = kExitDiverged;
      endName = "singular";
      break;
    case End::Clock:
      message = "the run's clock cannot advance past " + number(run.script.runTime, "%.6f") +
                " s: a time step of " + number(dt) + " s no longer changes it (at " +
                number(simulatedTime, "%.6f") + " s of simulated time, during " +
                describeEvent(run.script, run.car.events) + ")" + kept;
      status = kExitCannotGoOn;
      endName = "clock";
      break;
    case End::MaxTime:
      message = "stopped at the --max-time limit after " + number(simulatedTime, "%.6f") +
                " s of simulated time, during " + describeEvent(run.script, run.car.events) +
                kept;
      status = kExitCannotGoOn;
      endName = "max-time";
      break;
    default:
      break;
  }
  if (!message.empty()) std::fprintf(stderr, "vdsim: %s\n", message.c_str());

  std::string error;
  if (run.options.extended) {
    const std::string json = runRecordText(run, status, endName, message);
    std::fputs(json.c_str(), run.recordOutput->stream());
    // Output.csv last: when it appears, the rest is in place.
    if (!run.extendedOutput->commit(error) || !run.recordOutput->commit(error)) {
      return inputError(error);
    }
  }
  if (!run.output->commit(error)) return inputError(error);
  return status;
}

}  // namespace

int runSimulation(const RunOptions& options) {
  auto run = std::make_unique<Run>(options);
  const int refused = startRun(*run);
  if (refused >= 0) return refused;
  stepUntilEnd(*run);
  return finishRun(*run);
}

}  // namespace vdsim
