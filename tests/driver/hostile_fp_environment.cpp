// Preloaded into the simulator (LD_PRELOAD) by the golden_output_fp_environment
// test: before main runs, the process is put in the state fast-math start-up
// code or a careless host program would leave it in, rounding upward, with
// flush-to-zero and denormals-are-zero. The simulator must still write the
// golden output byte for byte.
#include <cfenv>
#include <xmmintrin.h>

namespace {

__attribute__((constructor)) void spoilFloatingPointEnvironment() {
  std::fesetround(FE_UPWARD);
  _mm_setcsr(_mm_getcsr() | 0x8000u | 0x0040u);  // flush-to-zero, denormals-are-zero
}

}  // namespace
