#include "driver/event_file.h"

#include <algorithm>
#include <cctype>

#include "definition/token_reader.h"
#include "driver/event_kinds.h"
#include "driver/event_script.h"
#include "output/number_text.h"

namespace vdsim {

namespace {

// The items of "[car]" and the kind of an "[event]".
constexpr ItemInfo kCarItems[] = {{"baseName", "-", "name"}, {"timeStep", "s", "timeStep"}};
constexpr ItemInfo kKindItem = {"kind", "-", "kind"};

// Label of value i (0-based) of an event: "[event] 2 (SteerRamp), item 4".
std::string itemLabel(const std::string& section, int i) {
  return section + ", item " + std::to_string(i + 2);
}

// Reads the values of an event of the kind info into values, and their lines.
bool readValues(TokenReader& in, const std::string& section, const EventKindInfo& info,
                float* values, int* lines) {
  ItemInfo items[kMaxEventValues + 1] = {kKindItem};
  for (int i = 0; i < info.valueCount; ++i) {
    const EventValueInfo& value = info.values[i];
    items[i + 1] = ItemInfo{value.jsonName, value.unit, value.key};
  }
  in.sectionItems(items, info.valueCount + 1);
  for (int i = 0; i < info.valueCount; ++i) {
    if (!in.item(itemLabel(section, i), items[i + 1]) || !in.number(values[i])) return false;
    lines[i] = in.line();
  }
  return true;
}

// True when a token's ASCII letters and digits, lower-cased, spell a
// marker's name with or without a final "s": "[Event]", "[cars]", "event]".
bool spellsMarker(const std::string& token) {
  std::string name;
  for (unsigned char c : token) {
    if (c < 0x80 && std::isalnum(c)) name += char(std::tolower(c));
  }
  if (!name.empty() && name.back() == 's') name.pop_back();
  return name == "car" || name == "event";
}

bool hasBracket(const std::string& token) {
  return token.find_first_of("[]") != std::string::npos;
}

// Warns about tokens of the scan that look like a misspelled marker: a
// bracketed word spelled like one ("[Event]", "[events]"), or a lone "["
// before such a word ("[ event").
class NearMisses {
 public:
  void saw(TokenReader& in, const std::string& token, int line) {
    if (loneBracketLine_ != 0 && !hasBracket(token) && spellsMarker(token)) {
      warn(in, "[ " + token, loneBracketLine_);
    }
    loneBracketLine_ = token == "[" ? line : 0;
    if (token != "[car]" && token != "[event]" && hasBracket(token) && spellsMarker(token)) {
      warn(in, token, line);
    }
  }

 private:
  static void warn(TokenReader& in, const std::string& shown, int line) {
    in.warn(line, quoted(shown) +
                      " is not a section marker and is ignored (markers are matched exactly: "
                      "[car], [event])");
  }
  int loneBracketLine_ = 0;  // line of a "[" just read by the scan, else 0
};

}  // namespace

bool readEventText(const std::string& name, const std::string& text, EventScript& script,
                   CarChoice& car, std::string& error, InputLog* log) {
  TokenReader in(name, text, log);
  bool haveCar = false;
  int eventNumber = 0;
  SectionScan scan{"[car]", "[event]"};
  SectionRepeats carSections;
  NearMisses nearMisses;
  std::string token;
  while (in.next(token)) {
    scan.saw(token, in.line());
    nearMisses.saw(in, token, in.line());
    if (token == "[car]") {
      carSections.saw(in, token, in.line());
      std::string baseName;
      float dt = 0.0f;
      in.sectionItems(kCarItems, 2);
      if (!in.item("[car], item 1", kCarItems[0]) || !in.word(baseName)) break;
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
      if (!in.item("[car], item 2", kCarItems[1]) || !in.number(dt)) break;
      if (!(dt > 0.0f)) {
        in.fail("[car], item 2: the time step must be a positive number of seconds, found " +
                shortestText(dt));
        break;
      }
      // The script's clock is a float advanced by dt each step: it must be
      // able to pass the 3 s of the built-in settle, or the run never ends.
      if (float(3.0 + dt) == 3.0f) {
        in.fail("[car], item 2: the time step " + shortestText(dt) +
                " s is too small for the run's clock to advance past 3 s");
        break;
      }
      car.baseName = baseName;
      car.timeStep = dt;
      haveCar = true;
    } else if (token == "[event]") {
      const int markerLine = in.line();
      if (eventNumber == kMaxEvents) {
        in.fail("more than " + std::to_string(kMaxEvents) +
                " events; split the maneuver over several runs");
        break;
      }
      const std::string section = "[event] " + std::to_string(++eventNumber);
      std::string kind;
      if (!in.item(section + ", item 1", kKindItem) || !in.word(kind)) break;
      EventEntry event;
      event.number = eventNumber;
      event.line = markerLine;
      event.keyword = kind;
      const EventKindInfo* info = findEventKind(kind);
      if (!info) {
        // Any other kind adds nothing; its values are skipped by the scan.
        in.warn(in.line(), "unknown event kind " + quoted(kind) + " ignored (known: " +
                               eventKindKeywords() + ")");
        if (log && log->keepItems) log->items.back().note = "an unknown kind: the event is ignored";
        event.ignored = true;
        car.ignoredEvents.push_back(event);
        continue;
      }
      event.kind = info->kind;
      event.valueCount = info->valueCount;
      const std::string labelled = section + " (" + kind + ")";
      int lines[kMaxEventValues];
      if (!readValues(in, labelled, *info, event.values, lines)) break;
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
