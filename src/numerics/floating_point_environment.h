// The floating-point environment every result of vdsim assumes.
//
// Every rounding in the program is round to nearest, ties to even, and a
// subnormal is a number like any other. A process may start with another
// state (a library built with fast-math start-up code, a parent that changed
// the rounding mode), so the entry point sets it before anything else.
#pragma once

namespace vdsim {

// Sets round to nearest, subnormals kept (on x86 no flush-to-zero and no
// denormals-are-zero), every exception masked and its flag clear; then checks
// by arithmetic that it holds. Returns nullptr when it does, otherwise a
// one-line reason for refusing to run.
const char* setUpFloatingPointEnvironment();

}  // namespace vdsim
