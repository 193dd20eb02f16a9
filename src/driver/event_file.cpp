#include "driver/event_file.h"

#include <algorithm>

#include "definition/token_reader.h"
#include "driver/event_kinds.h"
#include "driver/event_script.h"

namespace vdsim {

namespace {

// Label of value i (0-based) of an event: "[event] 2 (SteerRamp), item 4".
std::string itemLabel(const std::string& section, int i) {
  return section + ", item " + std::to_string(i + 2);
}

// Reads count "key value" pairs of an event into values, and their lines.
bool readPairs(TokenReader& in, const std::string& section, int count, float* values,
               int* lines) {
  for (int i = 0; i < count; ++i) {
    const std::string label = itemLabel(section, i);
    if (!in.key(label) || !in.number(label, values[i])) return false;
    lines[i] = in.line();
  }
  return true;
}

}  // namespace

bool readEventText(const std::string& name, const std::string& text, EventScript& script,
                   CarChoice& car, std::string& error) {
  TokenReader in(name, text);
  bool haveCar = false;
  int eventNumber = 0;
  SectionScan scan{"[car]", "[event]"};
  std::string token;
  while (in.next(token)) {
    scan.saw(token, in.line());
    if (token == "[car]") {
      std::string baseName;
      float dt = 0.0f;
      if (!in.key("[car], item 1") || !in.word("[car], item 1", baseName)) break;
      if (baseName.size() > kMaxBaseName) {
        in.fail("[car], item 1: car base name longer than " + std::to_string(kMaxBaseName) +
                " characters");
        break;
      }
      // The name becomes a path: a NUL or other control byte would cut or bend it.
      if (std::any_of(baseName.begin(), baseName.end(),
                      [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
        in.fail("[car], item 1: the car base name holds a control character: " +
                quoted(baseName));
        break;
      }
      if (!in.key("[car], item 2") || !in.number("[car], item 2", dt)) break;
      if (!(dt > 0.0f)) {
        in.fail("[car], item 2: the time step must be a positive number of seconds, found " +
                std::to_string(dt));
        break;
      }
      // The script's clock is a float advanced by dt each step: it must be
      // able to pass the 3 s of the built-in settle, or the run never ends.
      if (float(3.0 + dt) == 3.0f) {
        in.fail("[car], item 2: the time step " + quoted(std::to_string(dt)) +
                " is too small for the run's clock to advance past 3 s");
        break;
      }
      car.baseName = baseName;
      car.timeStep = dt;
      haveCar = true;
    } else if (token == "[event]") {
      const int markerLine = in.line();
      const std::string section = "[event] " + std::to_string(++eventNumber);
      std::string kind;
      if (!in.key(section + ", item 1") || !in.word(section + ", item 1", kind)) break;
      EventEntry event;
      event.number = eventNumber;
      event.line = markerLine;
      event.keyword = kind;
      const EventKindInfo* info = findEventKind(kind);
      if (!info) {
        // Any other kind adds nothing; its values are skipped by the scan.
        event.ignored = true;
        car.ignoredEvents.push_back(event);
        continue;
      }
      event.kind = info->kind;
      event.valueCount = info->valueCount;
      const std::string labelled = section + " (" + kind + ")";
      int lines[kMaxEventValues];
      if (!readPairs(in, labelled, event.valueCount, event.values, lines)) break;
      const EventValueProblem problem = checkEventValues(event.kind, event.values);
      if (problem.item >= 0) {
        in.failAt(lines[problem.item], itemLabel(labelled, problem.item) + ": " + problem.why);
        break;
      }
      addEventToScript(script, event.kind, event.values);
      car.events.push_back(event);
    }
  }
  if (!in.failed() && !haveCar) {
    in.fail("no [car] section: the car base name and time step are missing" +
            scan.whereItGaveUp());
  }
  if (in.failed()) {
    error = in.error();
    return false;
  }
  return true;
}

}  // namespace vdsim
