#include "driver/event_file.h"

#include <gtest/gtest.h>

#include "driver/event_script.h"
#include "dynamics/vehicle.h"

namespace vdsim {
namespace {

struct Scan {
  Vehicle vehicle;
  EventScript script{vehicle};
  CarChoice car;
  InputLog log;
  std::string error;
  bool ok = false;
  explicit Scan(const std::string& text) {
    ok = readEventText("Events.ini", text, script, car, error, &log);
  }
};

TEST(EventFile, ReadsCarAndEventsInOrderBehindTheBuiltIns) {
  Scan s(
      "free text [car] name   MyCar\n dt 0.001\n"
      "[event] kind SteerRamp v 20 v2 25\n r1 100 r2 50 t 10\n"
      "[event] kind Brake v 15\n"
      "[event] kind TargetSpeed v 30 hold 2\n");
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(s.car.baseName, "MyCar");
  EXPECT_EQ(s.car.timeStep, 0.001f);
  ASSERT_EQ(s.script.eventCount, 5u);
  const Event& ramp = *s.script.events[2];
  EXPECT_EQ(ramp.kind, SteerRamp);
  EXPECT_EQ(ramp.speed, 20.0f);
  EXPECT_EQ(ramp.endSpeed, 25.0f);
  EXPECT_EQ(ramp.startRadius, 100.0f);
  EXPECT_EQ(ramp.endRadius, 50.0f);
  EXPECT_EQ(ramp.duration, 10.0f);
  EXPECT_EQ(s.script.events[3]->kind, Brake);
  EXPECT_EQ(s.script.events[3]->speed, 15.0f);
  EXPECT_EQ(s.script.events[4]->duration, 2.0f);
}

TEST(EventFile, KeepsEachEventWithItsMarkerLineForMessagesAndTheRunRecord) {
  Scan s(
      "[car] n Car dt 0.001\n"
      "[event] kind Drift v 1\n"
      "\n[event]\n kind SteerRamp v 20 v2 25\n r1 100 r2 -50 t 10\n"
      "[event] kind Brake v 15\n");
  ASSERT_TRUE(s.ok) << s.error;
  ASSERT_EQ(s.car.events.size(), 2u);  // an unknown kind is not an event
  ASSERT_EQ(s.car.ignoredEvents.size(), 1u);  // but keeps its number
  EXPECT_EQ(s.car.ignoredEvents[0].number, 1);
  EXPECT_EQ(s.car.ignoredEvents[0].keyword, "Drift");
  EXPECT_EQ(s.car.ignoredEvents[0].line, 2);
  const EventEntry& ramp = s.car.events[0];
  EXPECT_EQ(ramp.kind, SteerRamp);
  EXPECT_EQ(ramp.number, 2);
  EXPECT_EQ(s.car.events[1].number, 3);
  EXPECT_EQ(ramp.line, 4);
  ASSERT_EQ(ramp.valueCount, 5);
  EXPECT_EQ(ramp.values[3], -50.0f);
  EXPECT_EQ(s.car.events[1].line, 7);
  EXPECT_STREQ(eventKindName(s.car.events[1].kind), "Brake");
}

TEST(EventFile, AcceptsWhatMayBeIntended) {
  // A turn the other way, a ramp through a straight, a speed just above the
  // never-reachable -0.5 m/s: all may finish.
  Scan s(
      "[car] n Car dt 0.001\n"
      "[event] k SteerRamp v 20 v2 20 r1 -60 r2 60 t 5\n"
      "[event] k TargetSpeed v -0.49 t 1\n");
  EXPECT_TRUE(s.ok) << s.error;
}

TEST(EventFile, MarkersAreExactAndOnlyCountWhereTheScanReads) {
  // "[Event]" is free text; "[event]" read as a key opens nothing; an
  // unknown kind adds nothing and its values are skipped by the scan.
  Scan s(
      "[Event] kind Brake v 3\n"
      "[car] [event] Car dt 0.01\n"
      "[event] kind Drift v 1\n");
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(s.car.baseName, "Car");
  EXPECT_EQ(s.script.eventCount, 2u);
}

TEST(EventFile, LaterCarWinsWithAWarning) {
  Scan s("[car] n First dt 0.01\n[car] n Second dt 0.002\n\n[car] n Third dt 0.003");
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(s.car.baseName, "Third");
  EXPECT_EQ(s.car.timeStep, 0.003f);
  EXPECT_EQ(s.log.warnings,
            (std::vector<std::string>{
                "Events.ini:2: a second [car] section replaces the one at line 1",
                "Events.ini:4: another [car] section replaces the one at line 2"}));
}

// What is read but ignored is worth a warning each: an event of an unknown
// kind, and a token of the scan that looks like a misspelled marker.
TEST(EventFile, WarnsOfUnknownKindsAndMisspelledMarkersOnly) {
  const std::string car = "[car] n Car dt 0.01\n";
  const std::string known = " ignored (known: " + eventKindKeywords() + ")";
  const std::string notMarker =
      " is not a section marker and is ignored (markers are matched exactly: [car], [event])";
  struct Case {
    std::string text;
    std::vector<std::string> warnings;
  } cases[] = {
      {"[event]\n kind Brakes v 1", {"Events.ini:3: unknown event kind \"Brakes\"" + known}},
      {"[event] kind brake v 1", {"Events.ini:2: unknown event kind \"brake\"" + known}},
      {"[Event] kind Brake v 1", {"Events.ini:2: \"[Event]\"" + notMarker}},
      {"x\n[events] kind Brake v 1", {"Events.ini:3: \"[events]\"" + notMarker}},
      {"[ event] kind Brake v 1", {"Events.ini:2: \"event]\"" + notMarker}},
      {"[\nevent ] kind Brake v 1", {"Events.ini:2: \"[ event\"" + notMarker}},
      {"[ CARS ]", {"Events.ini:2: \"[ CARS\"" + notMarker}},
      {"[Car", {"Events.ini:2: \"[Car\"" + notMarker}},
      {"(ev_ent) [CAR_S]", {"Events.ini:2: \"[CAR_S]\"" + notMarker}},
      // Read as a key or value, or spelled otherwise: not a marker at all.
      {"[event] [Event] Brake v 1", {}},
      {"[eventual] [x] event cars [ [event] k Brake v 1", {}},
      {"[ x event [\xc3\xa9vent]", {}},
  };
  for (const Case& c : cases) {
    Scan s(car + c.text);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.log.warnings, c.warnings) << c.text;
  }
  // The events that are run keep their order; the ignored one its number.
  Scan s(car + "[event] kind Brake v 1\n[event] kind Brakes v 1\n[event] kind Brake v 2\n");
  EXPECT_EQ(s.car.events.size(), 2u);
  EXPECT_EQ(s.car.ignoredEvents.at(0).number, 2);
  EXPECT_EQ(s.car.events.at(1).number, 3);
}

TEST(EventFile, HoldsAtMostAHundredThousandEvents) {
  std::string text = "[car] n Car dt 0.01\n";
  for (int i = 0; i < kMaxEvents; ++i) text += i % 2 ? "[event] k Brake v 1\n" : "[event] k X\n";
  Scan most(text);
  EXPECT_TRUE(most.ok) << most.error;
  EXPECT_EQ(most.car.events.size() + most.car.ignoredEvents.size(), std::size_t(kMaxEvents));
  Scan more(text + "\n[event] k X\n");
  EXPECT_FALSE(more.ok);
  EXPECT_EQ(more.error, "Events.ini:" + std::to_string(kMaxEvents + 3) +
                            ": more than 100000 events; split the maneuver over several runs");
}

TEST(EventFile, BadInputNamesFileLineAndItem) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"[event] k Brake v 3\n", "Events.ini:1: no [car] section: the car base name and time step are missing; the last section read is [event] at line 1"},
      {"\n[Car] n Car dt 1\n", "Events.ini:2: no [car] section: the car base name and time step are missing; line 2 has \"[Car]\"; section markers are matched exactly (lower case, no blanks)"},
      {"[car] n Car dt 0.001\n[event] k TargetSpeed v -0.5 d 1\n", "Events.ini:2: [event] 1 (TargetSpeed), item 2: a speed of -0.5 m/s can never be reached, so the event would never end (the car's speed is never negative)"},
      {"[car] n Car dt 0.001\n[event] k SteerRamp\n v -5 e 1 r 10 r 10 t 1\n", "Events.ini:3: [event] 1 (SteerRamp), item 2: a speed of -5 m/s can never be reached, so the event would never end (the car's speed is never negative)"},
      {"[car] n Car dt 0.001\n[event] k SteerRamp v 5 e 1\n r -0\n r 10 t 1\n", "Events.ini:3: [event] 1 (SteerRamp), item 4: a start radius of 0 m can never be reached, so the event would never end (a positive radius turns right, a negative one left)"},
      {"[car] n Car\n dt fast\n", "Events.ini:2: [car], item 2: expected a number for timeStep, found \"fast\""},
      {"[car] n Car dt 0.001\n[event] k SteerRamp a 1 b 2\n", "Events.ini:2: [event] 1 (SteerRamp), item 4: file ends before this value"},
      {"[car] n Car dt 0.001 [event] k Brake\n\nv x1\n", "Events.ini:3: [event] 1 (Brake), item 2: expected a number for speed, found \"x1\""},
      {"[car] n Car dt 0\n", "Events.ini:1: [car], item 2: the time step must be a positive number of seconds, found 0"},
      {"[car] n Car dt 1e-9\n", "Events.ini:1: [car], item 2: the time step 1e-09 s is too small for the run's clock to advance past 3 s"},
      {"[car] n Car dt 0.001\n[event] kind SteerRamp speed 15 endSpeed 23 startRadius 100\nduration 10\n# Out\n", "Events.ini:4: [event] 1 (SteerRamp), item 6: expected a number for duration, found \"Out\" (line 3 has the key \"duration\" where endRadius was expected: is a line missing above it?)"},
      {"[car] n Car dt nan\n", "Events.ini:1: [car], item 2: expected a finite number for timeStep, found \"nan\""},
  };
  for (const Case& c : cases) {
    Scan s(c.text);
    EXPECT_FALSE(s.ok) << c.text;
    EXPECT_EQ(s.error, c.error);
  }
  Scan longName("[car] n " + std::string(57, 'a') + " dt 0.01");
  EXPECT_EQ(longName.error, "Events.ini:1: [car], item 1: car base name longer than 56 characters");
  Scan longToken("[car] n Car dt 0.01 " + std::string(64, 'x'));
  EXPECT_EQ(longToken.error,
            "Events.ini:1: token longer than 63 characters: \"xxxxxxxxxxxxxxxxxxxxxxxx\"...");
}

}  // namespace
}  // namespace vdsim
