// The event file "Events.ini": car base name, time step, maneuver events.
#pragma once

#include <string>
#include <vector>

#include "definition/input_log.h"
#include "driver/event_kinds.h"
#include "driver/event_script.h"

namespace vdsim {

// One "[event]" of the file as read, for messages and the run record.
struct EventEntry {
  EventKind kind = TargetSpeed;
  int number = 0;         ///< its "[event]" section's number in the file, from 1
  int line = 0;           ///< line of its "[event]" marker
  float values[kMaxEventValues] = {};  ///< its values in file order (units: see event_kinds.h)
  int valueCount = 0;     ///< values its kind reads
  bool ignored = false;   ///< its kind is unknown: it adds no event to the script
  std::string keyword;    ///< the kind as written
};

// What the event file gives: the car, the time step, and the events.
struct CarChoice {
  std::string baseName;   ///< base name of the car's files
  float timeStep = 0.0f;  ///< integration step (s)
  std::vector<EventEntry> events;  ///< the file's events, in order (script events 2, 3, ...)
  std::vector<EventEntry> ignoredEvents;  ///< sections of an unknown kind, in order
};

constexpr std::size_t kMaxBaseName = 56;  ///< longest car base name (characters)
constexpr int kMaxEvents = 100000;        ///< most "[event]" sections a file may hold

// Scans the text of an event file (name for messages): "[car]" sets car (a
// later one wins), each "[event]" appends its event to script and to
// car.events. Other tokens are skipped. On bad input (no "[car]", a value
// that does not convert, a file cut short, an over-long token or base name, a
// base name holding a control character, a time step that is not a positive
// finite number, an event that can never finish, more than kMaxEvents
// events) sets error to one "file:line: message" line and returns false.
//
// With a log, warns there about what is read but ignored: an event of an
// unknown kind, a token that looks like a misspelled marker ("[Event]"), a
// second "[car]"; and notes the items read if the log keeps them.
bool readEventText(const std::string& name, const std::string& text, EventScript& script,
                   CarChoice& car, std::string& error, InputLog* log = nullptr);

}  // namespace vdsim
