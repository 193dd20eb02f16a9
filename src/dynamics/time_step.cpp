// One time step: assemble, solve, integrate with constant acceleration.
//
//   h = dt * 0.5 * dt
//   x   := (xdot dt + xddot h) + x          (deflection, spin angle, position)
//   xdot := xddot dt + xdot
//   q   := (qdot dt + qddot h) + q,  qdot = 1/2 q (0, w) + c q,  c = 1 - |q|^2
#include <algorithm>

#include "dynamics/vehicle.h"
#include "numerics/linear_solver.h"

namespace vdsim {

void Vehicle::step() {
  assembleSystem();
  solveSystem();
  integrate();
}

void Vehicle::assembleSystem() {
  updateKinematics();
  zeroSystem();
  updatePowertrain();
  computeCornerForces(cornerCount);
  updateAntiRoll();
  assembleChassisRows(cornerCount);
  assembleUnsprungRows(cornerCount);
  assembleWheelRows(cornerCount);
  assembleConstraintRows(cornerCount);
}

void Vehicle::zeroSystem() {
  for (int r = 0; r < unknownCount; ++r) std::fill(systemMatrix[r], systemMatrix[r] + unknownCount + 1, 0.0f);
}

void Vehicle::solveSystem() {
  // A singular system leaves the solution untouched: integrate with zeros.
  std::fill(solution.begin(), solution.end(), 0.0f);
  solveLinearSystem(systemMatrix.data(), unknownCount, solution.data());
}

void Vehicle::integrate() {
  integrateCorners(cornerCount);
  integrateChassis();
  updateMountLoads(cornerCount);
}

}  // namespace vdsim
