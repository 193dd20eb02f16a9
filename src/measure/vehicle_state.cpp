#include "measure/vehicle_state.h"

#include <cmath>

#include "dynamics/vehicle.h"

namespace vdsim {

AttitudeAngles anglesOf(const Quat& q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double r00 = w * w + x * x - y * y - z * z;
  const double r10 = 2.0 * (x * y + w * z);
  const double r20 = 2.0 * (x * z - w * y);
  const double r21 = 2.0 * (y * z + w * x);
  const double r22 = w * w - x * x - y * y + z * z;
  const double sinPitch = std::fmax(-1.0, std::fmin(1.0, -r20));
  AttitudeAngles angles;
  angles.yaw = std::atan2(r10, r00);
  angles.pitch = std::asin(sinPitch);
  angles.roll = std::atan2(r21, r22);
  return angles;
}

Vec3 bodyVelocity(const Vehicle& car) { return rotateToBody(car.velocity, car.attitude); }

double sideslipOf(const Vec3& v) { return std::atan2(double(v.y), double(v.x)); }

MeasuredState measureState(const Vehicle& car, float runTime) {
  MeasuredState s;
  s.time = runTime;
  s.x = car.position.x;
  s.y = car.position.y;
  s.speed = length(car.velocity);
  s.longAccel = car.acceleration.x;
  s.latAccel = car.acceleration.y;
  s.yawRate = car.angularVelocity.z;
  s.roadWheelAngle =
      float(0.5 * (double(car.suspension[0].steerAngle) + car.suspension[1].steerAngle));
  s.attitude = car.attitude;
  return s;
}

}  // namespace vdsim
