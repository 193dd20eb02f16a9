#include "driver/event_kinds.h"

#include <cstdio>

namespace vdsim {

namespace {

const EventKindInfo kKinds[] = {
    {TargetSpeed, "TargetSpeed", 2,
     {{"speed", "speed", "m/s"}, {"hold", "duration", "s"}}},
    {SteerRamp, "SteerRamp", 5,
     {{"speed", "speed", "m/s"},
      {"endSpeed", "end_speed", "m/s"},
      {"startRadius", "start_radius", "m"},
      {"endRadius", "end_radius", "m"},
      {"duration", "duration", "s"}}},
    {Brake, "Brake", 1, {{"speed", "speed", "m/s"}}},
};

std::string shortNumber(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", double(value));
  return text;
}

}  // namespace

const EventKindInfo* findEventKind(const std::string& keyword) {
  for (const EventKindInfo& info : kKinds) {
    if (keyword == info.keyword) return &info;
  }
  return nullptr;
}

const EventKindInfo& eventKindInfo(EventKind kind) {
  for (const EventKindInfo& info : kKinds) {
    if (info.kind == kind) return info;
  }
  return kKinds[0];  // Settle is never read from a file
}

std::string eventKindKeywords() {
  std::string list;
  for (const EventKindInfo& info : kKinds) {
    if (!list.empty()) list += ", ";
    list += info.keyword;
  }
  return list;
}

// The measured speed is a length, never negative, so a speed target of -0.5
// m/s or less is never within the 0.5 m/s that marks it reached; a start
// radius of 0 asks for an infinite curvature. (Negative radii turn the other
// way; a ramp whose radius changes sign passes through an infinite target,
// but only while it is already running, and may be meant.)
EventValueProblem checkEventValues(EventKind kind, const float* values) {
  if ((kind == TargetSpeed || kind == SteerRamp) && values[0] <= -0.5) {
    return {0, "a speed of " + shortNumber(values[0]) +
                   " m/s can never be reached, so the event would never end (the car's speed "
                   "is never negative)"};
  }
  if (kind == SteerRamp && values[2] == 0.0f) {
    return {2, "a start radius of 0 m can never be reached, so the event would never end (a "
               "positive radius turns right, a negative one left)"};
  }
  return {};
}

void addEventToScript(EventScript& script, EventKind kind, const float* v) {
  switch (kind) {
    case TargetSpeed: script.addTargetSpeed(v[0], v[1]); break;
    case SteerRamp: script.addSteerRamp(v[0], v[1], v[2], v[3], v[4]); break;
    case Brake: script.addBrake(v[0]); break;
    case Settle: break;  // built in only
  }
}

const char* eventKindName(EventKind kind) {
  if (kind == Settle) return "Settle";
  for (const EventKindInfo& info : kKinds) {
    if (info.kind == kind) return info.keyword;
  }
  return "?";
}

}  // namespace vdsim
