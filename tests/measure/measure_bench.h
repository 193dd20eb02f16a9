// A test bench for the measurements: the real script runs its laws on a car
// without dynamics, whose state after each step the test writes from known
// signals, and a ManeuverMeter measures it as a run would.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "driver/event_file.h"
#include "driver/event_kinds.h"
#include "driver/event_script.h"
#include "dynamics/vehicle.h"
#include "measure/maneuver_meter.h"

namespace vdsim {
namespace measuretest {

// A step of 1/1024 s keeps the float clocks exact for the whole run.
constexpr float kDt = 1.0f / 1024.0f;
constexpr double kPi = 3.14159265358979323846;
constexpr double kG = 9.80665;

struct Bench {
  Vehicle car;
  EventScript script{car};
  std::vector<EventEntry> entries;
  std::unique_ptr<ManeuverMeter> meter;

  Bench() {
    car.initialize();
    car.setTimeStep(kDt);
    script.events[0]->done = true;  // no settle, no launch
    script.events[1]->done = true;
  }

  // Appends an event of the file, numbered from 1.
  void add(EventKind kind, std::vector<float> values) {
    values.resize(kMaxEventValues);
    addEventToScript(script, kind, values.data());
    EventEntry entry;
    entry.kind = kind;
    entry.number = int(entries.size()) + 1;
    entries.push_back(entry);
  }

  // The time of the state the script's latest update read, and of the state
  // its step leaves: the run's clock before and after the step.
  double now() const { return script.runTime; }

  // Runs the script until it ends or after maxSteps steps. After each
  // update, step(time) writes the state the step leaves at the given time;
  // the front wheels turn by half the steer written, as the corner
  // equations turn them.
  void run(const std::function<void(double)>& step, int maxSteps = 1 << 24) {
    meter = std::make_unique<ManeuverMeter>(car, script, entries);
    meter->start();
    for (int i = 0; i < maxSteps && script.update(); ++i) {
      car.suspension[0].steerAngle = car.suspension[1].steerAngle = float(double(car.steer) * 0.5);
      step(now());
      meter->sample();
    }
    meter->finish();
  }

  // The metric key of event number (from 1); NaN when it has none.
  double metric(int number, const char* key) const {
    const Metric* m = meter->results()[number - 1].find(key);
    EXPECT_NE(m, nullptr) << key;
    return m ? m->value : 0.0;
  }
  const char* reason(int number, const char* key) const {
    const Metric* m = meter->results()[number - 1].find(key);
    return m && m->reason ? m->reason : "";
  }
};

}  // namespace measuretest
}  // namespace vdsim
