#include "output/extended_recorder.h"

#include <cerrno>
#include <cmath>

#include "driver/event_file.h"
#include "driver/event_script.h"
#include "dynamics/vehicle.h"
#include "measure/vehicle_state.h"

namespace vdsim {

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

ExtendedRecorder::ExtendedRecorder(const Vehicle& vehicle, const EventScript& script,
                                   int samplesPerRow)
    : vehicle_(vehicle), script_(script), samplesPerRow_(samplesPerRow) {
  const Vehicle& v = vehicle;
  // The averaged channels, in column order after the sampled ones.
  means_ = {
      {&v.steer, "Steer Input (-)", 0.0f},
      {&v.suspension[0].steerAngle, "Steer Angle LF (rad)", 0.0f},
      {&v.suspension[1].steerAngle, "Steer Angle RF (rad)", 0.0f},
      {&v.pedal, "Pedal (-)", 0.0f},
      {&bodyVelocity_.x, "Velocity X (m/s)", 0.0f},
      {&bodyVelocity_.y, "Velocity Y (m/s)", 0.0f},
      {&sideslip_, "Sideslip (rad)", 0.0f},
      {&v.angularVelocity.z, "Yaw Rate (rad/s)", 0.0f},
      {&v.angularVelocity.x, "Roll Rate (rad/s)", 0.0f},
      {&v.angularVelocity.y, "Pitch Rate (rad/s)", 0.0f},
  };
  static const char* const kSlipRatio[] = {"Slip Ratio LF (-)", "Slip Ratio RF (-)",
                                           "Slip Ratio LR (-)", "Slip Ratio RR (-)"};
  static const char* const kSlipAngle[] = {"Slip Angle LF (rad)", "Slip Angle RF (rad)",
                                           "Slip Angle LR (rad)", "Slip Angle RR (rad)"};
  static const char* const kSpin[] = {"Wheel Spin LF (rad/s)", "Wheel Spin RF (rad/s)",
                                      "Wheel Spin LR (rad/s)", "Wheel Spin RR (rad/s)"};
  static const char* const kForceX[] = {"Tire Force X LF (N)", "Tire Force X RF (N)",
                                        "Tire Force X LR (N)", "Tire Force X RR (N)"};
  static const char* const kForceY[] = {"Tire Force Y LF (N)", "Tire Force Y RF (N)",
                                        "Tire Force Y LR (N)", "Tire Force Y RR (N)"};
  for (int p = 0; p < kCornerCount; ++p) means_.push_back({&v.wheel[p].slipRatio, kSlipRatio[p], 0.0f});
  for (int p = 0; p < kCornerCount; ++p) means_.push_back({&v.wheel[p].slipAngle, kSlipAngle[p], 0.0f});
  for (int p = 0; p < kCornerCount; ++p) means_.push_back({&v.wheel[p].spinRate, kSpin[p], 0.0f});
  for (int p = 0; p < kCornerCount; ++p) {
    means_.push_back({&v.wheel[p].tireLongitudinalForce, kForceX[p], 0.0f});
  }
  for (int p = 0; p < kCornerCount; ++p) {
    means_.push_back({&v.wheel[p].tireLateralForce, kForceY[p], 0.0f});
  }
  means_.push_back({&v.driveTorque, "Drive Torque (N m)", 0.0f});
}

std::vector<std::string> ExtendedRecorder::header() const {
  std::vector<std::string> cells = {"Time (s)", "Event (-)", "Gear (-)"};
  // The sampled pose, then the means; the steering and pedal means first.
  for (int i = 0; i < 4; ++i) cells.push_back(means_[i].name);
  for (const char* name : {"Position X (m)", "Position Y (m)", "Heading (rad)", "Roll (rad)",
                           "Pitch (rad)"}) {
    cells.push_back(name);
  }
  for (std::size_t i = 4; i < means_.size(); ++i) cells.push_back(means_[i].name);
  return cells;
}

bool ExtendedRecorder::open(std::FILE* stream) {
  file_ = stream;
  std::string line;
  for (const std::string& cell : header()) line += (line.empty() ? "" : ",") + cell;
  line += "\n";
  if (std::fputs(line.c_str(), file_) < 0 && writeError == 0) writeError = errno ? errno : EIO;
  return !failed();
}

void ExtendedRecorder::updateAttitudeChannels() {
  // Heading: the yaw angle made continuous step by step.
  const double yaw = anglesOf(vehicle_.attitude).yaw;
  if (!headingStarted_) {
    heading_ = yaw;
    headingStarted_ = true;
  } else {
    double turn = yaw - lastYaw_;
    if (turn > kPi) turn -= 2.0 * kPi;
    if (turn < -kPi) turn += 2.0 * kPi;
    heading_ += turn;
  }
  lastYaw_ = yaw;
  // The velocity in body axes of the attitude after the step (the model's
  // own velocityBody is rotated with the attitude from before it).
  bodyVelocity_ = bodyVelocity(vehicle_);
  sideslip_ = float(sideslipOf(bodyVelocity_));
}

void ExtendedRecorder::numberEvents(const std::vector<EventEntry>& fileEvents) {
  eventNumbers_.clear();
  for (const EventEntry& e : fileEvents) eventNumbers_.push_back(e.number);
}

void ExtendedRecorder::sample() {
  updateAttitudeChannels();
  // Slot 0 starts a row's sums; while the first event is current it is
  // overwritten, as the channel recorder overwrites its slot 0.
  if (sampleIndex_ == 0) {
    for (Mean& m : means_) m.sum = float(0.0 + double(*m.source));
  } else {
    for (Mean& m : means_) m.sum = float(double(m.sum) + *m.source);
  }
  if (sampleIndex_ == samplesPerRow_ - 1) {
    writeRow();
    sampleIndex_ = 0;
  } else if (script_.currentEvent > 0) {
    ++sampleIndex_;
  }
}

void ExtendedRecorder::writeRow() {
  const Vehicle& v = vehicle_;
  // Event of the file: script events 0 and 1 are the built-in settle and launch.
  const uint32_t index = script_.currentEvent;
  int event = index >= 2 ? int(index) - 1 : 0;
  if (index >= 2 && index - 2 < eventNumbers_.size()) event = eventNumbers_[index - 2];
  const AttitudeAngles angles = anglesOf(v.attitude);
  bool bad = std::fprintf(file_, "%f,%d,%d", double(script_.runTime), event, v.gear + 1) < 0;
  auto cell = [&](double value) { bad |= std::fprintf(file_, ",%.9g", value) < 0; };
  auto mean = [&](const Mean& m) { cell(double(m.sum) / samplesPerRow_); };
  for (int i = 0; i < 4; ++i) mean(means_[i]);
  cell(v.position.x);
  cell(v.position.y);
  cell(heading_);
  cell(angles.roll);
  cell(angles.pitch);
  for (std::size_t i = 4; i < means_.size(); ++i) mean(means_[i]);
  bad |= std::fputs("\n", file_) < 0;
  if (bad && writeError == 0) writeError = errno ? errno : EIO;
}

bool ExtendedRecorder::close() {
  if (!file_) return !failed();
  if ((std::fflush(file_) != 0 || std::ferror(file_)) && writeError == 0) {
    writeError = errno ? errno : EIO;
  }
  file_ = nullptr;
  return !failed();
}

}  // namespace vdsim
