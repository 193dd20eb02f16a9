#include "output/number_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vdsim {

namespace {

// The shortest "%.Ng" text, N from 1 to maxDigits, that reads back as value,
// in plain notation where one reads back within maxDigits (500 is "500",
// not "5e+02"; 1e-09 has no plain form within them).
template <typename Real, typename Read>
std::string shortest(Real value, int maxDigits, Read read) {
  char text[48], first[48] = "";
  for (int digits = 1; digits <= maxDigits; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, double(value));
    if (read(text) != value) continue;
    if (std::strchr(text, 'e') == nullptr) return text;
    if (first[0] == '\0') std::memcpy(first, text, sizeof text);
  }
  return first[0] != '\0' ? first : text;  // nan reads back as nothing
}

}  // namespace

std::string shortestText(float value) {
  return shortest(value, 9, [](const char* text) { return std::strtof(text, nullptr); });
}

std::string shortestText(double value) {
  return shortest(value, 17, [](const char* text) { return std::strtod(text, nullptr); });
}

}  // namespace vdsim
