// Tire coefficient record and the pure-slip Magic Formula tire model.
//
// One record of 90 floats per car, shared by the four corners: indices 0..73
// are the 74 numbers of the tire file "Goodyear2692x7.pkj" in file order,
// 74..89 are scale factors that the loader sets (74 to 0.85, the rest 1.0).
#pragma once

#include <array>
#include <string>

#include "definition/input_log.h"

namespace vdsim {

struct TireCoefficients {
  // Index of each coefficient in values.
  enum Index : int {
    // Longitudinal force.
    pCx1, pDx1, pDx2, pEx1, pEx2, pEx3, pEx4, pKx1, pKx2, pKx3, pHx1, pHx2, pVx1, pVx2,
    nominalLoad,    ///< nominal load Fz0 (N)
    nominalRadius,  ///< tire radius for the aligning moment (m); unused by the force model
    // Lateral force.
    pCy1, pDy1, pDy2, pDy3, pEy1, pEy2, pEy3, pEy4, pKy1, pKy2, pKy3, pHy1, pHy2, pHy3,
    pVy1, pVy2, pVy3, pVy4,
    // Aligning moment (stored, unused).
    qBz1, qBz2, qBz3, qBz4, qBz5, qBz9, qBz10, qCz1, qDz1, qDz2, qDz3, qDz4, qDz6, qDz7,
    qDz8, qDz9, qEz1, qEz2, qEz3, qEz4, qEz5, qHz1, qHz2, qHz3, qHz4,
    // Combined slip (stored, unused).
    rBx1, rBx2, rCx1, rHx1, rBy1, rBy2, rBy3, rCy1, rHy1, rVy1, rVy2, rVy3, rVy4, rVy5, rVy6,
    // Scale factors, set by the loader.
    frictionScaleX, slipStiffnessScaleX, shapeScaleX, curvatureScaleX, horizontalShiftScaleX,
    verticalShiftScaleX, nominalLoadScale, frictionScaleY, trailStiffnessScale, shapeScaleY,
    curvatureScaleY, horizontalShiftScaleY, camberShiftScaleY, camberScaleY,
    camberStiffnessScaleY, corneringStiffnessScale,
    kCount
  };
  static constexpr int kFileValues = 74;  ///< numbers read from the tire file

  std::array<float, kCount> values{};

  float operator[](int i) const { return values[i]; }
  float& operator[](int i) { return values[i]; }

  // Sets the 16 scale factors: frictionScaleX 0.85, the others 1.0.
  void setScaleFactors();

  // Parses the 74 numbers of a tire file's text (name for messages) into
  // indices 0..73 and sets the scale factors. On bad input sets error to one
  // "file:line: message" line and returns false, the record unchanged.
  // The items read go to log if there is one.
  bool readTireText(const std::string& name, const std::string& text, std::string& error,
                    InputLog* log = nullptr);

  // Reads the tire file at path as readTireText does, noting its bytes in log.
  bool loadTireFile(const std::string& path, std::string& error, InputLog* log = nullptr);

  // Magic Formula, pure slip: longitudinal and lateral force (N) from the slip
  // ratio (-), slip angle (rad), camber (rad) and normal load (N). Returns
  // zero forces at zero normal load.
  void computeTireForces(float slipRatio, float slipAngle, float camber, float normalLoad,
                         float& longitudinalForce, float& lateralForce) const;
};

static_assert(TireCoefficients::kCount == 90, "the tire record holds 90 floats");
static_assert(TireCoefficients::frictionScaleX == 74, "scale factors start at index 74");

}  // namespace vdsim
