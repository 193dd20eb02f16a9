// The car between two steps, as the measurements read it.
//
// A time step runs the script's update, which reads the Vehicle as it
// stands and writes the commands, then the Vehicle's step, which integrates
// them. The state an update reads at time t is the one the step before left
// (its acceleration is that step's solve); the step then leaves the state at
// t + dt, which the recorders sample. Times are the run's clock, the
// script's runTime, as the "Time (s)" column shows it.
//
// Attitude angles, from the rotation matrix R of the attitude (body to world):
//   yaw   = atan2(R10, R00)   about world z, positive to the right
//   pitch = asin(-R20)        positive nose up
//   roll  = atan2(R21, R22)   positive right side down
// Sideslip = atan2(vy, vx) of the CoM velocity in body axes, rotated with the
// attitude after the step; positive when the car slides to its right.
#pragma once

#include "numerics/vector_math.h"

namespace vdsim {

struct Vehicle;

// Yaw about world z, then pitch about the new y, then roll about body x.
struct AttitudeAngles {
  double yaw = 0.0;    ///< heading, in (-pi, pi] (rad)
  double pitch = 0.0;  ///< nose up (rad)
  double roll = 0.0;   ///< right side down (rad)
};

// The Euler angles of an attitude; they scale with |q|^2, which the
// integrator keeps near 1.
AttitudeAngles anglesOf(const Quat& q);

// The CoM velocity in body axes, rotated with the attitude as it stands (m/s).
Vec3 bodyVelocity(const Vehicle& car);

// Sideslip angle of the CoM velocity (rad).
double sideslipOf(const Vec3& bodyVelocity);

// What every measurement reads of one state.
struct MeasuredState {
  double time = 0.0;            ///< the run's clock (s)
  float x = 0.0f;               ///< CoM position, world x (m)
  float y = 0.0f;               ///< CoM position, world y (m)
  float speed = 0.0f;           ///< |velocity| (m/s)
  float longAccel = 0.0f;       ///< CoM acceleration of the last solve, body x (m/s^2)
  float latAccel = 0.0f;        ///< the same, body y (m/s^2)
  float yawRate = 0.0f;         ///< angular velocity about body z (rad/s)
  float roadWheelAngle = 0.0f;  ///< mean of the two front steer angles (rad)
  Quat attitude;                ///< body to world
};

// The state of car as it stands, at time runTime.
MeasuredState measureState(const Vehicle& car, float runTime);

}  // namespace vdsim
