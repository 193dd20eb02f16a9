// vdsim: a vehicle-dynamics simulator. Run without arguments in a scenario
// directory; see --help.
#include <cstdio>
#include <cstring>

#include "driver/run.h"
#include "numerics/floating_point_environment.h"

namespace {

const char kUsage[] =
    "Usage: vdsim\n"
    "Simulates a car through a scripted maneuver, in the working directory.\n"
    "\n"
    "Reads   Events.ini            car base name, time step and maneuver events\n"
    "        <car>.ini             chassis, powertrain and four corners\n"
    "        <car>.params          optional whole-car parameters\n"
    "        Goodyear2692x7.pkj    74 tire coefficients\n"
    "Writes  Data/Output.csv       21 channels, one row per 100 steps\n"
    "\n"
    "Exit status: 0 finished, 1 no Events.ini, 2 bad input or output not\n"
    "writable, 3 the simulation diverged.\n"
    "Options: --help, --version.\n";

}  // namespace

int main(int argc, char** argv) {
  // Round to nearest with subnormals kept, whatever state the process began in.
  if (const char* problem = vdsim::setUpFloatingPointEnvironment()) {
    std::fprintf(stderr, "vdsim: %s\n", problem);
    return 2;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vdsim %s\n", VDSIM_VERSION);
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "vdsim: unknown argument \"%s\"; try vdsim --help\n", argv[1]);
    return 2;
  }
  return vdsim::runSimulation();
}
