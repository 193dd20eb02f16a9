// vdsim: a vehicle-dynamics simulator. Runs the scenario in the working
// directory, or in the one named on the command line; see --help.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/process.h"
#include "driver/run.h"
#include "numerics/floating_point_environment.h"

namespace {

const char kUsage[] =
    "Usage: vdsim [--extended] [--max-time SECONDS] [--quiet] [SCENARIO_DIR]\n"
    "       vdsim --check [SCENARIO_DIR]\n"
    "Simulates a car through a scripted maneuver, in SCENARIO_DIR (default: the\n"
    "working directory).\n"
    "\n"
    "Reads   Events.ini            car base name, time step and maneuver events\n"
    "        <car>.ini             chassis, powertrain and four corners\n"
    "        <car>.params          optional whole-car parameters\n"
    "        Goodyear2692x7.pkj    74 tire coefficients\n"
    "Writes  Data/Output.csv       21 channels, one row per 100 steps (Data/ is created\n"
    "                              when missing)\n"
    "        Data/Extended.csv     with --extended: steering, pose, rates, tire slip and forces\n"
    "        Data/Run.json         with --extended: inputs and their SHA-256, events, how it ended\n"
    "The outputs appear together when the run ends (status 0, 3 or 4); until then\n"
    "the previous ones stay as they were.\n"
    "\n"
    "Options:\n"
    "  --extended          also write Data/Extended.csv and Data/Run.json\n"
    "  --max-time SECONDS  stop after this much simulated time (the 3 s settle included)\n"
    "  --check             read every input and print each value as read, with the\n"
    "                      field it sets; flag a key that names another item; simulate\n"
    "                      nothing, write nothing\n"
    "  --quiet             no progress line (shown at a terminal when a run lasts over 1 s)\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "Exit status:\n"
    "  0  the last event finished (--check: every input read, nothing flagged)\n"
    "  1  no Events.ini: nothing read or written\n"
    "  2  an input file or argument is wrong or missing, an output cannot be written,\n"
    "     or the floating-point state cannot be set: the previous outputs are left\n"
    "     as they were\n"
    "  3  the simulation diverged, or the car's equations stayed singular: rows kept\n"
    "  4  the run cannot go on (the float clock stopped) or --max-time was reached:\n"
    "     rows kept\n"
    "  5  --check: every input was read, but a key names another item or a warning\n"
    "     was given\n"
    "  128+N  stopped by signal N (interrupt, terminate, hang-up): outputs left as they were\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "vdsim: %s; try vdsim --help\n", message.c_str());
  return vdsim::kExitBadInput;
}

}  // namespace

int main(int argc, char** argv) {
  vdsim::prepareProcess();
  // Round to nearest with subnormals kept, whatever state the process began in.
  if (const char* problem = vdsim::setUpFloatingPointEnvironment()) {
    std::fprintf(stderr, "vdsim: %s\n", problem);
    return vdsim::kExitBadInput;
  }

  vdsim::RunOptions options;
  const char* directory = nullptr;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnd && (arg == "-h" || arg == "--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!optionsEnd && arg == "--version") {
      std::printf("vdsim %s\n", VDSIM_VERSION);
      return 0;
    }
    if (!optionsEnd && arg == "--extended") {
      options.extended = true;
    } else if (!optionsEnd && arg == "--check") {
      options.check = true;
    } else if (!optionsEnd && arg == "--quiet") {
      options.quiet = true;
    } else if (!optionsEnd && (arg == "--max-time" || arg.rfind("--max-time=", 0) == 0)) {
      std::string value;
      if (arg == "--max-time") {
        if (i + 1 >= argc) return usageError("--max-time needs a number of seconds");
        value = argv[++i];
      } else {
        value = arg.substr(std::strlen("--max-time="));
      }
      char* end = nullptr;
      const double seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(seconds > 0.0) || !std::isfinite(seconds)) {
        return usageError("--max-time: expected a positive number of seconds, found \"" +
                          value + "\"");
      }
      options.maxTime = seconds;
    } else if (!optionsEnd && arg == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option \"" + arg + "\"");
    } else if (directory) {
      return usageError("more than one scenario directory (\"" + std::string(directory) +
                        "\", \"" + arg + "\")");
    } else {
      directory = argv[i];
    }
  }
  if (directory && ::chdir(directory) != 0) {
    std::fprintf(stderr, "vdsim: %s: cannot enter the scenario directory: %s\n", directory,
                 std::strerror(errno));
    return vdsim::kExitBadInput;
  }
  return vdsim::runSimulation(options);
}
