// Corner loads: tire contact with the ground plane z = 0, slip, tire forces,
// and the moments on each wheel (spin damping, rear-axle coupling, drive and
// brakes); then the front steer angles and the aerodynamic loads.
//
//   d      = |G - P| - R0                        penetration (< 0: compressed)
//   alpha  = atan2(vLat, |vLong|)                slip angle
//   kappa += ((-R vspin - vLong) - |vLong| kappa) / 40    relaxed slip ratio
//   Fz     = d k_t - max(v.z, 0) c_t             vertical tire force (world z)
#include <cmath>

#include "dynamics/vehicle.h"

namespace vdsim {

void Vehicle::computeCornerForces(int corners) {
  const float dt = timeStep;
  const Mat3& R = attitudeRotation(attitude);  // the attitude stays as it is here
  for (int p = 0; p < corners; ++p) {
    Suspension& s = suspension[p];
    Wheel& wh = wheel[p];
    const Vec3& r = cornerOffset[p];
    const float delta = s.steerAngle;
    const float spin = wh.spinRate;
    const float R0 = wh.unloadedRadius;

    // Wheel centre and its distance from the ground, less the free radius.
    const Vec3 P = position + rotateToWorld(r, R);
    const Vec3 G(P.x, P.y, 0.0f);
    float d = float(double(length(G - P)) - R0);
    wh.loadedRadius = R0;
    // Wheel-centre velocity in the world.
    Vec3 u = cross(angularVelocity, r);
    u.z = float(double(u.z) + s.suspensionDeflectionRate);
    const Vec3 v = velocity + rotateToWorld(u, R);
    // Look ahead one step: a tire about to touch is put halfway in.
    const Vec3 P1 = P + v * dt;
    const Vec3 G1(P1.x, P1.y, 0.0f);
    const float d1 = float(double(length(G1 - P1)) - R0);
    if (d >= 0.0 && d1 < 0.0) d = float(0.5 * d1);

    wh.tireLongitudinalForce = 0.0f;
    wh.tireLateralForce = 0.0f;
    if (d < 0.0) {
      wh.loadedRadius = float(double(R0) + d);
      wh.contactOffset = rotateToBody(G - position, R) - r;
      // Travel and lateral speed along the wheel's heading.
      const SineCosineOf& steerAngle = steerTrig[p](delta);
      const Vec3 heading = rotateToWorld(Vec3(steerAngle.cos(), steerAngle.sin(), 0.0f), R);
      const Vec3 lateral = rotateToWorld(Vec3(-steerAngle.sin(), steerAngle.cos(), 0.0f), R);
      const float vLong = dot(v, heading);
      const float vLat = dot(v, lateral);
      const float vLongAbs = fabsf32(vLong);
      float alpha = 0.0f;
      if (double(vLat) * vLat + double(vLong) * vLong > 1.0) alpha = atan2f32(vLat, vLongAbs);
      // Slip ratio relaxes towards its fixed point by |vLong| / 40 per step.
      wh.slipRatio = float(double(wh.slipRatio) +
                           ((-double(wh.loadedRadius) * spin - vLong) -
                            double(vLongAbs) * wh.slipRatio) /
                               double(40.0f));
      // Tire spring, and a damper that acts in compression only.
      const float vz = v.z >= 0.0f ? v.z : 0.0f;
      const float Fz = float(double(d) * wh.tireSpringRate - double(vz) * wh.tireDamperRate);
      tireForce[p] = rotateToBody(Vec3(0.0f, 0.0f, Fz), R);
      wh.normalForce = fabsf32(Fz);
      wh.slipAngle = alpha;
      float Fx, Fy;
      tire.computeTireForces(wh.slipRatio, alpha, 0.0f, fabsf32(Fz), Fx, Fy);
      // Along body x and y; the lateral force with its sign reversed.
      tireForce[p].x = float(double(tireForce[p].x) + Fx);
      tireForce[p].y = float(double(tireForce[p].y) - Fy);
      wh.tireLongitudinalForce = Fx;
      wh.tireLateralForce = -Fy;
    }

    // Spin damping.
    wheelTorque[p] = (wheelAxis[p] * spin) * -0.1f;
    // Rear-axle coupling pulls each rear wheel towards the other's speed.
    if (p == 2 || p == 3) {
      const float t = float(double(driveWheelSpeed[0]) - driveWheelSpeed[1]);
      const float m = p == 2 ? float(double(t) * rearAxleCouplingGain)
                             : float(-double(t) * rearAxleCouplingGain);
      wheelTorque[p] += wheelAxis[p] * m;
    }
    // Slip cut: a slipping wheel takes the pedal away for the rest of the step.
    if (slipCutEnabled && std::fabs(double(wh.slipRatio)) > slipCutThreshold) pedal = 0.0f;
    if (pedal < -0.05) {
      // Throttle: half the drive torque on each rear wheel, up to the rev limit.
      if ((p == 2 || p == 3) && !(engineSpeed > maxEngineSpeed))
        wheelTorque[p] += (wheelAxis[p] * driveTorque) * 0.5f;
    } else {
      // Brake: opposes the spin; nothing on a wheel at rest.
      wheelTorque[p] = wheelTorque[p] - ((wheelAxis[p] * sgn(spin)) * pedal) * s.brakeTorqueGain;
    }
  }

  // Front steer: half of the driver's steer input, from the next contact on.
  suspension[0].steerAngle = float(double(steer) * 0.5);
  suspension[1].steerAngle = float(double(steer) * 0.5);
  // Aerodynamic drag and downforce on the chassis.
  const double vx = velocityBody.x;
  chassisForce.x = float(double(chassisForce.x) - double(dragFactor) * 0.5 * vx * vx);
  chassisForce.z = float(double(chassisForce.z) + double(downforceFactor) * 0.5 * vx * vx);
}

}  // namespace vdsim
