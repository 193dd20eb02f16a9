#include "driver/event_kinds.h"

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

const char* eventKindName(EventKind kind) {
  if (kind == Settle) return "Settle";
  for (const EventKindInfo& info : kKinds) {
    if (info.kind == kind) return info.keyword;
  }
  return "?";
}

}  // namespace vdsim
