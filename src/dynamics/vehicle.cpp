// Vehicle set-up: the start state and the linear system's storage.
#include "dynamics/vehicle.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vdsim {

void Vehicle::initialize() {
  for (int p = 0; p < kCornerCount; ++p) wheel[p].loadedRadius = wheel[p].unloadedRadius;
  for (int p = 0; p < kCornerCount; ++p) suspension[p].spinAxis.set(0.0f, -1.0f, 0.0f);
  angularVelocity.set(0.0f, 0.0f, 0.0f);
  for (int p = 0; p < kCornerCount; ++p) {
    Suspension& s = suspension[p];
    s.suspensionDeflectionAccel = 0.0f;
    s.suspensionDeflectionRate = 0.0f;
    s.suspensionDeflection = 0.0f;
    s.steerAngle = 0.0f;
    Wheel& w = wheel[p];
    w.spinAccel = 0.0f;
    w.spinRate = 0.0f;
    w.spinAngle = 0.0f;
  }
  // The chassis starts 2 m above the ground plane (world z points down).
  position.set(100.0f, 100.0f, -2.0f);
  velocity.set(0.0f, 0.0f, 0.0f);
  velocityBody.set(0.0f, 0.0f, 0.0f);
  attitude = fromRotationVector(Vec3(0.0f, 0.0f, 0.0f));
  gear = 0;
  for (float& f : antiRollForce) f = 0.0f;
  antiRollMomentFront = 0.0f;
  antiRollMomentRear = 0.0f;
  slipCutEnabled = true;
  rearAxleCouplingGain = 0.2f;
  slipCutThreshold = 0.2f;
  gravity = 9.81f;
  pedal = 0.0f;
  steer = 0.0f;
}

void Vehicle::setUpSystem(int corners) {
  cornerCount = corners;
  unknownCount = 15 * corners + 6;
  // Rows live in one zeroed block, each padded to a multiple of 8 floats and
  // aligned to 32 bytes so that the solver can work on whole vectors.
  const std::size_t stride = (std::size_t(unknownCount) + 1 + 7) / 8 * 8;
  systemStorage_.reset(new float[stride * unknownCount + 8]());
  auto base = reinterpret_cast<std::uintptr_t>(systemStorage_.get());
  float* first = systemStorage_.get() + ((32 - base % 32) % 32) / sizeof(float);
  systemMatrix.assign(unknownCount, nullptr);
  for (int r = 0; r < unknownCount; ++r) systemMatrix[r] = first + stride * r;
  solution.assign(unknownCount, 0.0f);
  findWrittenElements();
  solvePlan = EliminationPlan(unknownCount);
  solvePlan.narrowInputCheck(writtenElements);
}

void Vehicle::findWrittenElements() {
  // The row assembly writes the same elements at every step, whatever the
  // state: run it on the system filled with a filler and see which elements
  // it changed. With two fillers (signalling NaNs, which arithmetic never
  // makes), an element written with one filler's bits still differs from
  // the other.
  const int n = unknownCount;
  const std::uint32_t fillers[2] = {0x7fa00001u, 0xffb00002u};
  std::vector<bool> written(std::size_t(n) * (n + 1), false);
  for (const std::uint32_t filler : fillers) {
    float value;
    std::memcpy(&value, &filler, sizeof value);
    std::fill(systemMatrix.front(), systemMatrix.back() + n + 1, value);
    assembleChassisRows(cornerCount);
    assembleUnsprungRows(cornerCount);
    assembleWheelRows(cornerCount);
    assembleConstraintRows(cornerCount);
    for (int r = 0; r < n; ++r) {
      for (int k = 0; k <= n; ++k) {
        std::uint32_t bits;
        std::memcpy(&bits, &systemMatrix[r][k], sizeof bits);
        if (bits != filler) written[std::size_t(r) * (n + 1) + k] = true;
      }
    }
  }
  writtenElements.clear();
  for (int r = 0; r < n; ++r) {
    for (int k = 0; k <= n; ++k) {
      if (written[std::size_t(r) * (n + 1) + k]) writtenElements.push_back({r, k});
    }
  }
  zeroSystem();
}

bool Vehicle::stateIsFinite() const {
  auto finite = [](const Vec3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
  };
  if (!finite(position) || !finite(velocity) || !finite(angularVelocity)) return false;
  if (!std::isfinite(attitude.w) || !std::isfinite(attitude.x) || !std::isfinite(attitude.y) ||
      !std::isfinite(attitude.z))
    return false;
  for (int p = 0; p < kCornerCount; ++p) {
    const Suspension& s = suspension[p];
    const Wheel& w = wheel[p];
    if (!std::isfinite(s.suspensionDeflection) || !std::isfinite(s.suspensionDeflectionRate) ||
        !std::isfinite(w.spinRate) || !std::isfinite(w.spinAngle) || !std::isfinite(w.slipRatio))
      return false;
  }
  return true;
}

}  // namespace vdsim
