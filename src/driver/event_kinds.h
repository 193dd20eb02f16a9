// The event kinds an event file may name, and the values each one reads.
//
// One table describes every kind the file reader knows: its keyword, and in
// file order the key word its example files write before each value, the
// name the run record gives it, and its unit. The reader, the run record and
// the messages all take names from here.
#pragma once

#include <string>

#include "driver/event_script.h"

namespace vdsim {

constexpr int kMaxEventValues = 5;  ///< most values an event kind reads

// One value of an event kind, in file order.
struct EventValueInfo {
  const char* key;       ///< key word the example files write ("endSpeed")
  const char* jsonName;  ///< name in the run record ("end_speed")
  const char* unit;      ///< unit of the value ("m/s")
};

// An event kind as the file names it.
struct EventKindInfo {
  EventKind kind;
  const char* keyword;  ///< as written after "kind" ("SteerRamp")
  int valueCount;       ///< values that follow, each after one key token
  EventValueInfo values[kMaxEventValues];
};

// The kind a keyword names (matched exactly), or nullptr for an unknown one.
const EventKindInfo* findEventKind(const std::string& keyword);

// The description of a kind the file can name (not the built-in Settle).
const EventKindInfo& eventKindInfo(EventKind kind);

// The keywords of every kind the file can name, in table order, separated
// by ", ": "TargetSpeed, SteerRamp, Brake, StepSteer, SineSteer, SineDwell".
std::string eventKindKeywords();

// Why the values of an event cannot be run, and which value (0-based) is to
// blame; item -1 when they can.
struct EventValueProblem {
  int item = -1;
  std::string why;
};

// Refuses values outside what the control laws can run: an event that can
// provably never finish, a ramp of no time, a steer angle beyond the clamp, a
// negative time, a frequency or cycle count not above 0. values are in the
// kind's file order; the first wrong one is named.
EventValueProblem checkEventValues(EventKind kind, const float* values);

// Appends an event of kind with values in its file order to the script.
void addEventToScript(EventScript& script, EventKind kind, const float* values);

// Name of an event kind as the file writes it ("TargetSpeed"; "Settle" for
// the built-in settle).
const char* eventKindName(EventKind kind);

}  // namespace vdsim
