#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "definition/tire_coefficients.h"

namespace vdsim {
namespace {

using T = TireCoefficients;

// A record with every file value zero except those given, default scales.
TireCoefficients tireWith(std::initializer_list<std::pair<int, float>> values) {
  TireCoefficients tire;
  tire.values.fill(0.0f);
  for (const auto& [index, value] : values) tire[index] = value;
  tire.setScaleFactors();
  return tire;
}

// Longitudinal example: Kx = 20 * 4000 = 80000 N, Dx = 0.85 * 4000 = 3400 N.
TireCoefficients longitudinalTire() {
  return tireWith({{T::pCx1, 1.6f}, {T::pDx1, 1.0f}, {T::pKx1, 20.0f}, {T::nominalLoad, 4000.0f}});
}

// Lateral example: Kya = 15 * 4000 * sin(2 atan(1 / 1.5)) = 55384.6 N/rad.
TireCoefficients lateralTire() {
  return tireWith({{T::pCy1, 1.3f},
                   {T::pDy1, 1.0f},
                   {T::pKy1, 15.0f},
                   {T::pKy2, 1.5f},
                   {T::nominalLoad, 4000.0f}});
}

// A full passenger-car set (the values the example car shipped with).
TireCoefficients passengerTire() {
  // clang-format off
  const float file[T::kFileValues] = {
      1.65f, 1.10f, -0.08f, 0.30f, -0.10f, 0.0f, 0.0f, 22.0f, 0.0f, 0.20f, 0.0f, 0.0f, 0.0f,
      0.0f, 4000.0f, 0.31f,
      1.30f, 1.00f, -0.08f, 1.50f, -1.00f, -0.20f, 0.0f, 0.0f, 18.0f, 1.70f, 0.30f, 0.0f, 0.0f,
      0.02f, 0.0f, 0.0f, 0.15f, -0.05f,
      10.0f, -1.5f, 0.0f, 0.5f, -0.2f, 0.5f, 0.0f, 1.15f, 0.09f, -0.01f, 0.10f, 0.0f, 0.0f,
      0.0f, 0.5f, 0.0f, -1.5f, 0.2f, 0.0f, 0.2f, 0.0f, 0.0f, 0.0f, 0.1f, 0.0f,
      12.0f, -10.0f, 1.0f, 0.0f, 7.0f, 2.5f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 10.0f, 1.9f,
      -10.0f};
  // clang-format on
  TireCoefficients tire;
  for (int i = 0; i < T::kFileValues; ++i) tire[i] = file[i];
  tire.setScaleFactors();
  return tire;
}

float fx(const TireCoefficients& tire, float slipRatio, float load = 4000.0f) {
  float longitudinal = NAN, lateral = NAN;
  tire.computeTireForces(slipRatio, 0.0f, 0.0f, load, longitudinal, lateral);
  return longitudinal;
}

float fy(const TireCoefficients& tire, float slipAngle, float load = 4000.0f, float camber = 0.0f) {
  float longitudinal = NAN, lateral = NAN;
  tire.computeTireForces(0.0f, slipAngle, camber, load, longitudinal, lateral);
  return lateral;
}

TEST(TireModelLongitudinal, WorkedExample) {
  const TireCoefficients tire = longitudinalTire();
  EXPECT_EQ(fx(tire, 0.0f), 0.0f);
  EXPECT_NEAR(fx(tire, 0.02f), 1502.4f, 0.05f);
  EXPECT_NEAR(fx(tire, 0.1f), 3399.7f, 0.05f);
  // The slope at zero slip is Kx.
  EXPECT_NEAR(fx(tire, 1e-5f) / 1e-5f, 80000.0f, 2.0f);
  // The peak is Dx.
  float peak = 0.0f;
  for (int i = 1; i <= 1000; ++i) peak = std::fmax(peak, fx(tire, i * 0.001f));
  EXPECT_NEAR(peak, 3400.0f, 0.5f);
  EXPECT_LE(peak, 3400.0f);
}

TEST(TireModelLongitudinal, IsOddInTheSlipRatio) {
  const TireCoefficients tire = longitudinalTire();
  for (float k : {0.001f, 0.02f, 0.1f, 0.3f, 1.0f}) EXPECT_EQ(fx(tire, -k), -fx(tire, k)) << k;
}

TEST(TireModelLongitudinal, SlipStiffnessFallsWithLoadThroughTheNegativeExponent) {
  // dfz = 1 at twice the nominal load: Kx = 8000 * 20 * exp(-1).
  TireCoefficients tire = longitudinalTire();
  tire[T::pKx3] = 1.0f;
  EXPECT_NEAR(fx(tire, 1e-5f, 8000.0f) / 1e-5f, 8000.0 * 20.0 * std::exp(-1.0), 5.0);
  // Half the nominal load, dfz = -0.5: Kx = 2000 * 20 * exp(0.5).
  EXPECT_NEAR(fx(tire, 1e-5f, 2000.0f) / 1e-5f, 2000.0 * 20.0 * std::exp(0.5), 2.0);
}

TEST(TireModelLongitudinal, CurvatureUsesTheSignOfTheShiftedSlip) {
  // Ex = pEx1 (1 - pEx4 sgn(kx)): 0.125 for positive slip, 0.375 for negative.
  TireCoefficients asymmetric = longitudinalTire();
  asymmetric[T::pEx1] = 0.25f;
  asymmetric[T::pEx4] = 0.5f;
  TireCoefficients positive = longitudinalTire();
  positive[T::pEx1] = 0.125f;
  TireCoefficients negative = longitudinalTire();
  negative[T::pEx1] = 0.375f;
  EXPECT_EQ(fx(asymmetric, 0.05f), fx(positive, 0.05f));
  EXPECT_EQ(fx(asymmetric, -0.05f), fx(negative, -0.05f));
  EXPECT_NE(fx(asymmetric, 0.05f), -fx(asymmetric, -0.05f));
  // sgn(0) = 0: no curvature change at zero shifted slip.
  EXPECT_EQ(fx(asymmetric, 0.0f), 0.0f);
}

TEST(TireModelLongitudinal, ShiftsMoveTheCurve) {
  // A horizontal shift of 0.01 moves the zero crossing to -0.01; a vertical
  // shift adds Fz pVx1 0.85.
  TireCoefficients shifted = longitudinalTire();
  shifted[T::pHx1] = 0.01f;
  EXPECT_NEAR(fx(shifted, -0.01f), 0.0f, 1e-3f);
  EXPECT_NEAR(fx(shifted, 0.01f), fx(longitudinalTire(), 0.02f), 0.5f);
  TireCoefficients lifted = longitudinalTire();
  lifted[T::pVx1] = 0.01f;
  EXPECT_NEAR(fx(lifted, 0.0f), 4000.0f * 0.01f * 0.85f, 1e-3f);
}

TEST(TireModelLateral, WorkedExample) {
  const TireCoefficients tire = lateralTire();
  EXPECT_EQ(fy(tire, 0.0f), 0.0f);
  EXPECT_NEAR(fy(tire, 1e-5f) / 1e-5f, 55384.6f, 2.0f);
  EXPECT_NEAR(fy(tire, 0.02f), 1077.9f, 0.05f);
  EXPECT_NEAR(fy(tire, 0.1f), 3493.3f, 0.05f);
  // Dy = pDy1 Fz: the lateral friction has no 0.85 factor.
  float peak = 0.0f;
  for (int i = 1; i <= 1000; ++i) peak = std::fmax(peak, fy(tire, i * 0.001f));
  EXPECT_NEAR(peak, 4000.0f, 0.5f);
  EXPECT_LE(peak, 4000.0f);
}

TEST(TireModelLateral, IsOddInTheSlipAngle) {
  const TireCoefficients tire = lateralTire();
  for (float a : {0.001f, 0.02f, 0.1f, 0.3f, 1.0f}) EXPECT_EQ(fy(tire, -a), -fy(tire, a)) << a;
}

TEST(TireModelLateral, CorneringStiffnessPeaksAtPKy2NominalLoads) {
  const TireCoefficients tire = lateralTire();
  auto stiffness = [&](float load) { return fy(tire, 1e-5f, load) / 1e-5f; };
  // 15 * 4000 * sin(pi / 2) at 6000 N.
  EXPECT_NEAR(stiffness(6000.0f), 60000.0f, 3.0f);
  EXPECT_LT(stiffness(5000.0f), stiffness(6000.0f));
  EXPECT_LT(stiffness(7000.0f), stiffness(6000.0f));
}

TEST(TireModelLateral, CamberTermsFollowTheirFormulas) {
  // (1 - pKy3 |g|) scales the cornering stiffness for either sign of camber.
  TireCoefficients tire = lateralTire();
  tire[T::pKy3] = 2.0f;
  EXPECT_NEAR(fy(tire, 1e-5f, 4000.0f, 0.1f) / 1e-5f, 0.8f * 55384.6f, 2.0f);
  EXPECT_NEAR(fy(tire, 1e-5f, 4000.0f, -0.1f) / 1e-5f, 0.8f * 55384.6f, 2.0f);
  // (1 - pDy3 g^2) scales the peak; pVy3 g Fz adds a camber thrust.
  tire = lateralTire();
  tire[T::pDy3] = 10.0f;
  float peak = 0.0f;
  for (int i = 1; i <= 1000; ++i) peak = std::fmax(peak, fy(tire, i * 0.001f, 4000.0f, -0.1f));
  EXPECT_NEAR(peak, 0.9f * 4000.0f, 0.5f);
  tire = lateralTire();
  tire[T::pVy3] = 0.5f;
  EXPECT_NEAR(fy(tire, 0.0f, 4000.0f, 0.1f), 4000.0f * 0.5f * 0.1f, 1e-2f);
  // With zero camber every camber coefficient drops out.
  TireCoefficients plain = lateralTire();
  tire = lateralTire();
  for (int i : {T::pDy3, T::pEy4, T::pKy3, T::pHy3, T::pVy3, T::pVy4}) tire[i] = 0.7f;
  for (float a : {0.01f, 0.1f, -0.3f}) EXPECT_EQ(fy(tire, a), fy(plain, a)) << a;
}

TEST(TireModel, ZeroNormalLoadGivesNoForce) {
  float longitudinal = NAN, lateral = NAN;
  passengerTire().computeTireForces(0.1f, 0.1f, 0.0f, 0.0f, longitudinal, lateral);
  EXPECT_EQ(longitudinal, 0.0f);
  EXPECT_EQ(lateral, 0.0f);
}

TEST(TireModel, ForcesStayWithinPeakPlusShift) {
  // With every shift set, |Fx| <= Dx + |SVx| and |Fy| <= Dy + |SVy|.
  TireCoefficients tire = passengerTire();
  tire[T::pHx1] = 0.01f;
  tire[T::pVx1] = 0.02f;
  tire[T::pHy1] = -0.01f;
  tire[T::pVy1] = 0.03f;
  for (float load : {500.0f, 4000.0f, 9000.0f}) {
    const double dfz = (load - 4000.0) / 4000.0;
    const double dx = (1.10 - 0.08 * dfz) * 0.85 * load, svx = load * 0.02 * 0.85;
    const double dy = (1.00 - 0.08 * dfz) * load, svy = load * 0.03;
    for (int i = -200; i <= 200; ++i) {
      const float slip = i * 0.005f;
      EXPECT_LE(std::fabs(fx(tire, slip, load)), dx + std::fabs(svx) + 0.01) << load << " " << slip;
      EXPECT_LE(std::fabs(fy(tire, slip, load)), dy + std::fabs(svy) + 0.01) << load << " " << slip;
    }
  }
}

TEST(TireModel, PassengerTireIsPlausible) {
  const TireCoefficients tire = passengerTire();
  // Peak longitudinal grip 0.85 * 1.1 at nominal load, reached near 11 % slip.
  float peak = 0.0f, peakSlip = 0.0f;
  for (int i = 1; i <= 500; ++i) {
    const float f = fx(tire, i * 0.001f);
    if (f > peak) peak = f, peakSlip = i * 0.001f;
  }
  EXPECT_NEAR(peak / 4000.0f, 0.935f, 1e-3f);
  EXPECT_GT(peakSlip, 0.08f);
  EXPECT_LT(peakSlip, 0.15f);
  // Cornering stiffness near 1100 N/deg, peak lateral grip 1.0 below 10 deg.
  EXPECT_NEAR(fy(tire, 1e-5f) / 1e-5f * 3.14159265 / 180.0, 1098.0, 2.0);
  float peakY = 0.0f, peakAngle = 0.0f;
  for (int i = 1; i <= 500; ++i) {
    const float f = fy(tire, i * 0.001f);
    if (f > peakY) peakY = f, peakAngle = i * 0.001f;
  }
  EXPECT_NEAR(peakY / 4000.0f, 1.0f, 1e-3f);
  EXPECT_LT(peakAngle, 10.0f * 3.14159265f / 180.0f);
}

// Golden values: any change in where rounding happens shows up here.
TEST(TireModel, GoldenValues) {
  struct Case {
    float slipRatio, slipAngle, load, longitudinal, lateral;
  };
  const Case cases[] = {
      {0.02f, 0.02f, 4000.0f, 1643.7196f, 1236.67346f},
      {-0.1f, 0.1f, 3806.3f, -3563.51074f, 3689.37378f},
      {0.35f, -0.25f, 6123.4f, 4537.08154f, -5818.34277f},
      {-1.0f, 0.005f, 1234.5f, -788.437378f, 126.308884f},
  };
  const TireCoefficients tire = passengerTire();
  for (const Case& c : cases) {
    float longitudinal = NAN, lateral = NAN;
    tire.computeTireForces(c.slipRatio, c.slipAngle, 0.0f, c.load, longitudinal, lateral);
    EXPECT_EQ(longitudinal, c.longitudinal) << c.slipRatio << " " << c.load;
    EXPECT_EQ(lateral, c.lateral) << c.slipAngle << " " << c.load;
  }
  // The worked examples, to the bit.
  EXPECT_EQ(fx(longitudinalTire(), 0.02f), 1502.3584f);
  EXPECT_EQ(fy(lateralTire(), 0.1f), 3493.28345f);
}

}  // namespace
}  // namespace vdsim
