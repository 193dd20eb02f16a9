// The floating-point environment: round to nearest, subnormals kept.
#include "numerics/floating_point_environment.h"

#include <cfenv>
#include <cfloat>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define VDSIM_HAVE_MXCSR 1
#endif

namespace vdsim {

namespace {

#ifdef VDSIM_HAVE_MXCSR
// Bits of the SSE control and status register MXCSR.
constexpr unsigned kFlushToZero = 0x8000;       // results below the normal range become 0
constexpr unsigned kDenormalsAreZero = 0x0040;  // subnormal operands read as 0
constexpr unsigned kRoundingControl = 0x6000;   // 00: round to nearest
constexpr unsigned kExceptionMasks = 0x1f80;    // every exception masked
#endif

// True when arithmetic rounds to nearest and keeps subnormals, tried on
// values the compiler cannot see.
bool arithmeticIsAsAssumed() {
  volatile double smallest = DBL_MIN;
  volatile float smallestFloat = FLT_MIN;
  volatile double one = 1.0;
  volatile double epsilon = DBL_EPSILON;
  // Half the smallest normal is a subnormal, not 0 (no flush-to-zero) ...
  const double half = smallest * 0.5;
  const float halfFloat = float(smallestFloat * 0.5f);
  volatile double subnormal = half;
  volatile float subnormalFloat = halfFloat;
  if (half == 0.0 || halfFloat == 0.0f) return false;
  // ... and reads back as itself (no denormals-are-zero).
  if (subnormal * 2.0 != DBL_MIN || subnormalFloat * 2.0f != FLT_MIN) return false;
  // A tie rounds to the even neighbour 1 (not up); three quarters of a unit
  // in the last place round up (not down, not towards zero).
  return one + epsilon * 0.5 == 1.0 && one + epsilon * 0.75 == 1.0 + DBL_EPSILON;
}

}  // namespace

const char* setUpFloatingPointEnvironment() {
  // The C library's default environment: round to nearest, exceptions masked
  // and clear.
  if (std::fesetenv(FE_DFL_ENV) != 0) {
    return "cannot set the floating-point environment to its default (round to nearest)";
  }
#ifdef VDSIM_HAVE_MXCSR
  // Not every C library clears flush-to-zero and denormals-are-zero with it.
  _mm_setcsr((_mm_getcsr() & ~(kFlushToZero | kDenormalsAreZero | kRoundingControl)) |
             kExceptionMasks);
#endif
  if (std::fegetround() != FE_TONEAREST || !arithmeticIsAsAssumed()) {
    return "the floating-point unit does not round to nearest with subnormals kept, and "
           "cannot be set to; results would differ from every other machine's";
  }
  return nullptr;
}

}  // namespace vdsim
