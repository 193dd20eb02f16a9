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
  // The rows lie in order in one block (setUpSystem): one fill clears them
  // and the padding between them.
  if (unknownCount > 0) std::fill(systemMatrix.front(), systemMatrix.back() + unknownCount + 1, 0.0f);
  systemCleared_ = true;
}

void Vehicle::solveSystem() {
  // A singular system leaves the solution untouched: integrate with zeros.
  std::fill(solution.begin(), solution.end(), 0.0f);
  float** rows = systemMatrix.data();
  if (literalSolver) {
    solveStatus = solveLinearSystemReference(rows, unknownCount, solution.data());
  } else if (systemCleared_) {
    // +0 wherever the assembly does not write: the plan checks the rest.
    solveStatus = solveLinearSystem(rows, unknownCount, solution.data(), solvePlan);
  } else {
    // Solved before and not assembled since: the stateless solver.
    solveStatus = solveLinearSystem(rows, unknownCount, solution.data());
  }
  systemCleared_ = false;
}

void Vehicle::integrate() {
  integrateCorners(cornerCount);
  integrateChassis();
  updateMountLoads(cornerCount);
}

}  // namespace vdsim

namespace vdsim {

void Vehicle::integrateCorners(int corners) {
  const float dt = timeStep;
  const float h = float(double(dt) * 0.5 * dt);
  const float* u = solution.data();
  const Vec3 a(u[0], u[1], u[2]);
  const Vec3 alpha(u[3], u[4], u[5]);
  const Vec3& w = angularVelocity;
  for (int p = 0; p < corners; ++p) {
    const int b = 6 + 15 * p;
    Suspension& s = suspension[p];
    Wheel& wh = wheel[p];
    // Wheel-centre acceleration relative to the chassis, body axes.
    const Vec3 c(u[b + 3], u[b + 4], u[b + 5]);
    const Vec3& r = cornerOffset[p];
    const Vec3 rel = (((c - a) - cross(alpha, r)) - cross(w, cross(w, r))) -
                     cross(w, cornerRelVelocity[p]) * 2.0f;
    // Deflection along body z: position with the old rate, then the rate.
    s.suspensionDeflection = float((double(s.suspensionDeflectionRate) * dt + double(rel.z) * h) +
                                   s.suspensionDeflection);
    s.suspensionDeflectionAccel = rel.z;
    s.suspensionDeflectionRate =
        float(double(s.suspensionDeflectionAccel) * dt + s.suspensionDeflectionRate);
    // Spin relative to the chassis about the wheel axis.
    const Vec3 beta(float(double(u[b + 12]) - u[3]), float(double(u[b + 13]) - u[4]),
                    float(double(u[b + 14]) - u[5]));
    const float spinAccel = dot(beta, wheelAxis[p]);
    wh.spinAngle = float((double(wh.spinRate) * dt + double(spinAccel) * h) + wh.spinAngle);
    if (wh.spinAngle > 3.1415927) wh.spinAngle = float(wh.spinAngle + -6.2831854);
    if (wh.spinAngle < -3.1415927) wh.spinAngle = float(wh.spinAngle + 6.2831854);
    const SineCosineOf& steerAngle = steerTrig[p](s.steerAngle);
    s.spinAxis = Vec3(-steerAngle.sin(), steerAngle.cos(), 0.0f);
    wh.spinAccel = spinAccel;
    wh.spinRate = float(double(wh.spinAccel) * dt + wh.spinRate);
  }
}

namespace {

// dq/dt for body rates w: 1/2 q (0, w) plus c q, which pulls q to unit length.
Quat quatRate(const Quat& q, const Vec3& w, float c) {
  return {float(-0.5 * (double(q.x) * w.x + double(q.y) * w.y + double(q.z) * w.z) + double(c) * q.w),
          float(0.5 * (double(q.w) * w.x + double(q.y) * w.z - double(q.z) * w.y) + double(c) * q.x),
          float(0.5 * (double(q.w) * w.y + double(q.z) * w.x - double(q.x) * w.z) + double(c) * q.y),
          float(0.5 * (double(q.w) * w.z + double(q.x) * w.y - double(q.y) * w.x) + double(c) * q.z)};
}

}  // namespace

void Vehicle::integrateChassis() {
  const float dt = timeStep;
  const float h = float(double(dt) * 0.5 * dt);
  const float* u = solution.data();
  const Quat q = attitude;
  const Mat3& R = attitudeRotation(q);
  acceleration = Vec3(u[0], u[1], u[2]);
  accelWorld = rotateToWorld(acceleration, R);
  position = position + (velocity * dt + accelWorld * h);
  velocity = velocity + accelWorld * dt;
  velocityBody = rotateToBody(velocity, R);
  angularAccel = Vec3(u[3], u[4], u[5]);
  // Attitude, second order, from the old q.
  const float c = float(1.0 - (double(q.w) * q.w + (double(q.x) * q.x + double(q.y) * q.y +
                                                    double(q.z) * q.z)));
  const Quat qd = quatRate(q, angularVelocity, c);
  const Quat qdd = quatRate(q, angularAccel, c);
  attitude.w = float((double(qd.w) * dt + double(qdd.w) * h) + q.w);
  attitude.x = float((double(qd.x) * dt + double(qdd.x) * h) + q.x);
  attitude.y = float((double(qd.y) * dt + double(qdd.y) * h) + q.y);
  attitude.z = float((double(qd.z) * dt + double(qdd.z) * h) + q.z);
  angularVelocity = angularVelocity + angularAccel * dt;
  groundSpeed = length(velocity);
}

void Vehicle::updateMountLoads(int corners) {
  const float* u = solution.data();
  for (int p = 0; p < corners; ++p) {
    const int b = 6 + 15 * p;
    suspension[p].mountForce = length(Vec3(u[b], u[b + 1], u[b + 2]));
    suspension[p].hubForceMagnitude = length(Vec3(u[b + 6], u[b + 7], u[b + 8]));
  }
}

}  // namespace vdsim
