// The car definition file "<base>.ini" and the parameter file "<base>.params".
//
// Both are streams of whitespace-separated tokens. A section starts at a
// header token matched exactly ("[car]", "[powertrain]", "[corner]",
// "[params]"); its contents are a fixed sequence of items, each a key (any
// token, not needed to read the value, but compared with the item for
// messages and vdsim --check) followed by its value or values, so a section
// is defined by the order of its values. Tokens between sections are skipped.
//
// The car file holds one "[car]", one "[powertrain]" and four "[corner]"
// sections (LF, RF, LR, RR in that order); a repeated "[car]" or
// "[powertrain]" overwrites the earlier one, with a warning. The parameter
// file's "[params]" section gives whole-car figures from which the spring
// and damper rates and the mount positions are derived.
#pragma once

#include <string>

#include "definition/input_log.h"

namespace vdsim {

struct Vehicle;

constexpr int kMaxTorqueOrder = 64;  ///< highest order of the engine torque polynomial
constexpr int kMaxGearCount = 64;    ///< most gear ratios a car may list

// The eleven values of the "[params]" section, in file order.
struct CarParams {
  float massScale = 1.0f;            ///< multiplies every mass and inertia (-)
  float wheelbase = 0.0f;            ///< front to rear axle (m)
  float frontWeightFraction = 0.0f;  ///< share of the chassis mass on the front axle, 0..1 (-)
  float frontTrack = 0.0f;           ///< front track width (m)
  float rearTrack = 0.0f;            ///< rear track width (m)
  float torqueScale = 1.0f;          ///< drive torque multiplier (-)
  float aeroScale = 1.0f;            ///< multiplies the drag and downforce factors (-)
  float frontRideFrequency = 0.0f;   ///< natural frequency of the front springs (Hz)
  float frontDampingRatio = 0.0f;    ///< front damping ratio (-)
  float rearRideFrequency = 0.0f;    ///< natural frequency of the rear springs (Hz)
  float rearDampingRatio = 0.0f;     ///< rear damping ratio (-)
};

// Reads the text of a car file (name for messages) into the Vehicle's chassis,
// powertrain and corner parameters. On bad input (a missing "[car]",
// "[powertrain]" or "[corner]" section, a fifth "[corner]", a value that does
// not convert, a file cut short, a torque order outside 0..64 or a gear count
// outside 1..64) sets error to one "file:line: message" line and returns
// false; the parameters may then be partly filled.
// Warnings (a repeated section) and the items read go to log if there is one.
bool readCarText(Vehicle& car, const std::string& name, const std::string& text,
                 std::string& error, InputLog* log = nullptr);

// Reads the text of a parameter file (name for messages) into params. On bad
// input (no "[params]" section, a value that does not convert, fewer than 11
// values) sets error to one "file:line: message" line and returns false. A
// later "[params]" section replaces an earlier one, with a warning in log.
bool readParamsText(CarParams& params, const std::string& name, const std::string& text,
                    std::string& error, InputLog* log = nullptr);

// Scales the masses and inertias, places the mounts, scales the aerodynamic
// factors, derives the spring and damper rates and sets torqueScale.
void applyParams(Vehicle& car, const CarParams& params);

// Loads the car called baseName into car: its car file, its parameter file
// when there is one, then the tire file, noting in log (if any) the bytes of
// each file as read, warnings and items. On failure sets error to one line
// and returns false. Vehicle::loadCar is this without a log.
bool loadCarFiles(Vehicle& car, const std::string& baseName, std::string& error, InputLog* log);

}  // namespace vdsim
