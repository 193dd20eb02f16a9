#include "driver/event_kinds.h"

#include <cmath>
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
    {StepSteer, "StepSteer", 4,
     {{"speed", "speed", "m/s"},
      {"angle", "angle", "deg"},
      {"rampTime", "ramp_time", "s"},
      {"duration", "duration", "s"}}},
    {SineSteer, "SineSteer", 4,
     {{"speed", "speed", "m/s"},
      {"amplitude", "amplitude", "deg"},
      {"frequency", "frequency", "Hz"},
      {"cycles", "cycles", "-"}}},
    {SineDwell, "SineDwell", 5,
     {{"speed", "speed", "m/s"},
      {"amplitude", "amplitude", "deg"},
      {"frequency", "frequency", "Hz"},
      {"dwell", "dwell", "s"},
      {"duration", "duration", "s"}}},
};

constexpr double kDegToRad = 3.14159265358979323846 / 180.0;
constexpr double kSteerLimit = 0.5;  // the steer command's clamp: 0.25 rad at the wheels

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
// radius of 0 asks for an infinite curvature, a ramp of no duration divides
// by zero. (Negative radii turn the other way; a ramp whose radius changes
// sign passes through an infinite target, but only while it is already
// running, and may be meant.) The open-loop steer events refuse an angle the
// steering clamp would cut, a negative time, and a frequency or number of
// cycles that is not above 0. Items are checked in file order.
EventValueProblem checkEventValues(EventKind kind, const float* values) {
  const EventKindInfo& info = eventKindInfo(kind);
  for (int i = 0; i < info.valueCount; ++i) {
    const std::string key = info.values[i].key;
    const float value = values[i];
    const std::string shown = shortNumber(value);
    if (key == "speed" && kind != Brake && value <= -0.5) {
      return {i, "a speed of " + shown +
                     " m/s can never be reached, so the event would never end (the car's speed "
                     "is never negative)"};
    }
    if (kind == SteerRamp && key == "startRadius" && value == 0.0f) {
      return {i, "a start radius of 0 m can never be reached, so the event would never end (a "
                 "positive radius turns right, a negative one left)"};
    }
    if (kind == SteerRamp && key == "duration" && value == 0.0f) {
      return {i, "a ramp duration of 0 s leaves no time to move from the start to the end "
                 "radius (the ramp divides by its duration)"};
    }
    if ((key == "angle" || key == "amplitude") &&
        (2.0 * std::fabs(double(value))) * kDegToRad > kSteerLimit) {
      return {i, "a road-wheel " + key + " of " + shown +
                     " deg is beyond the steering's limit of 14.32 deg (0.25 rad), where the "
                     "steer command would be cut"};
    }
    if ((key == "rampTime" || key == "dwell" || (key == "duration" && kind != SteerRamp)) &&
        value < 0.0f) {
      return {i, "a " + key + " of " + shown + " s is negative; a time must be 0 s or more"};
    }
    if ((key == "frequency" || key == "cycles") && !(value > 0.0f && std::isfinite(value))) {
      return {i, "the " + key + " must be a number above 0, found " + shown};
    }
  }
  return {};
}

void addEventToScript(EventScript& script, EventKind kind, const float* v) {
  switch (kind) {
    case TargetSpeed: script.addTargetSpeed(v[0], v[1]); break;
    case SteerRamp: script.addSteerRamp(v[0], v[1], v[2], v[3], v[4]); break;
    case Brake: script.addBrake(v[0]); break;
    case StepSteer: script.addStepSteer(v[0], v[1], v[2], v[3]); break;
    case SineSteer: script.addSineSteer(v[0], v[1], v[2], v[3]); break;
    case SineDwell: script.addSineDwell(v[0], v[1], v[2], v[3], v[4]); break;
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
