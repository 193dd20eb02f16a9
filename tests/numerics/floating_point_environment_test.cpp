#include "numerics/floating_point_environment.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define VDSIM_HAVE_MXCSR 1
#endif

namespace vdsim {
namespace {

// Restores the environment a test found, whatever the test did to it.
class FloatingPointEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(std::fegetenv(&saved_), 0); }
  void TearDown() override { std::fesetenv(&saved_); }

  // Everything vdsim relies on, checked on values the compiler cannot see.
  static void expectVdsimState() {
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
#ifdef VDSIM_HAVE_MXCSR
    EXPECT_EQ(_mm_getcsr() & 0x8040u, 0u) << "flush-to-zero or denormals-are-zero still set";
#endif
    volatile float smallest = FLT_MIN;
    volatile float subnormal = smallest * 0.5f;
    EXPECT_EQ(subnormal, 0x1p-127f) << "a subnormal did not survive";
    EXPECT_EQ(subnormal * 2.0f, FLT_MIN) << "a subnormal operand was read as zero";
    volatile double one = 1.0;
    EXPECT_EQ(one + DBL_EPSILON * 0.5, 1.0);
    EXPECT_EQ(one + DBL_EPSILON * 0.75, 1.0 + DBL_EPSILON);
    EXPECT_EQ(-one - DBL_EPSILON * 0.75, -1.0 - DBL_EPSILON);
    EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT & ~(FE_UNDERFLOW | FE_INEXACT)), 0);
  }

 private:
  std::fenv_t saved_;
};

TEST_F(FloatingPointEnvironmentTest, DefaultEnvironmentIsKept) {
  EXPECT_EQ(setUpFloatingPointEnvironment(), nullptr);
  expectVdsimState();
  // A second call changes nothing.
  EXPECT_EQ(setUpFloatingPointEnvironment(), nullptr);
  expectVdsimState();
}

TEST_F(FloatingPointEnvironmentTest, EveryOtherRoundingModeIsReset) {
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    EXPECT_EQ(setUpFloatingPointEnvironment(), nullptr) << "mode " << mode;
    expectVdsimState();
  }
}

TEST_F(FloatingPointEnvironmentTest, RaisedExceptionFlagsAreCleared) {
  volatile double zero = 0.0;
  volatile double nan = zero / zero;  // raises invalid
  (void)nan;
  ASSERT_NE(std::fetestexcept(FE_INVALID), 0);
  EXPECT_EQ(setUpFloatingPointEnvironment(), nullptr);
  EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
}

#ifdef VDSIM_HAVE_MXCSR
TEST_F(FloatingPointEnvironmentTest, FlushToZeroAndDenormalsAreZeroAreCleared) {
  // What fast-math start-up code leaves behind, with rounding up on top.
  _mm_setcsr(_mm_getcsr() | 0x8040u | 0x4000u);
  volatile float smallest = FLT_MIN;
  ASSERT_EQ(smallest * 0.5f, 0.0f) << "flush-to-zero did not take effect";
  EXPECT_EQ(setUpFloatingPointEnvironment(), nullptr);
  expectVdsimState();
}

TEST_F(FloatingPointEnvironmentTest, UnmaskedExceptionsAreMaskedAgain) {
  // An unmasked invalid-operation exception would stop a diverging run with
  // SIGFPE instead of its exit status 3.
  _mm_setcsr(_mm_getcsr() & ~0x0080u);
  EXPECT_EQ(setUpFloatingPointEnvironment(), nullptr);
  EXPECT_EQ(_mm_getcsr() & 0x1f80u, 0x1f80u);
  volatile double zero = 0.0;
  volatile double nan = zero / zero;
  EXPECT_NE(nan, nan);
}
#endif

}  // namespace
}  // namespace vdsim
