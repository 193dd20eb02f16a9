// What one solve did (status, printed message, solution, matrix left
// behind), and the first difference between two such outcomes, bit for bit:
// the solver tests compare every fast path with the literal solver so.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "numerics/solver_systems.h"

namespace vdsim {
namespace solvertest {

inline float fromBits(std::uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

inline const float kInf = std::numeric_limits<float>::infinity();
inline const float kNan = fromBits(0x7fc00000u);          // quiet NaN
inline const float kNegNan = fromBits(0xffc00000u);       // the default NaN of x86 arithmetic
inline const float kNanPayload = fromBits(0x7fc12345u);   // quiet NaN with a payload
inline const float kNanPayload2 = fromBits(0xffe54321u);  // another, negative
inline const float kSignallingNan = fromBits(0x7f800123u);

// What one solve did.
struct Outcome {
  int status = 0;
  std::string printed;
  std::vector<float> solution;
  Values matrix;
};

// Solves a copy of values held in the given storage. The solution starts as a
// recognisable pattern so that an untouched solution is compared too.
template <typename Solve>
Outcome solveWith(Solve&& solve, const Values& values, Storage storage, bool capture = true) {
  Rows rows(values, storage);
  Outcome out;
  out.solution.assign(values.size(), 0.0f);
  for (std::size_t i = 0; i < values.size(); ++i) out.solution[i] = -1.25f - float(i);
  if (capture) testing::internal::CaptureStdout();
  out.status = solve(rows.rows(), rows.n(), out.solution.data());
  if (capture) out.printed = testing::internal::GetCapturedStdout();
  out.matrix = rows.values();
  return out;
}

// Failure text when two outcomes differ anywhere, empty when they agree.
inline std::string difference(const Outcome& expected, const Outcome& actual) {
  if (expected.status != actual.status) {
    return "status " + std::to_string(actual.status) + ", expected " +
           std::to_string(expected.status);
  }
  if (expected.printed != actual.printed) {
    return "printed \"" + actual.printed + "\", expected \"" + expected.printed + "\"";
  }
  auto bits = [](float v) {
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    char text[16];
    std::snprintf(text, sizeof text, "%08x", b);
    return std::string(text);
  };
  for (std::size_t i = 0; i < expected.solution.size(); ++i) {
    if (std::memcmp(&expected.solution[i], &actual.solution[i], sizeof(float)) != 0) {
      return "solution[" + std::to_string(i) + "] bits " + bits(actual.solution[i]) +
             ", expected " + bits(expected.solution[i]);
    }
  }
  for (std::size_t r = 0; r < expected.matrix.size(); ++r) {
    for (std::size_t k = 0; k < expected.matrix[r].size(); ++k) {
      if (std::memcmp(&expected.matrix[r][k], &actual.matrix[r][k], sizeof(float)) != 0) {
        return "matrix[" + std::to_string(r) + "][" + std::to_string(k) + "] bits " +
               bits(actual.matrix[r][k]) + ", expected " + bits(expected.matrix[r][k]);
      }
    }
  }
  return "";
}

}  // namespace solvertest
}  // namespace vdsim
