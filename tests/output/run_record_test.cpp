// The run record's JSON text: fields, events, escapes, numbers.
#include "output/run_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace vdsim {
namespace {

TEST(RunRecord, WritesEveryFieldInOrder) {
  RunRecord r;
  r.version = "0.1.0";
  r.scenarioDir = "/runs/a \"quoted\" dir\\x\tz\xe9";
  r.car = "Sedan";
  r.timeStep = 0.001f;
  r.inputs = {{"Events.ini", std::string(64, 'a')}, {"Sedan.ini", ""}};
  EventEntry ramp;
  ramp.kind = SteerRamp;
  ramp.number = 1;
  ramp.line = 20;
  ramp.valueCount = 5;
  const float values[5] = {20.0f, 24.5f, 60.0f, -60.0f, 0.1f};
  for (int i = 0; i < 5; ++i) ramp.values[i] = values[i];
  EventEntry brake;
  brake.kind = Brake;
  brake.number = 3;
  brake.line = 30;
  brake.valueCount = 1;
  brake.values[0] = 20.0f;
  EventEntry unknown;
  unknown.number = 2;
  unknown.line = 25;
  unknown.ignored = true;
  unknown.keyword = "Brakes";
  r.events = {ramp, unknown, brake};
  r.exitStatus = 4;
  r.end = "max-time";
  r.message = "stopped";
  r.simulatedTime = 60.0000006;
  r.steps = 60000;
  r.singularSteps = 2;
  r.rows = 570;
  r.wallTime = 0.71234;
  r.outputs = {{"Output.csv", std::string(64, 'b')}};
  EXPECT_EQ(formatRunRecord(r),
            "{\n"
            "  \"vdsim_version\": \"0.1.0\",\n"
            "  \"scenario_dir\": \"/runs/a \\\"quoted\\\" dir\\\\x\\u0009z\\u00e9\",\n"
            "  \"car\": \"Sedan\",\n"
            "  \"time_step_s\": 0.001,\n"
            "  \"inputs\": [\n"
            "    {\"file\": \"Events.ini\", \"sha256\": \"" + std::string(64, 'a') + "\"},\n"
            "    {\"file\": \"Sedan.ini\", \"sha256\": null}\n"
            "  ],\n"
            "  \"events\": [\n"
            "    {\"number\": 1, \"kind\": \"SteerRamp\", \"line\": 20, \"speed\": 20, "
            "\"end_speed\": 24.5, \"start_radius\": 60, \"end_radius\": -60, \"duration\": 0.1},\n"
            "    {\"number\": 2, \"kind\": \"Brakes\", \"line\": 25, \"ignored\": true},\n"
            "    {\"number\": 3, \"kind\": \"Brake\", \"line\": 30, \"speed\": 20}\n"
            "  ],\n"
            "  \"exit_status\": 4,\n"
            "  \"end\": \"max-time\",\n"
            "  \"message\": \"stopped\",\n"
            "  \"simulated_time_s\": 60.0000006,\n"
            "  \"steps\": 60000,\n"
            "  \"singular_steps\": 2,\n"
            "  \"rows\": 570,\n"
            "  \"wall_time_s\": 0.712,\n"
            "  \"outputs\": [\n"
            "    {\"file\": \"Output.csv\", \"sha256\": \"" + std::string(64, 'b') + "\"}\n"
            "  ]\n"
            "}\n");
}

TEST(RunRecord, EmptyListsAndNonFiniteNumbersStayValidJson) {
  RunRecord r;
  r.simulatedTime = std::numeric_limits<double>::quiet_NaN();
  r.timeStep = std::numeric_limits<float>::infinity();
  const std::string json = formatRunRecord(r);
  EXPECT_NE(json.find("\"inputs\": [],"), std::string::npos) << json;
  EXPECT_NE(json.find("\"events\": [],"), std::string::npos) << json;
  EXPECT_NE(json.find("\"simulated_time_s\": null,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"time_step_s\": null,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"outputs\": []\n}"), std::string::npos) << json;
}

// Every number reads back as the value it stands for, whatever its size or
// the digits it needs, and stays a JSON number.
TEST(RunRecord, NumbersReadBackExactly) {
  struct Case {
    float step;
    double time;
  } cases[] = {{1014.79333f, 1e39},          {0.001f, 16.900000801868737},
               {3.4028235e38f, 1.7976931348623157e308}, {1e-45f, 5e-324},
               {-0.0f, 0.0},                {16777217.0f, 123456789.123456789}};
  for (const Case& c : cases) {
    RunRecord r;
    r.timeStep = c.step;
    r.simulatedTime = c.time;
    const std::string json = formatRunRecord(r);
    auto value = [&](const std::string& name) {
      const std::size_t at = json.find("\"" + name + "\": ");
      const std::size_t start = at + name.size() + 4;
      return json.substr(start, json.find(',', start) - start);
    };
    const std::string step = value("time_step_s"), time = value("simulated_time_s");
    EXPECT_EQ(std::strtof(step.c_str(), nullptr), c.step) << step;
    EXPECT_EQ(std::strtod(time.c_str(), nullptr), c.time) << time;
    for (const std::string& number : {step, time}) {
      EXPECT_EQ(number.find_first_not_of("0123456789.e+-"), std::string::npos) << number;
    }
  }
}

}  // namespace
}  // namespace vdsim
