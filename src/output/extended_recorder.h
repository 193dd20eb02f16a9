// The extended channels: "Data/Extended.csv", written beside Output.csv with
// `vdsim --extended`.
//
// One row per row of Output.csv, from the same steps: a row is written at
// the same sample, and its means are float sums in step order divided by the
// sample count in double, as Output.csv's are. Plain CSV (no trailing comma);
// the time cell is printed as Output.csv prints it, integers as "%d", every
// other cell "%.9g" (enough to give back the float).
//
// Sampled at the row's last step: event number, gear, position, heading,
// roll, pitch. Means over the row's steps: everything else. The body-axes
// velocity and the sideslip use the attitude after each step.
//
// Axes: world x, y horizontal, z down; body x forward, y right, z down. A
// positive heading, yaw rate, steer angle or lateral acceleration is a turn
// to the right.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "numerics/vector_math.h"

namespace vdsim {

struct Vehicle;
class EventScript;
struct EventEntry;

class ExtendedRecorder {
 public:
  ExtendedRecorder(const Vehicle& vehicle, const EventScript& script, int samplesPerRow);
  ExtendedRecorder(const ExtendedRecorder&) = delete;
  ExtendedRecorder& operator=(const ExtendedRecorder&) = delete;

  // Numbers the script's events from the file's events (script events 2, 3,
  // ... in order) by their "[event]" section; without it they count from 1.
  void numberEvents(const std::vector<EventEntry>& fileEvents);

  // Writes the header to stream, which stays the caller's; false if it fails.
  bool open(std::FILE* stream);
  // Called after every step, as the channel recorder's sample().
  void sample();
  // Flushes the stream and stops writing to it; false if any write failed.
  bool close();
  bool failed() const { return writeError != 0; }

  // The header cells, in column order.
  std::vector<std::string> header() const;

  int writeError = 0;  ///< errno of the first failed write, 0 while all succeed

 private:
  struct Mean {
    const float* source;  // the live value
    const char* name;     // header cell
    float sum;            // float running sum over the row's samples
  };

  void updateAttitudeChannels();
  void writeRow();

  std::FILE* file_ = nullptr;
  const Vehicle& vehicle_;
  const EventScript& script_;
  int32_t samplesPerRow_;
  int32_t sampleIndex_ = 0;
  std::vector<Mean> means_;
  std::vector<int> eventNumbers_;  // "[event]" section of script event 2, 3, ...

  Vec3 bodyVelocity_;         // CoM velocity in body axes after this step (m/s)
  float sideslip_ = 0.0f;     // atan2(vy, vx) of that velocity (rad)
  double heading_ = 0.0;      // yaw angle, unwrapped (rad)
  double lastYaw_ = 0.0;      // yaw angle of the last step, in (-pi, pi] (rad)
  bool headingStarted_ = false;
};

}  // namespace vdsim
