// Fuzz target: arbitrary bytes as a car file and a parameter file, through
// the same readers and derivation that Vehicle::loadCar uses.
//
// The input is the car file's text, optionally followed by a 0x01 byte and
// the parameter file's text. Without the separator only the car file is read,
// as when a car has no parameter file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "definition/car_file.h"
#include "dynamics/vehicle.h"
#include "fuzz_checks.h"

using namespace vdsim;

namespace {

constexpr char kSeparator = '\x01';

void checkCar(const Vehicle& car) {
  // The arrays match the counts, which stay within their bounds.
  if (car.torqueOrder < 0 || car.torqueOrder > kMaxTorqueOrder ||
      car.torqueCoefficients.size() != std::size_t(car.torqueOrder) + 1) {
    fuzz::fault("torque order and coefficients disagree", std::to_string(car.torqueOrder));
  }
  if (car.gearCount < 1 || car.gearCount > kMaxGearCount ||
      car.gearRatio.size() != std::size_t(car.gearCount)) {
    fuzz::fault("gear count and ratios disagree", std::to_string(car.gearCount));
  }
  for (float c : car.torqueCoefficients) fuzz::checkFinite(c, "torque coefficient");
  for (float r : car.gearRatio) fuzz::checkFinite(r, "gear ratio");
  fuzz::checkFinite(car.mass, "mass");
  fuzz::checkFinite(car.maxEngineSpeed, "max engine speed");
  for (int p = 0; p < kCornerCount; ++p) {
    fuzz::checkFinite(car.suspension[p].springRate, "spring rate");
    fuzz::checkFinite(car.suspension[p].mountPosition.z, "mount z");
    fuzz::checkFinite(car.wheel[p].unloadedRadius, "radius");
    fuzz::checkFinite(car.wheel[p].wheelInertia[1][1], "wheel inertia");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* at = std::memchr(bytes, kSeparator, size);
  const std::size_t carSize = at ? std::size_t(static_cast<const char*>(at) - bytes) : size;
  const std::string carText(bytes, carSize);

  Vehicle car;
  std::string error;
  InputLog log;
  log.keepItems = true;  // the --check path too
  const bool accepted = readCarText(car, "Car.ini", carText, error, &log);
  fuzz::checkLog("Car.ini", log);
  if (!accepted) {
    fuzz::checkError("Car.ini", error);
    return 0;
  }
  checkCar(car);
  if (!at) return 0;

  const std::string paramsText(bytes + carSize + 1, size - carSize - 1);
  CarParams params;
  InputLog paramsLog;
  paramsLog.keepItems = true;
  const bool paramsAccepted = readParamsText(params, "Car.params", paramsText, error, &paramsLog);
  fuzz::checkLog("Car.params", paramsLog);
  if (!paramsAccepted) {
    fuzz::checkError("Car.params", error);
    return 0;
  }
  for (float value : {params.massScale, params.wheelbase, params.frontWeightFraction,
                      params.frontTrack, params.rearTrack, params.torqueScale, params.aeroScale,
                      params.frontRideFrequency, params.frontDampingRatio,
                      params.rearRideFrequency, params.rearDampingRatio}) {
    fuzz::checkFinite(value, "parameter");
  }
  // The derivation itself accepts any finite figures (an overflow to infinity
  // is caught later, by the run's divergence check).
  applyParams(car, params);
  if (car.torqueScale != params.torqueScale) fuzz::fault("torqueScale not set", "");
  return 0;
}
