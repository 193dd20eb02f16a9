#include "numerics/vector_math.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace vdsim {
namespace {

TEST(VectorMath, DefaultsAreZeroAndQuatIsNotIdentity) {
  const Vec3 v;
  const Mat3 m;
  const Quat q;
  EXPECT_EQ(v.x + v.y + v.z, 0.0f);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(m[r][c], 0.0f);
  EXPECT_EQ(q.w, 0.0f);
  // A zero quaternion rotates everything to zero.
  const Vec3 out = rotateToWorld(Vec3(1.0f, 2.0f, 3.0f), q);
  EXPECT_EQ(out.x, 0.0f);
  EXPECT_EQ(out.y, 0.0f);
  EXPECT_EQ(out.z, 0.0f);
}

TEST(VectorMath, CrossIsRightHanded) {
  const Vec3 z = cross(Vec3(1, 0, 0), Vec3(0, 1, 0));
  EXPECT_EQ(z.x, 0.0f);
  EXPECT_EQ(z.y, 0.0f);
  EXPECT_EQ(z.z, 1.0f);
}

TEST(VectorMath, NormalizeReturnsLengthAndZeroesTinyVectors) {
  Vec3 a(3, 0, 4);
  EXPECT_EQ(normalize(a), 5.0f);
  EXPECT_EQ(a.x, 0.6f);
  EXPECT_EQ(a.z, 0.8f);
  Vec3 tiny(1e-13f, 0.0f, 0.0f);
  EXPECT_EQ(normalize(tiny), 0.0f);
  EXPECT_EQ(tiny.x, 0.0f);
  Vec3 zero;
  EXPECT_EQ(normalize(zero), 0.0f);
}

TEST(VectorMath, RotationVectorAndRoundTrip) {
  const Quat identity = fromRotationVector(Vec3());
  EXPECT_EQ(identity.w, 1.0f);
  EXPECT_EQ(identity.x, 0.0f);
  // A quarter turn about z takes body x onto world y.
  const Quat q = fromRotationVector(Vec3(0.0f, 0.0f, 1.5707964f));
  const Vec3 y = rotateToWorld(Vec3(1, 0, 0), q);
  EXPECT_NEAR(y.x, 0.0f, 1e-7f);
  EXPECT_NEAR(y.y, 1.0f, 1e-7f);
  // Body -> world -> body returns the vector for a unit quaternion.
  const Quat r = fromRotationVector(Vec3(0.3f, -0.2f, 0.7f));
  const Vec3 v(1.5f, -2.0f, 0.25f);
  const Vec3 back = rotateToBody(rotateToWorld(v, r), r);
  EXPECT_NEAR(back.x, v.x, 1e-6f);
  EXPECT_NEAR(back.y, v.y, 1e-6f);
  EXPECT_NEAR(back.z, v.z, 1e-6f);
  // A non-unit quaternion scales by |q|^2 each way.
  const Quat twice(2.0f * r.w, 2.0f * r.x, 2.0f * r.y, 2.0f * r.z);
  const Vec3 scaled = rotateToBody(rotateToWorld(v, twice), twice);
  EXPECT_NEAR(scaled.x, 16.0f * v.x, 1e-4f);
}

TEST(VectorMath, OperationsRoundOnceFromDouble) {
  // 1 + 2^-24 + 2^-24 would be 1 in float-by-float steps; the dot product is
  // one double expression, rounded once.
  const float e = 5.9604645e-08f;  // 2^-24
  EXPECT_EQ(dot(Vec3(1.0f, e, e), Vec3(1.0f, 1.0f, 1.0f)), 1.00000012f);
  // sgn of NaN is 0.
  EXPECT_EQ(sgn(std::nanf("")), 0.0f);
  EXPECT_EQ(sgn(-0.0f), 0.0f);
  EXPECT_EQ(sgn(-2.0f), -1.0f);
}

// The kept values are those of the functions for the same bits, whatever
// came before: -0 after +0 (sin(-0) is -0; a quaternion with a -0 part has
// -0 elements), NaNs, repeats and changes back and forth.
TEST(VectorMath, KeptSinesAndRotationsAreThoseOfTheSameBits) {
  const auto bits = [](const auto& v) {
    std::vector<unsigned char> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> angles = {0.0f,  -0.0f, 0.0f, 0.25f,  0.25f,
                               -0.25f, nan,  nan,  1e-40f, 3.1415927f};
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> angle(-0.6f, 0.6f);
  for (int i = 0; i < 50; ++i) angles.push_back(i % 3 == 0 ? angles.back() : angle(rng));
  SineCosineOf trig;
  for (float a : angles) {
    const SineCosineOf& t = trig(a);
    EXPECT_EQ(bits(t.sin()), bits(sinf32(a))) << a;
    EXPECT_EQ(bits(t.cos()), bits(cosf32(a))) << a;
  }
  std::vector<Quat> attitudes = {Quat(1, 0, 0, 0), Quat(1, -0.0f, 0, 0), Quat(1, 0, -0.0f, 0),
                                 Quat(1, 0, 0, 0), Quat(nan, 0, 0, 0),   Quat(nan, 0, 0, 0)};
  for (int i = 0; i < 50; ++i) {
    attitudes.push_back(i % 3 == 0 ? attitudes.back()
                                   : fromRotationVector(Vec3(angle(rng), angle(rng), angle(rng))));
  }
  RotationOf rotation;
  for (const Quat& q : attitudes) {
    const Mat3 expected = rotationMatrix(q);
    EXPECT_EQ(bits(rotation(q)), bits(expected)) << q.w << " " << q.x << " " << q.y << " " << q.z;
    const Vec3 v(0.3f, -1.7f, 2.9f);
    EXPECT_EQ(bits(rotateToWorld(v, rotation(q))), bits(rotateToWorld(v, q)));
    EXPECT_EQ(bits(rotateToBody(v, rotation(q))), bits(rotateToBody(v, q)));
  }
}

}  // namespace
}  // namespace vdsim
