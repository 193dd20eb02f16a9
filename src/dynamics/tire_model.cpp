// Pure-slip Magic Formula: longitudinal and lateral tire force.
//
// With Fz the normal load, Fz0 the nominal load, dfz = (Fz - Fz0) / Fz0:
//
//   longitudinal, slip ratio k:
//     SHx = (pHx1 + pHx2 dfz) lHx            kx = k + SHx
//     Cx  = pCx1 lCx                         Dx = (pDx1 + pDx2 dfz) lMux Fz
//     Ex  = (pEx1 + pEx2 dfz + pEx3 dfz^2) (1 - pEx4 sgn(kx)) lEx
//     Kx  = Fz (pKx1 + pKx2 dfz) exp(-pKx3 dfz) lKx
//     Bx  = Kx / (Cx Dx)                     SVx = Fz (pVx1 + pVx2 dfz) lVx lMux
//     Fx  = Dx sin(Cx atan(Bx kx - Ex (Bx kx - atan(Bx kx)))) + SVx
//
//   lateral, slip angle a, camber g:
//     SHy = (pHy1 + pHy2 dfz + pHy3 g) lHy   ay = a + SHy      gy = g lgy
//     Cy  = pCy1 lCy                         Dy = (pDy1 + pDy2 dfz) (1 - pDy3 g^2) lMuy Fz
//     Ey  = (pEy1 + pEy2 dfz) (1 - (pEy3 + pEy4 gy) sgn(ay)) lEy
//     Kya = pKy1 Fz0 sin(2 atan(Fz / (pKy2 Fz0 lFz0))) (1 - pKy3 |g|) lFz0 lKy
//     By  = Kya / (Cy Dy)
//     SVy = Fz ((pVy1 + pVy2 dfz) + (pVy3 + pVy4 dfz) g lVyg lKyg)
//     Fy  = Dy sin(Cy atan(By ay - Ey (By ay - atan(By ay)))) + SVy
//
// (l.. are the record's scale factors.) Every named quantity is a float; each
// formula is evaluated in double and rounded once. atan, sin and exp take a
// float argument and return a float, except that the sine of the cornering
// stiffness gets 2 atan(..) in double and its result stays unrounded.
#include <cmath>

#include "definition/tire_coefficients.h"
#include "numerics/vector_math.h"

namespace vdsim {

void TireCoefficients::computeTireForces(float slipRatio, float slipAngle, float camber,
                                         float normalLoad, float& longitudinalForce,
                                         float& lateralForce) const {
  // No load, no force (the formulas would divide zero by zero).
  if (normalLoad == 0.0f) {
    longitudinalForce = 0.0f;
    lateralForce = 0.0f;
    return;
  }
  const TireCoefficients& c = *this;
  const float fz = normalLoad;
  const float gamma = camber;

  // Load variation.
  const float dfz = float((double(fz) - c[nominalLoad]) / c[nominalLoad]);

  // Longitudinal force.
  const float shx = float((double(c[pHx1]) + double(c[pHx2]) * dfz) * c[horizontalShiftScaleX]);
  const float kappaX = float(double(slipRatio) + shx);
  const float cx = float(double(c[pCx1]) * c[shapeScaleX]);
  const float muX = float((double(c[pDx1]) + double(c[pDx2]) * dfz) * c[frictionScaleX]);
  const float dx = float(double(muX) * fz);
  const float ex =
      float((double(c[pEx1]) + double(c[pEx2]) * dfz + double(c[pEx3]) * (double(dfz) * dfz)) *
            (1.0 - double(c[pEx4]) * sgn(kappaX)) * c[curvatureScaleX]);
  const float kx = float(double(fz) * (double(c[pKx1]) + double(c[pKx2]) * dfz) *
                         expf32(float(-double(c[pKx3]) * dfz)) * c[slipStiffnessScaleX]);
  const float bx = float(double(kx) / (double(cx) * dx));
  const float svx = float(double(fz) * (double(c[pVx1]) + double(c[pVx2]) * dfz) *
                          c[verticalShiftScaleX] * c[frictionScaleX]);
  const float ax1 = atanf32(float(double(bx) * kappaX));
  const float ax2 = atanf32(float(double(bx) * kappaX - double(ex) * (double(bx) * kappaX - ax1)));
  longitudinalForce = float(double(dx) * sinf32(float(double(cx) * ax2)) + svx);

  // Lateral force.
  const float shy = float((double(c[pHy1]) + double(c[pHy2]) * dfz + double(c[pHy3]) * gamma) *
                          c[horizontalShiftScaleY]);
  const float alphaY = float(double(slipAngle) + shy);
  const float gammaY = float(double(gamma) * c[camberScaleY]);
  const float cy = float(double(c[pCy1]) * c[shapeScaleY]);
  const float muY = float((double(c[pDy1]) + double(c[pDy2]) * dfz) *
                          (1.0 - double(c[pDy3]) * (double(gamma) * gamma)) * c[frictionScaleY]);
  const float dy = float(double(muY) * fz);
  const float ey = float((double(c[pEy1]) + double(c[pEy2]) * dfz) *
                         (1.0 - (double(c[pEy3]) + double(c[pEy4]) * gammaY) * sgn(alphaY)) *
                         c[curvatureScaleY]);
  // The cornering stiffness peaks where the load is pKy2 nominal loads.
  const float peak =
      atanf32(float(double(fz) / (double(c[pKy2]) * c[nominalLoad] * c[nominalLoadScale])));
  const float kya = float(double(c[pKy1]) * c[nominalLoad] * std::sin(2.0 * peak) *
                          (1.0 - double(c[pKy3]) * std::fabs(double(gamma))) * c[nominalLoadScale] *
                          c[corneringStiffnessScale]);
  const float by = float(double(kya) / (double(cy) * dy));
  const float svy = float(double(fz) * ((double(c[pVy1]) + double(c[pVy2]) * dfz) +
                                        (double(c[pVy3]) + double(c[pVy4]) * dfz) * gamma *
                                            c[camberShiftScaleY] * c[camberStiffnessScaleY]));
  const float ay1 = atanf32(float(double(by) * alphaY));
  const float ay2 = atanf32(float(double(by) * alphaY - double(ey) * (double(by) * alphaY - ay1)));
  lateralForce = float(double(dy) * sinf32(float(double(cy) * ay2)) + svy);
}

}  // namespace vdsim
