// The Vehicle: the one record of the simulated car.
//
// It holds the loaded parameters (car and parameter files, tire record), the
// whole dynamic state (chassis with quaternion attitude, four corners each an
// unsprung mass sliding along body z with a spinning wheel), the per-step work
// vectors, and the dense linear system whose solution gives every
// acceleration and joint load of one step.
//
// Corners: 0 left front, 1 right front, 2 left rear, 3 right rear. 0 and 1
// are steered, 2 and 3 driven. Axes: body x forward, y right, z down; world z
// down with the ground plane z = 0. Units SI; engine speed alone in rpm.
//
// Unknowns of the system (b = 6 + 15 p for corner p):
//   0..2 chassis acceleration, 3..5 chassis angular acceleration (body axes),
//   b+0..2 mount force, b+3..5 corner acceleration, b+6..8 hub force,
//   b+9..11 mount moment, b+12..14 wheel angular acceleration.
// Rows: 0..5 chassis, 6+3p.. unsprung masses, 3a+6+6p.. wheels,
//   9a+6+6p.. joint constraints (a = corner count).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "definition/tire_coefficients.h"
#include "numerics/elimination_plan.h"
#include "numerics/vector_math.h"

namespace vdsim {

constexpr int kCornerCount = 4;  ///< corners of every car

// One corner's suspension: the unsprung mass on its spring and damper.
struct Suspension {
  float springRate = 0.0f;       ///< spring rate (N/m)
  float damperRate = 0.0f;       ///< damping coefficient (N s/m)
  float unsprungMass = 0.0f;     ///< unsprung mass (kg)
  float brakeTorqueGain = 0.0f;  ///< brake torque at full brake pedal (N m)
  Vec3 mountPosition;            ///< wheel-centre mount at zero deflection, from the CoM (m, body)

  float suspensionDeflectionAccel = 0.0f;  ///< deflection acceleration (m/s^2)
  float suspensionDeflectionRate = 0.0f;   ///< deflection rate (m/s)
  float suspensionDeflection = 0.0f;       ///< deflection along body z, + down (m)
  float steerAngle = 0.0f;                 ///< steer angle about body z (rad)
  Vec3 spinAxis;                           ///< wheel spin axis at the end of the last step (body)
  float mountForce = 0.0f;                 ///< magnitude of the mount force unknowns (N)
  float hubForceMagnitude = 0.0f;          ///< magnitude of the hub force unknowns (N)
};

// One corner's wheel and tire.
struct Wheel {
  float tireSpringRate = 0.0f;  ///< tire vertical stiffness (N/m)
  float tireDamperRate = 0.0f;  ///< tire vertical damping (N s/m)
  int wheelReserved = 0;        ///< read from the car file, otherwise unused
  float unloadedRadius = 0.0f;  ///< tire radius without load (m)
  float loadedRadius = 0.0f;    ///< current tire radius (m)
  float wheelMass = 0.0f;       ///< wheel mass (kg)
  Mat3 wheelInertia;            ///< diagonal inertia, [1][1] about the spin axis (kg m^2)

  float spinAccel = 0.0f;    ///< spin acceleration (rad/s^2)
  float spinRate = 0.0f;     ///< spin rate, negative rolling forward (rad/s)
  float spinAngle = 0.0f;    ///< spin angle, wrapped to about [-pi, pi] (rad)
  float normalForce = 0.0f;  ///< tire normal force of the last step in contact (N)
  float slipRatio = 0.0f;    ///< relaxed longitudinal slip ratio, carried between steps (-)
  float slipAngle = 0.0f;    ///< slip angle of the last step in contact (rad)
  Vec3 contactOffset;        ///< wheel centre to ground point, last contact (m, body)
  float tireLongitudinalForce = 0.0f;  ///< tire model's force along body x this step, 0 off the ground (N)
  float tireLateralForce = 0.0f;       ///< tire model's force along body y this step, 0 off the ground (N)
};

struct Vehicle {
  // --- Chassis parameters (car file, scaled by the parameter file) ---
  int chassisReserved = 0;        ///< read from the car file, otherwise unused
  float downforceFactor = 0.0f;   ///< downforce 0.5 * factor * vx^2 along body +z (kg/m)
  float dragFactor = 0.0f;        ///< drag 0.5 * factor * vx^2 against body x (kg/m)
  Mat3 inertia;                   ///< chassis inertia about the CoM, diagonal (kg m^2)
  float mass = 0.0f;              ///< chassis (sprung) mass (kg)
  float antiRollRateFront = 0.0f; ///< front bar rate per m of left-right deflection (N/m)
  float antiRollRateRear = 0.0f;  ///< rear bar rate (N/m)

  // --- Powertrain parameters ---
  int torqueOrder = 0;                    ///< order N of the torque polynomial
  std::vector<float> torqueCoefficients;  ///< N+1 coefficients in rpm/1000, highest power first (N m)
  float maxEngineSpeed = 0.0f;            ///< no drive torque above it (rpm)
  float shiftDownEngineSpeed = 0.0f;      ///< down-shift below 0.75 of it (rpm)
  int gearCount = 0;                      ///< number of gear ratios M
  std::vector<float> gearRatio;           ///< engine to driven-wheel speed ratio per gear (-)
  float torqueScale = 0.0f;               ///< drive torque multiplier (-)

  // --- Corners ---
  Suspension suspension[kCornerCount];
  Wheel wheel[kCornerCount];
  TireCoefficients tire;  ///< shared by the four corners

  // --- Chassis state ---
  Vec3 position;          ///< CoM position (m, world)
  Vec3 velocity;          ///< CoM velocity (m/s, world)
  Vec3 velocityBody;      ///< CoM velocity (m/s, body), refreshed each step
  Vec3 acceleration;      ///< CoM acceleration of the last solve (m/s^2, body)
  Vec3 accelWorld;        ///< the same in world axes (m/s^2)
  Vec3 angularVelocity;   ///< chassis angular velocity (rad/s, body)
  Vec3 angularAccel;      ///< chassis angular acceleration of the last solve (rad/s^2, body)
  Quat attitude;          ///< body to world rotation
  float groundSpeed = 0.0f;  ///< |velocity| (m/s)
  float gravity = 0.0f;      ///< gravitational acceleration (m/s^2)
  float timeStep = 0.0f;     ///< integration step dt (s)

  // --- Powertrain and anti-roll state ---
  int gear = 0;                        ///< 0-based index into gearRatio
  float driveWheelSpeed[2] = {};       ///< negated spin rates of wheels 2 and 3 (rad/s)
  float meanDriveWheelSpeed = 0.0f;    ///< mean of driveWheelSpeed (rad/s)
  float engineAngularSpeed = 0.0f;     ///< engine speed (rad/s)
  float engineSpeed = 0.0f;            ///< engine speed (rpm)
  float driveTorque = 0.0f;            ///< drive moment for the rear axle (N m)
  float antiRollForce[kCornerCount] = {};  ///< bar force on each unsprung mass (N)
  float antiRollMomentFront = 0.0f;    ///< front bar roll moment on the chassis (N m)
  float antiRollMomentRear = 0.0f;     ///< rear bar roll moment on the chassis (N m)

  // --- Driver inputs, written by the script before every step ---
  float pedal = 0.0f;  ///< -1..1: below -0.05 throttle, otherwise brake (-)
  float steer = 0.0f;  ///< -0.5..0.5: the front wheels turn by half of it (rad)

  // --- Corner-force settings ---
  float rearAxleCouplingGain = 0.0f;  ///< pull of each rear wheel towards the other (N m s/rad)
  float slipCutThreshold = 0.0f;      ///< |slip ratio| above which the pedal is cut (-)
  bool slipCutEnabled = false;        ///< slip cut on

  // --- Per-step work vectors (body axes) ---
  Vec3 cornerOffset[kCornerCount];       ///< wheel centre from the CoM (m)
  Vec3 cornerRelVelocity[kCornerCount];  ///< wheel-centre velocity relative to the chassis (m/s)
  Vec3 wheelAxis[kCornerCount];          ///< spin axis at the start of the step
  Vec3 tireForce[kCornerCount];          ///< tire force on the wheel (N)
  Vec3 wheelWeight[kCornerCount];        ///< wheel weight (N)
  Vec3 unsprungWeight[kCornerCount];     ///< unsprung weight (N)
  Vec3 chassisForce;                     ///< chassis weight plus aerodynamic loads (N)
  Vec3 wheelTorque[kCornerCount];        ///< applied wheel moment, reacting on the chassis (N m)

  // --- Linear system ---
  int cornerCount = 0;   ///< number of corners, 4
  int unknownCount = 0;  ///< 15 * cornerCount + 6
  std::vector<float*> systemMatrix;  ///< row pointers; row r has unknownCount + 1 floats
  std::vector<float> solution;       ///< this step's unknowns
  std::vector<MatrixPosition> writtenElements;  ///< elements the assembly writes; the rest stay +0
  EliminationPlan solvePlan;         ///< elimination plan kept from step to step, verified every solve
  bool literalSolver = false;        ///< solve with solveLinearSystemReference (same results, slower)
  int solveStatus = 1;               ///< status of the last solve: kSolved or kSingular

  // --- Values kept for the inputs they were computed from, checked on every use ---
  RotationOf attitudeRotation;           ///< R(attitude) of the last attitude looked up
  SineCosineOf steerTrig[kCornerCount];  ///< sine and cosine of each corner's last steer angle

  Vehicle() = default;
  Vehicle(const Vehicle&) = delete;
  Vehicle& operator=(const Vehicle&) = delete;

  // Reads "<baseName>.ini", "<baseName>.params" (optional) and the tire file
  // "Goodyear2692x7.pkj" from the working directory and derives the rates and
  // positions. On bad input sets error to one "file:line: message" line and
  // returns false.
  bool loadCar(const std::string& baseName, std::string& error);

  // Start state: 2 m above the ground, level, at rest.
  void initialize();
  // Allocates the zeroed (15 c + 6) x (15 c + 7) system for c corners, finds
  // the elements its assembly writes and sets up the elimination plan that
  // solves it, checking those elements only.
  void setUpSystem(int corners);
  void setTimeStep(float dt) { timeStep = dt; }

  // Advances the car by one time step: assembleSystem, solveSystem, integrate.
  void step();
  // Builds this step's linear system from the state and the driver inputs.
  void assembleSystem();
  // Solves the system into solution (zero-filled when it is singular). The
  // matrix is written only by the assembly (and left reduced by the solve).
  void solveSystem();
  // Advances corners and chassis with the solution; refreshes the mount loads.
  void integrate();

  // True when every state quantity that the step integrates is finite.
  bool stateIsFinite() const;

  // Parts of the step, in the order step() calls them.
  void updateKinematics();
  void zeroSystem();
  void updatePowertrain();
  void computeCornerForces(int corners);
  void updateAntiRoll();
  void assembleChassisRows(int corners);
  void assembleUnsprungRows(int corners);
  void assembleWheelRows(int corners);
  void assembleConstraintRows(int corners);
  void integrateCorners(int corners);
  void integrateChassis();
  void updateMountLoads(int corners);

 private:
  // Sets writtenElements from the row assembly.
  void findWrittenElements();

  // The system has been cleared and only assembled since: +0 wherever the
  // assembly does not write (what the plan's narrow input check relies on).
  bool systemCleared_ = false;

  std::unique_ptr<float[]> systemStorage_;  // the rows, one block
};

}  // namespace vdsim
