// Body and powertrain equations: kinematics, engine, anti-roll bars, and the
// rows of the linear system M u = rhs (column n of M holds rhs).
//
//   chassis    -m a - sum F_p = -F_chassis - (0, 0, sum f_p)
//              -I alpha - sum r_p x F_p - sum T_p
//                  = -S - w x H - (M_arb, 0, 0) + sum wheelTorque_p
//   unsprung   F_p - G_p - m_u c_p = -W_u + (0, 0, f_p - F_arb,p)
//   wheel      G_p - m_w c_p = -F_tire - W_w
//              T_p - J beta_p = -tau - wheelTorque_p - W x H_w
//   joints     c_p follows the chassis in x and y; F_p.z = 0;
//              beta_p.z = alpha.z; T_p . e_p = 0; (alpha - beta_p) x-y part along e_p
//
// with f_p = k x_p + c xdot_p the spring-damper force (+ on the chassis).
#include "dynamics/vehicle.h"

namespace vdsim {

namespace {

// Spring-and-damper force of one corner, + on the chassis along body z (N).
float springDamperForce(const Suspension& s) {
  return float(double(s.springRate) * s.suspensionDeflection +
               double(s.damperRate) * s.suspensionDeflectionRate);
}

// Base column of corner p's unknowns.
int cornerBase(int p) { return 6 + 15 * p; }

// M[row][col] += value, rounded to the stored float.
void addTo(float* row, int col, double value) { row[col] = float(double(row[col]) + value); }

}  // namespace

void Vehicle::updateKinematics() {
  // World down in body axes, and the weights along it.
  const Vec3 g = rotateToBody(Vec3(0.0f, 0.0f, 1.0f), attitudeRotation(attitude));
  chassisForce = (g * mass) * gravity;
  for (int p = 0; p < cornerCount; ++p) {
    const Suspension& s = suspension[p];
    const SineCosineOf& steerAngle = steerTrig[p](s.steerAngle);
    wheelAxis[p] = Vec3(-steerAngle.sin(), steerAngle.cos(), 0.0f);
    cornerOffset[p] = s.mountPosition;
    cornerOffset[p].z = float(double(cornerOffset[p].z) + s.suspensionDeflection);
    cornerRelVelocity[p] = Vec3(0.0f, 0.0f, s.suspensionDeflectionRate);
    tireForce[p].set(0.0f, 0.0f, 0.0f);
    wheelTorque[p].set(0.0f, 0.0f, 0.0f);
    wheelWeight[p] = (g * wheel[p].wheelMass) * gravity;
    unsprungWeight[p] = (g * s.unsprungMass) * gravity;
  }
}

void Vehicle::updatePowertrain() {
  // The engine turns rigidly with the mean of the rear wheels.
  driveWheelSpeed[0] = -wheel[2].spinRate;
  driveWheelSpeed[1] = -wheel[3].spinRate;
  meanDriveWheelSpeed = float((double(driveWheelSpeed[0]) + driveWheelSpeed[1]) / 2.0);
  const float ratio = gearRatio[gear];
  engineAngularSpeed = float(double(meanDriveWheelSpeed) * ratio);
  engineSpeed = float(double(engineAngularSpeed) * 60.0 / 6.2831854);
  // Torque curve: sum of c_i (rpm / 1000)^(N - i), highest power first.
  driveTorque = 0.0f;
  for (int i = 0; i <= torqueOrder; ++i) {
    float t = 1.0f;
    for (int k = 0; k < torqueOrder - i; ++k) t = float(double(engineSpeed) / 1000.0 * t);
    driveTorque = float(double(driveTorque) + double(t) * torqueCoefficients[i]);
  }
  driveTorque = float(double(driveTorque) * pedal);
  driveTorque = float(double(driveTorque) * ratio);
  driveTorque = float(double(driveTorque) * torqueScale);
}

void Vehicle::updateAntiRoll() {
  // Each bar pushes its two unsprung masses apart by rate * (left - right).
  const float dF = float(double(suspension[0].suspensionDeflection) - suspension[1].suspensionDeflection);
  const float dR = float(double(suspension[2].suspensionDeflection) - suspension[3].suspensionDeflection);
  antiRollForce[0] = float(-double(dF) * antiRollRateFront);
  antiRollForce[1] = float(double(dF) * antiRollRateFront);
  antiRollForce[2] = float(-double(dR) * antiRollRateRear);
  antiRollForce[3] = float(double(dR) * antiRollRateRear);
  antiRollMomentFront = float(2.0 * antiRollForce[0]);
  antiRollMomentRear = float(2.0 * antiRollForce[2]);
}

void Vehicle::assembleChassisRows(int corners) {
  float** M = systemMatrix.data();
  const int n = unknownCount;
  const Vec3& w = angularVelocity;

  // Translation: -m a - sum F_p = -F_chassis - (0, 0, sum f_p).
  M[0][n] = -chassisForce.x;
  M[1][n] = -chassisForce.y;
  M[2][n] = -chassisForce.z;
  M[0][0] = -mass;
  M[1][1] = -mass;
  M[2][2] = -mass;
  Vec3 S;  // moment of the spring-damper forces about the CoM
  for (int p = 0; p < corners; ++p) {
    const int b = cornerBase(p);
    const float f = springDamperForce(suspension[p]);
    M[0][b] = -1.0f;
    M[1][b + 1] = -1.0f;
    M[2][b + 2] = -1.0f;
    addTo(M[2], n, -double(f));
    S = S + cross(cornerOffset[p], Vec3(0.0f, 0.0f, f));
  }

  // Rotation: -I alpha - sum r_p x F_p - sum T_p = -S - w x H - M_arb + sum wheelTorque.
  const Mat3& I = inertia;
  const Vec3 H(float(double(I[0][0]) * w.x), float(double(I[1][1]) * w.y),
               float(double(I[2][2]) * w.z));
  for (int j = 0; j < 3; ++j) {
    M[3 + j][3] = -I[j][0];
    M[3 + j][4] = -I[j][1];
    M[3 + j][5] = -I[j][2];
  }
  M[3][n] = float(-double(S.x) - double(H.z) * w.y + double(H.y) * w.z - antiRollMomentFront -
                  antiRollMomentRear);
  M[4][n] = float(-double(S.y) - double(H.x) * w.z + double(H.z) * w.x);
  M[5][n] = float(-double(S.z) - double(H.y) * w.x + double(H.x) * w.y);
  for (int p = 0; p < corners; ++p) {
    const int b = cornerBase(p);
    const Vec3& r = cornerOffset[p];
    M[3][b + 2] = -r.y;
    M[3][b + 1] = r.z;
    M[3][b + 9] = -1.0f;
    addTo(M[3], n, wheelTorque[p].x);
    M[4][b + 0] = -r.z;
    M[4][b + 2] = r.x;
    M[4][b + 10] = -1.0f;
    addTo(M[4], n, wheelTorque[p].y);
    M[5][b + 1] = -r.x;
    M[5][b + 0] = r.y;
    M[5][b + 11] = -1.0f;
    addTo(M[5], n, wheelTorque[p].z);
  }
}

void Vehicle::assembleUnsprungRows(int corners) {
  float** M = systemMatrix.data();
  const int n = unknownCount;
  // F_p - G_p - m_u c_p = -W_u + (0, 0, f_p - F_arb).
  for (int p = 0; p < corners; ++p) {
    const int b = cornerBase(p);
    const float mu = suspension[p].unsprungMass;
    for (int j = 0; j < 3; ++j) {
      float* row = M[6 + 3 * p + j];
      row[b + 6 + j] = -1.0f;
      row[b + j] = 1.0f;
      row[b + 3 + j] = -mu;
    }
    const Vec3& W = unsprungWeight[p];
    M[6 + 3 * p][n] = -W.x;
    M[7 + 3 * p][n] = -W.y;
    M[8 + 3 * p][n] = float(-double(W.z) + springDamperForce(suspension[p]) - antiRollForce[p]);
  }
}

void Vehicle::assembleWheelRows(int corners) {
  float** M = systemMatrix.data();
  const int n = unknownCount;
  const int a = corners;
  for (int p = 0; p < corners; ++p) {
    const int b = cornerBase(p);
    const int R = 3 * a + 6 + 6 * p;
    const Wheel& wh = wheel[p];
    // Translation: G_p - m_w c_p = -F_tire - W_w.
    const float tire[3] = {tireForce[p].x, tireForce[p].y, tireForce[p].z};
    const float weight[3] = {wheelWeight[p].x, wheelWeight[p].y, wheelWeight[p].z};
    for (int j = 0; j < 3; ++j) {
      M[R + j][b + 6 + j] = 1.0f;
      M[R + j][b + 3 + j] = -wh.wheelMass;
      M[R + j][n] = float(-double(tire[j]) - weight[j]);
    }
    // Moment of the tire force about the wheel centre.
    const Vec3 tau = cross(wh.contactOffset, tireForce[p]);
    // Wheel inertia turned by the steer angle about z.
    const SineCosineOf& steerAngle = steerTrig[p](suspension[p].steerAngle);
    const float c = steerAngle.cos();
    const float s = steerAngle.sin();
    const Mat3& I = wh.wheelInertia;
    const float Jxx = float(double(c) * c * I[0][0] + double(s) * s * I[1][1]);
    const float Jc = float(-double(c) * s * I[0][0] + double(c) * s * I[1][1]);
    const float Jyy = float(double(s) * s * I[0][0] + double(c) * c * I[1][1]);
    const float Jzz = I[2][2];
    // Wheel angular velocity and momentum (spin axis of the last step).
    const Vec3 W = suspension[p].spinAxis * wh.spinRate + angularVelocity;
    const Vec3 H(float(double(Jxx) * W.x - double(Jc) * W.y),
                 float(-double(Jc) * W.x + double(Jyy) * W.y), float(double(Jzz) * W.z));
    const Vec3& T = wheelTorque[p];
    // Rotation: T_p - J beta_p = -tau - wheelTorque - W x H.
    M[R + 3][b + 9] = 1.0f;
    M[R + 3][b + 12] = -Jxx;
    M[R + 3][b + 13] = -Jc;
    M[R + 3][n] = float(-double(tau.x) - T.x - double(W.y) * H.z + double(W.z) * H.y);
    M[R + 4][b + 10] = 1.0f;
    M[R + 4][b + 12] = -Jc;
    M[R + 4][b + 13] = -Jyy;
    M[R + 4][n] = float(-double(tau.y) - T.y - double(W.z) * H.x + double(W.x) * H.z);
    M[R + 5][b + 11] = 1.0f;
    M[R + 5][b + 14] = -Jzz;
    M[R + 5][n] = float(-double(tau.z) - T.z - double(W.x) * H.y + double(W.y) * H.x);
  }
}

void Vehicle::assembleConstraintRows(int corners) {
  float** M = systemMatrix.data();
  const int n = unknownCount;
  const int a = corners;
  const Vec3& w = angularVelocity;
  for (int p = 0; p < corners; ++p) {
    const int b = cornerBase(p);
    const int Q = 9 * a + 6 + 6 * p;
    const Vec3& r = cornerOffset[p];
    const Vec3& e = wheelAxis[p];
    // Centripetal and Coriolis terms of the wheel centre.
    const Vec3 P = cross(w, cross(w, r));
    const Vec3 C = cross(w, cornerRelVelocity[p]) * 2.0f;
    // Corner x, y acceleration follows the chassis: a + alpha x r + P + C.
    M[Q][b + 3] = -1.0f;
    M[Q][0] = 1.0f;
    M[Q][4] = r.z;
    M[Q][5] = -r.y;
    M[Q][n] = float(-double(P.x) - C.x);
    M[Q + 1][b + 4] = -1.0f;
    M[Q + 1][1] = 1.0f;
    M[Q + 1][5] = r.x;
    M[Q + 1][3] = -r.z;
    M[Q + 1][n] = float(-double(P.y) - C.y);
    // The mount force has no z component.
    M[Q + 2][b + 2] = 1.0f;
    // Wheel and chassis share the z angular acceleration.
    M[Q + 3][5] = -1.0f;
    M[Q + 3][b + 14] = 1.0f;
    // The mount moment has no component along the spin axis.
    M[Q + 4][b + 9] = e.x;
    M[Q + 4][b + 10] = e.y;
    M[Q + 4][n] = 0.0f;
    // No relative angular acceleration across the spin axis in the x-y plane.
    M[Q + 5][3] = e.y;
    M[Q + 5][b + 12] = -e.y;
    M[Q + 5][4] = -e.x;
    M[Q + 5][b + 13] = e.x;
  }
}

}  // namespace vdsim
