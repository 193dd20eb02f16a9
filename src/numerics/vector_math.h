// Single-precision vectors, matrices and quaternions.
//
// Every component is stored as a 32-bit float. Each operation widens its float
// inputs to double, evaluates its formula left to right in double and rounds
// each returned component once to float. Nothing here allocates or fails.
//
// Axes: world x, y horizontal, z down (ground is z = 0); body x forward,
// y right, z down. A Quat maps body axes to world axes.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vdsim {

// Scalar functions in single-precision form: the float argument is widened to
// double, the library function applied, the result rounded to float.
inline float sqrtf32(float x) { return float(std::sqrt(double(x))); }
inline float fabsf32(float x) { return float(std::fabs(double(x))); }
inline float sinf32(float x) { return float(std::sin(double(x))); }
inline float cosf32(float x) { return float(std::cos(double(x))); }
inline float atanf32(float x) { return float(std::atan(double(x))); }
inline float expf32(float x) { return float(std::exp(double(x))); }
inline float atan2f32(float y, float x) { return float(std::atan2(double(y), double(x))); }

// sgn(x): +1 for x > 0, -1 for x < 0, 0 otherwise (also for NaN).
inline float sgn(float x) { return x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f); }

struct Vec3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;

  Vec3() = default;
  Vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

  Vec3& set(float x_, float y_, float z_) {
    x = x_;
    y = y_;
    z = z_;
    return *this;
  }
  Vec3& fill(float s) { return set(s, s, s); }

  Vec3& operator+=(const Vec3& b) {
    x = float(double(x) + double(b.x));
    y = float(double(y) + double(b.y));
    z = float(double(z) + double(b.z));
    return *this;
  }
};

inline Vec3 operator+(const Vec3& a, const Vec3& b) {
  return {float(double(a.x) + double(b.x)), float(double(a.y) + double(b.y)),
          float(double(a.z) + double(b.z))};
}

inline Vec3 operator-(const Vec3& a, const Vec3& b) {
  return {float(double(a.x) - double(b.x)), float(double(a.y) - double(b.y)),
          float(double(a.z) - double(b.z))};
}

inline Vec3 operator*(const Vec3& a, float s) {
  return {float(double(a.x) * s), float(double(a.y) * s), float(double(a.z) * s)};
}

// a x b, right-handed.
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {float(double(a.y) * b.z - double(a.z) * b.y),
          float(double(a.z) * b.x - double(a.x) * b.z),
          float(double(a.x) * b.y - double(a.y) * b.x)};
}

inline float dot(const Vec3& a, const Vec3& b) {
  return float(double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z);
}

inline float lengthSquared(const Vec3& a) {
  return float(double(a.x) * a.x + double(a.y) * a.y + double(a.z) * a.z);
}

inline float length(const Vec3& a) { return sqrtf32(lengthSquared(a)); }

// Scales a to unit length in place and returns its former length; a vector
// shorter than 1e-12 becomes (0, 0, 0) and 0 is returned.
inline float normalize(Vec3& a) {
  const float l = length(a);
  if (std::fabs(double(l)) < 1e-12) {
    a.fill(0.0f);
    return 0.0f;
  }
  a.set(float(double(a.x) / l), float(double(a.y) / l), float(double(a.z) / l));
  return l;
}

// 3 x 3 matrix, row-major: m[row][column].
struct Mat3 {
  float m[3][3] = {{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}};

  Mat3() = default;
  Mat3(float m00, float m01, float m02, float m10, float m11, float m12, float m20, float m21,
       float m22)
      : m{{m00, m01, m02}, {m10, m11, m12}, {m20, m21, m22}} {}

  const float* operator[](int row) const { return m[row]; }
  float* operator[](int row) { return m[row]; }
};

inline Mat3 diagonal(float a, float b, float c) {
  return {a, 0.0f, 0.0f, 0.0f, b, 0.0f, 0.0f, 0.0f, c};
}

// Rotation quaternion (w, x, y, z), scalar part first. Default is all zero,
// not the identity (1, 0, 0, 0).
struct Quat {
  float w = 0.0f;
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;

  Quat() = default;
  Quat(float w_, float x_, float y_, float z_) : w(w_), x(x_), y(y_), z(z_) {}
  Quat(float w_, const Vec3& v) : w(w_), x(v.x), y(v.y), z(v.z) {}
};

// Rotation by the angle |v| about the axis v / |v|; a vector shorter than
// 1e-12 gives the identity.
inline Quat fromRotationVector(Vec3 v) {
  const float theta = normalize(v);
  const float half = float(double(theta) / 2.0);
  return Quat(cosf32(half), v * sinf32(half));
}

// R(q); assumes a unit quaternion and never normalizes.
inline Mat3 rotationMatrix(Quat q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  return {float(w * w + x * x - y * y - z * z), float(2.0 * (x * y - w * z)),
          float(2.0 * (w * y + x * z)),         float(2.0 * (x * y + w * z)),
          float(w * w - x * x + y * y - z * z), float(2.0 * (y * z - w * x)),
          float(2.0 * (x * z - w * y)),         float(2.0 * (y * z + w * x)),
          float(w * w - x * x - y * y + z * z)};
}

// R v: a body-axes vector in world axes, for a rotation matrix R.
inline Vec3 rotateToWorld(Vec3 v, const Mat3& r) {
  return {float(double(r[0][0]) * v.x + double(r[0][1]) * v.y + double(r[0][2]) * v.z),
          float(double(r[1][0]) * v.x + double(r[1][1]) * v.y + double(r[1][2]) * v.z),
          float(double(r[2][0]) * v.x + double(r[2][1]) * v.y + double(r[2][2]) * v.z)};
}

// R^T v: a world-axes vector in body axes, for a rotation matrix R.
inline Vec3 rotateToBody(Vec3 v, const Mat3& r) {
  return {float(double(r[0][0]) * v.x + double(r[1][0]) * v.y + double(r[2][0]) * v.z),
          float(double(r[0][1]) * v.x + double(r[1][1]) * v.y + double(r[2][1]) * v.z),
          float(double(r[0][2]) * v.x + double(r[1][2]) * v.y + double(r[2][2]) * v.z)};
}

// The same with R = R(q).
inline Vec3 rotateToWorld(Vec3 v, Quat q) { return rotateToWorld(v, rotationMatrix(q)); }
inline Vec3 rotateToBody(Vec3 v, Quat q) { return rotateToBody(v, rotationMatrix(q)); }

// R(q) of the last quaternion given, formed again only when its bits change:
// rotationMatrix is a function of those bits alone, so the matrix returned is
// always rotationMatrix(q).
class RotationOf {
 public:
  const Mat3& operator()(const Quat& q) {
    if (!known_ || std::memcmp(&q, &key_, sizeof key_) != 0) {
      key_ = q;
      matrix_ = rotationMatrix(q);
      known_ = true;
    }
    return matrix_;
  }

 private:
  bool known_ = false;
  Quat key_;
  Mat3 matrix_;
};

// sinf32 and cosf32 of the last angle given, computed again only when the
// angle's bits change (so -0 and +0 are different angles, as their sines are).
class SineCosineOf {
 public:
  const SineCosineOf& operator()(float angle) {
    std::uint32_t bits;
    std::memcpy(&bits, &angle, sizeof bits);
    if (!known_ || bits != bits_) {
      bits_ = bits;
      sin_ = sinf32(angle);
      cos_ = cosf32(angle);
      known_ = true;
    }
    return *this;
  }
  float sin() const { return sin_; }  ///< sinf32 of the last angle (-)
  float cos() const { return cos_; }  ///< cosf32 of the last angle (-)

 private:
  bool known_ = false;
  std::uint32_t bits_ = 0;
  float sin_ = 0.0f;
  float cos_ = 1.0f;
};

}  // namespace vdsim
