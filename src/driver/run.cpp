// The run: start-up in its fixed order, the stepping loop, and the end.
//
// Every run ends: the loop stops when the last event is done, when the state
// stops being finite, when the car's equations stay singular, when the float
// clock can no longer advance, at --max-time, at a failed write, or at a
// stop signal. The outputs are renamed into place only for the first five.
#include "driver/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "definition/car_file.h"
#include "definition/input_log.h"
#include "definition/token_reader.h"
#include "driver/event_file.h"
#include "driver/event_kinds.h"
#include "driver/event_script.h"
#include "driver/input_check.h"
#include "driver/process.h"
#include "driver/progress.h"
#include "dynamics/vehicle.h"
#include "numerics/linear_solver.h"
#include "output/channel_recorder.h"
#include "output/extended_recorder.h"
#include "output/number_text.h"
#include "output/output_file.h"
#include "output/run_record.h"

namespace vdsim {

namespace {

constexpr const char* kEventFile = "Events.ini";
constexpr const char* kDataDirectory = "Data";
constexpr const char* kOutputFile = "Data/Output.csv";
constexpr const char* kExtendedFile = "Data/Extended.csv";
constexpr const char* kRecordFile = "Data/Run.json";
constexpr int kSamplesPerRow = 100;
constexpr double kUnreachedWarning = 300.0;  // s an event may wait for its target unwarned

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
int noEvents() {
  if (::isatty(2)) {
    std::fprintf(stderr, "vdsim: no %s in %s; nothing to run\n", kEventFile,
                 workingDirectory().c_str());
  }
  return kExitNoEvents;
}

// A time for a message: the shortest text that reads back as the same
// float ("0", "16.900002", "1e+30"), or double beyond a float's range.
std::string timeText(double seconds) {
  const float asFloat = float(seconds);
  return std::isfinite(asFloat) ? shortestText(asFloat) : shortestText(seconds);
}

// "Events.ini:20 SteerRamp", "the built-in settle": the running event, for
// the progress line.
std::string runningEvent(const EventScript& script, const std::vector<EventEntry>& events) {
  const uint32_t index = script.currentEvent;
  if (index >= script.eventCount) return "the end of the script";
  if (index == 0) return "the built-in settle";
  if (index == 1) return "the built-in launch";
  return std::string(kEventFile) + ":" + std::to_string(events[index - 2].line) + " " +
         eventKindName(script.events[index]->kind);
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
  explicit Run(const RunOptions& o)
      : options(o), script(vehicle), progress(!o.quiet && ::isatty(2), started) {}

  RunOptions options;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  Vehicle vehicle;
  EventScript script;
  CarChoice car;    // the event file's car, time step and events
  InputLog inputs;  // warnings, digests of the files as read, items for --check
  // Outputs, each a temporary file until the run has ended.
  std::unique_ptr<OutputFile> output, extendedOutput, recordOutput;
  std::unique_ptr<ChannelRecorder> recorder;
  std::unique_ptr<ExtendedRecorder> extended;
  ProgressLine progress;

  // How the stepping loop went.
  End end = End::Finished;
  double simulatedTime = 0.0;  // simulated time, the settle included (s)
  uint64_t steps = 0;
  SingularSteps singular;

  bool writeFailed() const { return recorder->failed() || (extended && extended->failed()); }
};

// Reads every input in its fixed order: the event file, then the car's
// files. Returns -1 when all were read; else the exit status, with error
// set for status 2.
int readInputs(Run& run, std::string& error) {
  // The event file: without one, exit 1 at once (opened without waiting, in
  // case it is a FIFO). One that is there but cannot be opened is an error.
  const int probe = ::open(kEventFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0) {
    const int reason = errno;
    struct stat info;
    if (reason == ENOENT && ::lstat(kEventFile, &info) != 0) return noEvents();
    error = std::string(kEventFile) + ": cannot open: " + std::strerror(reason) +
            (reason == ENOENT ? " (a symbolic link to a file that is not there)" : "");
    return kExitBadInput;
  }
  ::close(probe);
  std::string text;
  if (!TokenReader::readFile(kEventFile, text, error)) return kExitBadInput;
  run.inputs.read(kEventFile, text);
  if (!readEventText(kEventFile, text, run.script, run.car, error, &run.inputs)) {
    return kExitBadInput;
  }
  if (!loadCarFiles(run.vehicle, run.car.baseName, error, &run.inputs)) return kExitBadInput;
  return -1;
}

void printWarnings(const InputLog& inputs) {
  for (const std::string& warning : inputs.warnings) {
    std::fprintf(stderr, "vdsim: warning: %s\n", warning.c_str());
  }
}

// The outputs' directory, created when it is missing. Anything else in its
// place is the user's and stays; the message says what to do.
bool prepareDataDirectory(std::string& error) {
  const std::string name = kDataDirectory;
  struct stat info;
  if (::stat(kDataDirectory, &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    error = name + ": not a directory, but the outputs go into " + name +
            "/; move it away and vdsim creates the directory";
    return false;
  }
  if (errno == ENOENT && ::lstat(kDataDirectory, &info) == 0) {
    error = name + ": a symbolic link to a directory that is not there; create the directory "
                   "it names, or remove the link and vdsim creates " + name + "/";
    return false;
  }
  if (errno != ENOENT || ::mkdir(kDataDirectory, 0777) != 0) {
    error = name + ": cannot create the output directory: " + std::strerror(errno);
    return false;
  }
  return true;
}

// Start-up in its fixed order: the inputs, the car, the outputs and their
// recorders. Returns -1 when the run can start, else its exit status.
int startRun(Run& run) {
  std::string error;
  const int refused = readInputs(run, error);
  if (refused == kExitBadInput) return inputError(error);
  if (refused >= 0) return refused;
  // Everything was read: what was read but is ignored is worth a line each.
  printWarnings(run.inputs);

  Vehicle& vehicle = run.vehicle;
  vehicle.initialize();
  vehicle.setUpSystem(kCornerCount);
  vehicle.setTimeStep(run.car.timeStep);

  // Every output goes to a temporary file until the run has ended.
  if (!prepareDataDirectory(error)) return inputError(error);
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
  uint32_t warnedEvent = 0;    // last event warned about (0: none)
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
    // A system singular step after step: the state no longer means anything.
    if (run.singular.note(vehicle.solveStatus == kSingular, run.simulatedTime - dt)) {
      run.end = End::Singular;
      break;
    }
    // An event that waits long for its target is worth one line.
    const Event& e = *script.events[script.currentEvent];
    if (!e.reached && e.kind != Settle && warnedEvent != script.currentEvent &&
        double(e.elapsed) > kUnreachedWarning) {
      run.progress.clear();
      warnUnreached(script, run.car.events);
      warnedEvent = script.currentEvent;
    }
    if (run.progress.due()) {
      run.progress.show(progressText(run.simulatedTime, runningEvent(script, run.car.events),
                                     run.progress.wallTime()));
    }
  }
  run.progress.clear();
  run.recorder->close();
  if (run.extended) run.extended->close();
}

// The run record, with the digests of what was read and written.
std::string runRecordText(Run& run, int status, const char* endName, const std::string& message) {
  RunRecord record;
  record.version = VDSIM_VERSION;
  record.scenarioDir = workingDirectory();
  record.car = run.car.baseName;
  record.timeStep = run.vehicle.timeStep;
  // The inputs as the readers read them, in the order read.
  for (const ReadDigest& input : run.inputs.digests) {
    record.inputs.push_back({input.file, input.sha256});
  }
  // Every [event] section in file order, those of an unknown kind too.
  record.events = run.car.events;
  record.events.insert(record.events.end(), run.car.ignoredEvents.begin(),
                       run.car.ignoredEvents.end());
  std::stable_sort(record.events.begin(), record.events.end(),
                   [](const EventEntry& a, const EventEntry& b) { return a.number < b.number; });
  record.exitStatus = status;
  record.end = endName;
  record.message = message;
  record.simulatedTime = run.simulatedTime;
  record.steps = run.steps;
  record.singularSteps = run.singular.total;
  record.rows = run.recorder->rowCount;
  record.wallTime =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
  record.outputs.push_back({"Output.csv", run.output->digest()});
  record.outputs.push_back({"Extended.csv", run.extendedOutput->digest()});
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
                      std::strerror(reason) + " (at " + timeText(simulatedTime) +
                      " s of simulated time); the previous outputs are left as they were");
  }
  if (run.end == End::Signal || stopSignal() != 0) {
    const int signal = stopSignal();
    std::fprintf(stderr,
                 "vdsim: stopped by signal %d (%s) at %s s of simulated time; the previous "
                 "outputs are left as they were\n",
                 signal, strsignal(signal), timeText(simulatedTime).c_str());
    return kExitSignal + signal;
  }

  // Ends that keep the rows: say why, once.
  const std::string kept = std::string("; ") + kOutputFile + " keeps the rows written before";
  const float dt = run.vehicle.timeStep;
  std::string message;
  switch (run.end) {
    case End::Diverged:
      message = "the simulation diverged (non-finite state) at " + timeText(simulatedTime) +
                " s of simulated time" + kept;
      break;
    case End::Singular:
      message = "the car's equations have been singular since " +
                timeText(run.singular.since) + " s of simulated time (" +
                std::to_string(SingularSteps::kLimit) +
                " steps in a row), so the state no longer means anything; a zero mass or "
                "inertia in the car file usually causes it" + kept;
      break;
    case End::Clock:
      message = "the run's clock cannot advance past " + timeText(run.script.runTime) +
                " s: a time step of " + shortestText(dt) + " s no longer changes it (at " +
                timeText(simulatedTime) + " s of simulated time, during " +
                describeEvent(run.script, run.car.events) + ")" + kept;
      break;
    case End::MaxTime:
      message = "stopped at the --max-time limit after " + timeText(simulatedTime) +
                " s of simulated time, during " + describeEvent(run.script, run.car.events) +
                kept;
      break;
    default:
      break;
  }
  if (!message.empty()) std::fprintf(stderr, "vdsim: %s\n", message.c_str());
  const int status = endStatus(run.end);

  // Every output is written and synced before any is renamed; Output.csv
  // last: when it appears, the rest is in place.
  std::string error;
  if (run.options.extended) {
    const std::string json = runRecordText(run, status, endName(run.end), message);
    std::fputs(json.c_str(), run.recordOutput->stream());
    if (!commitOutputs({run.extendedOutput.get(), run.recordOutput.get(), run.output.get()},
                       error)) {
      return inputError(error);
    }
  } else if (!commitOutputs({run.output.get()}, error)) {
    return inputError(error);
  }
  return status;
}

// vdsim --check: reads every input as a run does and prints each item as
// read; simulates nothing and writes nothing.
int checkInputs(const RunOptions& options) {
  auto run = std::make_unique<Run>(options);
  run->inputs.keepItems = true;
  run->inputs.keepDigests = true;
  std::string error;
  const int refused = readInputs(*run, error);
  if (refused >= 0 && refused != kExitBadInput) return refused;
  printCheckedItems(stdout, run->inputs);
  std::fflush(stdout);
  printWarnings(run->inputs);
  if (refused == kExitBadInput) return inputError(error);
  const bool flagged = run->inputs.flaggedCount() > 0 || !run->inputs.warnings.empty();
  return flagged ? kExitFlagged : kExitFinished;
}

}  // namespace

int runSimulation(const RunOptions& options) {
  if (options.check) return checkInputs(options);
  auto run = std::make_unique<Run>(options);
  run->inputs.keepDigests = options.extended;
  const int refused = startRun(*run);
  if (refused >= 0) return refused;
  stepUntilEnd(*run);
  return finishRun(*run);
}

}  // namespace vdsim
