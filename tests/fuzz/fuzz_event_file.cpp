// Fuzz target: arbitrary bytes as the contents of "Events.ini", through the
// same scan the run uses.
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/event_file.h"
#include "driver/event_script.h"
#include "dynamics/vehicle.h"
#include "fuzz_checks.h"

using namespace vdsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Vehicle vehicle;
  EventScript script(vehicle);
  const std::size_t builtIn = script.events.size();
  CarChoice car;
  std::string error;
  InputLog log;
  log.keepItems = true;  // the --check path too
  const bool accepted = readEventText("Events.ini", text, script, car, error, &log);
  fuzz::checkLog("Events.ini", log);
  if (!accepted) {
    fuzz::checkError("Events.ini", error);
    return 0;
  }
  // An accepted file names a car that fits the file-name buffers and gives a
  // step the integration can use.
  if (car.baseName.empty() || car.baseName.size() > kMaxBaseName) {
    fuzz::fault("accepted a base name of bad length", car.baseName);
  }
  // The name becomes a path: a blank, NUL or other control byte would cut or
  // change it.
  for (unsigned char c : car.baseName) {
    if (c <= ' ' || c == 0x7f) fuzz::fault("accepted a base name with a control byte", "");
  }
  if (!(car.timeStep > 0.0f)) fuzz::fault("accepted a time step that is not positive", "");
  fuzz::checkFinite(car.timeStep, "time step");
  if (script.events.size() != script.eventCount || script.events.size() < builtIn) {
    fuzz::fault("event list and count disagree", "");
  }
  for (const auto& event : script.events) {
    fuzz::checkFinite(event->speed, "event speed");
    fuzz::checkFinite(event->endSpeed, "event end speed");
    fuzz::checkFinite(event->startRadius, "event start radius");
    fuzz::checkFinite(event->endRadius, "event end radius");
    fuzz::checkFinite(event->duration, "event duration");
  }
  return 0;
}
