// The run: start-up in its fixed order, the stepping loop, and the end.
//
// Every run ends: the loop stops when the last event is done, when the state
// stops being finite, when the car's equations stay singular, when the float
// clock can no longer advance, at --max-time, at a failed write, or at a
// stop signal. The outputs are renamed into place only for the first five.
#include "driver/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "definition/token_reader.h"
#include "driver/event_file.h"
#include "driver/event_script.h"
#include "driver/process.h"
#include "dynamics/vehicle.h"
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

}  // namespace

int runSimulation(const RunOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  Vehicle vehicle;
  EventScript script(vehicle);

  // The event file: without one, exit 1 at once (opened without waiting, in
  // case it is a FIFO).
  const int probe = ::open(kEventFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0) return noEvents(errno);
  ::close(probe);
  std::string text, error;
  if (!TokenReader::readFile(kEventFile, text, error)) return inputError(error);
  CarChoice car;
  if (!readEventText(kEventFile, text, script, car, error)) return inputError(error);
  const std::string eventsDigest = options.extended ? sha256Hex(text) : "";

  if (!vehicle.loadCar(car.baseName, error)) return inputError(error);
  vehicle.initialize();
  vehicle.setUpSystem(kCornerCount);
  vehicle.setTimeStep(car.timeStep);
  vehicle.literalSolver = options.literalSolver;

  // Every output goes to a temporary file until the run has ended.
  OutputFile output(kOutputFile);
  std::unique_ptr<OutputFile> extendedOutput, recordOutput;
  if (!output.create(error)) return inputError(error);
  if (options.extended) {
    extendedOutput = std::make_unique<OutputFile>(kExtendedFile);
    recordOutput = std::make_unique<OutputFile>(kRecordFile);
    if (!extendedOutput->create(error) || !recordOutput->create(error)) return inputError(error);
  }
  ChannelRecorder recorder(vehicle, script, kSamplesPerRow);
  recorder.defineChannels();
  recorder.open(output.stream());
  std::unique_ptr<ExtendedRecorder> extended;
  if (options.extended) {
    extended = std::make_unique<ExtendedRecorder>(vehicle, script, kSamplesPerRow);
    extended->open(extendedOutput->stream());
  }
  auto writeFailed = [&] { return recorder.failed() || (extended && extended->failed()); };

  // Driver, car, recorders, once per time step, until the run ends.
  const float dt = vehicle.timeStep;
  double simulatedTime = 0.0;
  uint64_t steps = 0, singularSteps = 0;
  int singularRun = 0;             // singular steps in a row
  double singularSince = 0.0;      // simulated time when they began (s)
  uint32_t warnedEvent = 0;        // last event warned about (0: none)
  End end = End::Finished;
  for (;;) {
    if (stopSignal() != 0) { end = End::Signal; break; }
    if (writeFailed()) { end = End::WriteFailed; break; }
    if (script.clockStopped()) { end = End::Clock; break; }
    if (options.maxTime > 0.0 && simulatedTime >= options.maxTime - 0.5 * dt) {
      end = End::MaxTime;
      break;
    }
    if (!script.update()) break;
    vehicle.step();
    ++steps;
    simulatedTime += dt;
    if (!vehicle.stateIsFinite()) { end = End::Diverged; break; }
    recorder.sample();
    if (extended) extended->sample();
    // A system singular step after step: the state no longer means anything.
    if (vehicle.solveStatus == kSingular) {
      ++singularSteps;
      if (singularRun++ == 0) singularSince = simulatedTime - dt;
      if (singularRun >= kSingularStepLimit) { end = End::Singular; break; }
    } else {
      singularRun = 0;
    }
    // An event that waits long for its target is worth one line.
    const Event& e = *script.events[script.currentEvent];
    if (!e.reached && e.kind != Settle && warnedEvent != script.currentEvent &&
        double(e.elapsed) > kUnreachedWarning) {
      warnUnreached(script, car.events);
      warnedEvent = script.currentEvent;
    }
  }
  recorder.close();
  if (extended) extended->close();

  // Ends that keep nothing: a failed write, a stop signal.
  if (end == End::WriteFailed || writeFailed()) {
    const bool main = recorder.failed();
    const int reason = main ? recorder.writeError : extended->writeError;
    return inputError(std::string(main ? kOutputFile : kExtendedFile) + ": cannot write: " +
                      std::strerror(reason) + " (at " + number(simulatedTime, "%.6f") +
                      " s of simulated time); the previous outputs are left as they were");
  }
  if (end == End::Signal || stopSignal() != 0) {
    const int signal = stopSignal();
    std::fprintf(stderr,
                 "vdsim: stopped by signal %d (%s) at %.6f s of simulated time; the previous "
                 "outputs are left as they were\n",
                 signal, strsignal(signal), simulatedTime);
    return kExitSignal + signal;
  }

  // Ends that keep the rows: say why, once.
  const std::string kept = std::string("; ") + kOutputFile + " keeps the rows written before";
  std::string message;
  int status = kExitFinished;
  const char* endName = "finished";
  switch (end) {
    case End::Diverged:
      message = "the simulation diverged (non-finite state) at " + number(simulatedTime, "%.6f") +
                " s of simulated time" + kept;
      status = kExitDiverged;
      endName = "diverged";
      break;
    case End::Singular:
      message = "the car's equations have been singular since " + number(singularSince, "%.6f") +
                " s of simulated time (" + std::to_string(kSingularStepLimit) +
                " steps in a row), so the state no longer means anything; a zero mass or "
                "inertia in the car file usually causes it" + kept;
      status = kExitDiverged;
      endName = "singular";
      break;
    case End::Clock:
      message = "the run's clock cannot advance past " + number(script.runTime, "%.6f") +
                " s: a time step of " + number(dt) + " s no longer changes it (at " +
                number(simulatedTime, "%.6f") + " s of simulated time, during " +
                describeEvent(script, car.events) + ")" + kept;
      status = kExitCannotGoOn;
      endName = "clock";
      break;
    case End::MaxTime:
      message = "stopped at the --max-time limit after " + number(simulatedTime, "%.6f") +
                " s of simulated time, during " + describeEvent(script, car.events) + kept;
      status = kExitCannotGoOn;
      endName = "max-time";
      break;
    default:
      break;
  }
  if (!message.empty()) std::fprintf(stderr, "vdsim: %s\n", message.c_str());

  // The run record, with the digests of what was read and written.
  if (options.extended) {
    RunRecord record;
    record.version = VDSIM_VERSION;
    record.scenarioDir = workingDirectory();
    record.car = car.baseName;
    record.timeStep = dt;
    record.inputs.push_back({kEventFile, eventsDigest});
    for (const std::string& name :
         {car.baseName + ".ini", car.baseName + ".params", std::string(kTireFile)}) {
      if (name == car.baseName + ".params" && ::access(name.c_str(), F_OK) != 0) continue;
      record.inputs.push_back({name, sha256OfFile(name)});
    }
    record.events = car.events;
    record.exitStatus = status;
    record.end = endName;
    record.message = message;
    record.simulatedTime = simulatedTime;
    record.steps = steps;
    record.singularSteps = singularSteps;
    record.rows = recorder.rowCount;
    record.wallTime =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    record.outputs.push_back({"Output.csv", sha256OfFile(output.temporaryPath())});
    record.outputs.push_back({"Extended.csv", sha256OfFile(extendedOutput->temporaryPath())});
    const std::string json = formatRunRecord(record);
    std::fputs(json.c_str(), recordOutput->stream());
    // Output.csv last: when it appears, the rest is in place.
    if (!extendedOutput->commit(error) || !recordOutput->commit(error)) return inputError(error);
  }
  if (!output.commit(error)) return inputError(error);
  return status;
}

}  // namespace vdsim
