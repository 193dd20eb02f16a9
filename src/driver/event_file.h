// The event file "Events.ini": car base name, time step, maneuver events.
#pragma once

#include <string>

namespace vdsim {

class EventScript;

// What the "[car]" section gives.
struct CarChoice {
  std::string baseName;   ///< base name of the car's files
  float timeStep = 0.0f;  ///< integration step (s)
};

constexpr std::size_t kMaxBaseName = 56;  ///< longest car base name (characters)

// Scans the text of an event file (name for messages): "[car]" sets car (a
// later one wins), each "[event]" appends its event to script. Other tokens
// are skipped. On bad input (no "[car]", a value that does not convert, a
// file cut short, an over-long token or base name, a base name holding a
// control character, a time step that is not a positive finite number) sets
// error to one "file:line: message" line and returns false.
bool readEventText(const std::string& name, const std::string& text, EventScript& script,
                   CarChoice& car, std::string& error);

}  // namespace vdsim
