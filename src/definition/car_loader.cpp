// Loading a car: the car file, the optional parameter file with the rates and
// positions derived from it, then the tire file.
//
// Derivation from the parameter file (m the scaled chassis mass, f the front
// weight fraction, L the wheelbase, w = 6.2831854 * ride frequency):
//   masses and inertias      * massScale
//   mount x                  L (1 - f) front, -L f rear
//   mount y                  -track / 2 left, +track / 2 right
//   drag, downforce factors  * aeroScale
//   spring rate              k = w^2 0.5 m f          (rear: 1 - f for f)
//   damper rate              2 zeta sqrt(m 0.5 f k)   (rear: 1 - f for f)
// Each corner carries half its axle's share of the chassis mass as a single
// mass on its spring, with the given natural frequency and damping ratio.
#include <sys/stat.h>

#include <cerrno>
#include <iterator>
#include <string>
#include <vector>

#include "definition/car_file.h"
#include "definition/token_reader.h"
#include "dynamics/vehicle.h"

namespace vdsim {

namespace {

constexpr const char* kTireFile = "Goodyear2692x7.pkj";
constexpr double kTwoPi = 6.2831854;

// The items of each section, in file order: the field each one sets, its
// unit, and the key word the example files write before it.
constexpr ItemInfo kChassisItems[] = {
    {"inertia", "kg m^2", "inertia"},
    {"mass", "kg", "mass"},
    {"dragFactor", "kg/m", "drag"},
    {"downforceFactor", "kg/m", "downforce"},
    {"antiRollRateFront", "N/m", "antiRollFront"},
    {"antiRollRateRear", "N/m", "antiRollRear"},
    {"chassisReserved", "-", "reserved"},
};
constexpr ItemInfo kPowertrainItems[] = {
    {"torqueOrder", "-", "torqueOrder"},
    {"torqueCoefficients", "N m", nullptr},
    {"maxEngineSpeed", "rpm", "maxEngineSpeed"},
    {"shiftDownEngineSpeed", "rpm", "shiftDownSpeed"},
    {"gearCount", "-", "gears"},
    {"gearRatio", "-", nullptr},
};
constexpr ItemInfo kCornerItems[] = {
    {"wheelInertia", "kg m^2", "wheelInertia"},
    {"mountPosition", "m", "mount"},
    {"unloadedRadius", "m", "radius"},
    {"unsprungMass", "kg", "unsprungMass"},
    {"wheelMass", "kg", "wheelMass"},
    {"springRate", "N/m", "spring"},
    {"damperRate", "N s/m", "damper"},
    {"tireSpringRate", "N/m", "tireSpring"},
    {"tireDamperRate", "N s/m", "tireDamper"},
    {"wheelReserved", "-", "reserved"},
    {"brakeTorqueGain", "N m", "brakeGain"},
};
constexpr ItemInfo kParamsItems[] = {
    {"massScale", "-", "massScale"},
    {"wheelbase", "m", "wheelbase"},
    {"frontWeightFraction", "-", "frontWeightFraction"},
    {"frontTrack", "m", "frontTrack"},
    {"rearTrack", "m", "rearTrack"},
    {"torqueScale", "-", "torqueScale"},
    {"aeroScale", "-", "aeroScale"},
    {"frontRideFrequency", "Hz", "frontRideFrequency"},
    {"frontDampingRatio", "-", "frontDampingRatio"},
    {"rearRideFrequency", "Hz", "rearRideFrequency"},
    {"rearDampingRatio", "-", "rearDampingRatio"},
};

// Label of item n of a section, for messages: "[corner] 3, item 6".
std::string itemLabel(const std::string& section, int item) {
  return section + ", item " + std::to_string(item);
}

// Item n (from 1) of a section whose items are described by items: a key
// and one number.
bool readKeyedNumber(TokenReader& in, const std::string& section, const ItemInfo* items, int n,
                     float& value) {
  return in.item(itemLabel(section, n), items[n - 1]) && in.number(value);
}

// A key followed by one integer ("%i": 010 is eight, 0x10 sixteen).
bool readKeyedInteger(TokenReader& in, const std::string& section, const ItemInfo* items, int n,
                      int& value) {
  return in.item(itemLabel(section, n), items[n - 1]) && in.integer(value);
}

// A key followed by three numbers.
bool readKeyedTriple(TokenReader& in, const std::string& section, const ItemInfo* items, int n,
                     float v[3]) {
  return in.item(itemLabel(section, n), items[n - 1], 3) && in.number(v[0]) &&
         in.number(v[1]) && in.number(v[2]);
}

// count bare numbers into values, which is allocated here.
bool readList(TokenReader& in, const std::string& section, const ItemInfo* items, int n,
              int count, std::vector<float>& values) {
  values.assign(count, 0.0f);
  if (!in.item(itemLabel(section, n), items[n - 1], count)) return false;
  for (int k = 0; k < count; ++k) {
    if (!in.number(values[k])) return false;
  }
  return true;
}

// "[car]": inertia, mass, drag and downforce factors, anti-roll rates, reserved.
bool readChassis(TokenReader& in, Vehicle& car) {
  const std::string s = "[car]";
  const ItemInfo* items = kChassisItems;
  in.sectionItems(items, std::size(kChassisItems));
  float inertia[3];
  if (!readKeyedTriple(in, s, items, 1, inertia)) return false;
  car.inertia = diagonal(inertia[0], inertia[1], inertia[2]);
  return readKeyedNumber(in, s, items, 2, car.mass) &&
         readKeyedNumber(in, s, items, 3, car.dragFactor) &&
         readKeyedNumber(in, s, items, 4, car.downforceFactor) &&
         readKeyedNumber(in, s, items, 5, car.antiRollRateFront) &&
         readKeyedNumber(in, s, items, 6, car.antiRollRateRear) &&
         readKeyedInteger(in, s, items, 7, car.chassisReserved);
}

// "[powertrain]": torque polynomial, engine speed limits, gear ratios. The
// counts are checked before their arrays are allocated.
bool readPowertrain(TokenReader& in, Vehicle& car) {
  const std::string s = "[powertrain]";
  const ItemInfo* items = kPowertrainItems;
  in.sectionItems(items, std::size(kPowertrainItems));
  int order = 0;
  if (!readKeyedInteger(in, s, items, 1, order)) return false;
  if (order < 0 || order > kMaxTorqueOrder) {
    return in.fail(itemLabel(s, 1) + ": the torque order must be from 0 to " +
                   std::to_string(kMaxTorqueOrder) + ", found " + std::to_string(order));
  }
  car.torqueOrder = order;
  if (!readList(in, s, items, 2, order + 1, car.torqueCoefficients)) return false;
  if (!readKeyedNumber(in, s, items, 3, car.maxEngineSpeed)) return false;
  if (!readKeyedNumber(in, s, items, 4, car.shiftDownEngineSpeed)) return false;
  int gears = 0;
  if (!readKeyedInteger(in, s, items, 5, gears)) return false;
  if (gears < 1 || gears > kMaxGearCount) {
    return in.fail(itemLabel(s, 5) + ": the gear count must be from 1 to " +
                   std::to_string(kMaxGearCount) + ", found " + std::to_string(gears));
  }
  car.gearCount = gears;
  return readList(in, s, items, 6, gears, car.gearRatio);
}

// "[corner]" number p (0-based): wheel inertia, mount, radius, masses,
// suspension and tire rates, reserved, brake gain. Named 1..4 in messages.
bool readCorner(TokenReader& in, int p, Vehicle& car) {
  const std::string s = "[corner] " + std::to_string(p + 1);
  const ItemInfo* items = kCornerItems;
  in.sectionItems(items, std::size(kCornerItems));
  Suspension& suspension = car.suspension[p];
  Wheel& wheel = car.wheel[p];
  float inertia[3];
  if (!readKeyedTriple(in, s, items, 1, inertia)) return false;
  wheel.wheelInertia = diagonal(inertia[0], inertia[1], inertia[2]);
  float mount[3];
  if (!readKeyedTriple(in, s, items, 2, mount)) return false;
  suspension.mountPosition.set(mount[0], mount[1], mount[2]);
  return readKeyedNumber(in, s, items, 3, wheel.unloadedRadius) &&
         readKeyedNumber(in, s, items, 4, suspension.unsprungMass) &&
         readKeyedNumber(in, s, items, 5, wheel.wheelMass) &&
         readKeyedNumber(in, s, items, 6, suspension.springRate) &&
         readKeyedNumber(in, s, items, 7, suspension.damperRate) &&
         readKeyedNumber(in, s, items, 8, wheel.tireSpringRate) &&
         readKeyedNumber(in, s, items, 9, wheel.tireDamperRate) &&
         readKeyedInteger(in, s, items, 10, wheel.wheelReserved) &&
         readKeyedNumber(in, s, items, 11, suspension.brakeTorqueGain);
}

// True when nothing exists at path: a missing parameter file is allowed.
bool isMissing(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

// float(value * scale), the scaling of one mass or inertia.
float scaled(float value, float scale) { return float(double(value) * scale); }

void scaleDiagonal(Mat3& m, float scale) {
  for (int i = 0; i < 3; ++i) m[i][i] = scaled(m[i][i], scale);
}

}  // namespace

bool readCarText(Vehicle& car, const std::string& name, const std::string& text,
                 std::string& error, InputLog* log) {
  TokenReader in(name, text, log);
  bool haveChassis = false;
  bool havePowertrain = false;
  int corners = 0;
  SectionScan scan{"[car]", "[powertrain]", "[corner]"};
  SectionRepeats chassisSections, powertrainSections;
  std::string token;
  while (in.next(token)) {
    scan.saw(token, in.line());
    if (token == "[car]") {
      chassisSections.saw(in, token, in.line());
      if (!readChassis(in, car)) break;
      haveChassis = true;
    } else if (token == "[powertrain]") {
      powertrainSections.saw(in, token, in.line());
      if (!readPowertrain(in, car)) break;
      havePowertrain = true;
    } else if (token == "[corner]") {
      if (corners == kCornerCount) {
        in.fail(
            "[corner] 5: a car has four corners (LF, RF, LR, RR); a fifth [corner] "
            "section is not allowed");
        break;
      }
      if (!readCorner(in, corners, car)) break;
      ++corners;
    }
  }
  if (!in.failed()) {
    // Named at the end of the file, where the reader gave up.
    if (!haveChassis) {
      in.fail("no [car] section (chassis inertia, mass, aerodynamics, anti-roll bars)" +
              scan.whereItGaveUp());
    } else if (!havePowertrain) {
      in.fail("no [powertrain] section (torque curve, engine speeds, gear ratios)" +
              scan.whereItGaveUp());
    } else if (corners < kCornerCount) {
      in.fail(std::to_string(corners) + " [corner] section" + (corners == 1 ? "" : "s") +
              " (a car needs four, one per corner: LF, RF, LR, RR)" + scan.whereItGaveUp());
    }
  }
  if (in.failed()) {
    error = in.error();
    return false;
  }
  return true;
}

bool readParamsText(CarParams& params, const std::string& name, const std::string& text,
                    std::string& error, InputLog* log) {
  float* const items[] = {
      &params.massScale,         &params.wheelbase,          &params.frontWeightFraction,
      &params.frontTrack,        &params.rearTrack,          &params.torqueScale,
      &params.aeroScale,         &params.frontRideFrequency, &params.frontDampingRatio,
      &params.rearRideFrequency, &params.rearDampingRatio,
  };
  TokenReader in(name, text, log);
  bool haveParams = false;
  SectionScan scan{"[params]"};
  SectionRepeats sections;
  std::string token;
  while (in.next(token)) {
    scan.saw(token, in.line());
    if (token != "[params]") continue;
    sections.saw(in, token, in.line());
    in.sectionItems(kParamsItems, std::size(kParamsItems));
    int item = 0;
    for (float* value : items) {
      if (!readKeyedNumber(in, "[params]", kParamsItems, ++item, *value)) break;
    }
    if (in.failed()) break;
    haveParams = true;
  }
  if (!in.failed() && !haveParams) {
    in.fail(
        "no [params] section (mass scale, wheelbase, weight split, tracks, torque and "
        "aero scales, ride frequencies, damping ratios)" + scan.whereItGaveUp());
  }
  if (in.failed()) {
    error = in.error();
    return false;
  }
  return true;
}

void applyParams(Vehicle& car, const CarParams& params) {
  const float massScale = params.massScale;
  const float f = params.frontWeightFraction;

  // Masses first, so that the rates below follow the scaled mass.
  car.mass = scaled(car.mass, massScale);
  scaleDiagonal(car.inertia, massScale);
  for (int p = 0; p < kCornerCount; ++p) {
    car.suspension[p].unsprungMass = scaled(car.suspension[p].unsprungMass, massScale);
    car.wheel[p].wheelMass = scaled(car.wheel[p].wheelMass, massScale);
    scaleDiagonal(car.wheel[p].wheelInertia, massScale);
  }
  const float m = car.mass;

  // Axles about the centre of mass, tracks about the centre line; z as read.
  const float frontX = float(double(params.wheelbase) * (1.0 - f));
  const float rearX = float(-double(params.wheelbase) * f);
  car.suspension[0].mountPosition.x = frontX;
  car.suspension[1].mountPosition.x = frontX;
  car.suspension[2].mountPosition.x = rearX;
  car.suspension[3].mountPosition.x = rearX;
  car.suspension[0].mountPosition.y = float(-double(params.frontTrack) / 2.0);
  car.suspension[1].mountPosition.y = float(double(params.frontTrack) / 2.0);
  car.suspension[2].mountPosition.y = float(-double(params.rearTrack) / 2.0);
  car.suspension[3].mountPosition.y = float(double(params.rearTrack) / 2.0);

  car.dragFactor = float(double(car.dragFactor) * params.aeroScale);
  car.downforceFactor = float(double(car.downforceFactor) * params.aeroScale);

  // Spring rates: half the axle's share of the chassis mass per corner.
  const double frontOmega = kTwoPi * params.frontRideFrequency;
  const double rearOmega = kTwoPi * params.rearRideFrequency;
  const float frontSpring = float(frontOmega * frontOmega * 0.5 * m * f);
  const float rearSpring = float(rearOmega * rearOmega * 0.5 * m * (1.0 - f));
  // Damper rates: the damping ratio times the critical damping 2 sqrt(k m).
  const float frontDamper =
      float(2.0 * params.frontDampingRatio * sqrtf32(float(double(m) * 0.5 * f * frontSpring)));
  const float rearDamper = float(2.0 * params.rearDampingRatio *
                                 sqrtf32(float(double(m) * 0.5 * (1.0 - f) * rearSpring)));
  for (int p = 0; p < kCornerCount; ++p) {
    const bool front = p < 2;
    car.suspension[p].springRate = front ? frontSpring : rearSpring;
    car.suspension[p].damperRate = front ? frontDamper : rearDamper;
  }

  car.torqueScale = params.torqueScale;
}

bool loadCarFiles(Vehicle& car, const std::string& baseName, std::string& error,
                  InputLog* log) {
  const std::string carPath = baseName + ".ini";
  const std::string paramsPath = baseName + ".params";

  std::string text;
  if (!TokenReader::readFile(carPath, text, error)) return false;
  if (log) log->read(carPath, text);
  if (!readCarText(car, carPath, text, error, log)) return false;

  // Without a parameter file the car file's rates and positions stand.
  car.torqueScale = 1.0f;
  if (!isMissing(paramsPath)) {
    CarParams params;
    if (!TokenReader::readFile(paramsPath, text, error)) return false;
    if (log) log->read(paramsPath, text);
    if (!readParamsText(params, paramsPath, text, error, log)) return false;
    applyParams(car, params);
  }

  return car.tire.loadTireFile(kTireFile, error, log);
}

bool Vehicle::loadCar(const std::string& baseName, std::string& error) {
  return loadCarFiles(*this, baseName, error, nullptr);
}

}  // namespace vdsim
