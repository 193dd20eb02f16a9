// The run: start-up in its fixed order, then the stepping loop.
#include "driver/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "definition/token_reader.h"
#include "driver/event_file.h"
#include "driver/event_script.h"
#include "dynamics/vehicle.h"
#include "output/channel_recorder.h"

namespace vdsim {

namespace {

constexpr const char* kEventFile = "Events.ini";
constexpr const char* kOutputFile = "Data/Output.csv";
constexpr int kSamplesPerRow = 100;

int inputError(const std::string& message) {
  std::fprintf(stderr, "vdsim: %s\n", message.c_str());
  return kExitBadInput;
}

}  // namespace

int runSimulation() {
  Vehicle vehicle;
  EventScript script(vehicle);

  // Without an event file there is nothing to run: exit 1 at once.
  std::FILE* probe = std::fopen(kEventFile, "rt");
  if (!probe) return kExitNoEvents;
  std::fclose(probe);
  std::string text, error;
  if (!TokenReader::readFile(kEventFile, text, error)) return inputError(error);
  CarChoice car;
  if (!readEventText(kEventFile, text, script, car, error)) return inputError(error);

  if (!vehicle.loadCar(car.baseName, error)) return inputError(error);
  vehicle.initialize();
  vehicle.setUpSystem(kCornerCount);
  vehicle.setTimeStep(car.timeStep);

  ChannelRecorder recorder(vehicle, script, kSamplesPerRow);
  recorder.defineChannels();
  if (!recorder.open(kOutputFile)) {
    return inputError(std::string(kOutputFile) + ": cannot create the output file: " +
                      std::strerror(errno));
  }

  // Driver, car, recorder, once per time step, until the last event is done.
  double simulatedTime = 0.0;
  while (script.update()) {
    vehicle.step();
    simulatedTime += vehicle.timeStep;
    if (!vehicle.stateIsFinite()) {
      recorder.close();
      std::fprintf(stderr,
                   "vdsim: the simulation diverged (non-finite state) at %.6f s of simulated "
                   "time; %s keeps the rows written before\n",
                   simulatedTime, kOutputFile);
      return kExitDiverged;
    }
    recorder.sample();
  }
  if (!recorder.close()) {
    return inputError(std::string(kOutputFile) + ": write failed; the file is incomplete");
  }
  return kExitFinished;
}

}  // namespace vdsim
