// The C library's maths functions, pinned: every function the simulator
// calls is evaluated on the arguments recorded in
// math_functions/math_functions.txt (those vdsim's runs use, plus hard
// cases) and its result compared bit for bit with the one recorded on the
// reference system (glibc 2.36 on x86-64 with FMA and AVX2). A C library
// that rounds differently fails here, naming the function and the argument,
// instead of silently changing the last digits of Data/Output.csv.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef __GLIBC__
#include <gnu/libc-version.h>
#endif

namespace vdsim {
namespace {

// One line of the table: a function, its arguments and its results.
struct Case {
  std::string function;
  std::vector<std::uint64_t> values;  // arguments then results, as bits
  int line = 0;
};

const std::vector<Case>& table() {
  static const std::vector<Case> cases = [] {
    std::vector<Case> read;
    const char* path = VDSIM_SOURCE_DIR "/tests/numerics/math_functions/math_functions.txt";
    std::ifstream in(path);
    if (!in) ADD_FAILURE() << "cannot open " << path;
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
      if (text.empty() || text[0] == '#') continue;
      Case c;
      c.line = line;
      std::istringstream fields(text);
      fields >> c.function;
      for (std::string field; fields >> field;) c.values.push_back(std::stoull(field, nullptr, 16));
      read.push_back(c);
    }
    return read;
  }();
  return cases;
}

double asDouble(std::uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}
float asFloat(std::uint64_t b) {
  const auto b32 = std::uint32_t(b);
  float x;
  std::memcpy(&x, &b32, sizeof x);
  return x;
}
std::uint64_t bitsOf(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}
std::uint64_t bitsOf(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Equal bits; of NaNs only the sign counts, since only "nan" or "-nan"
// reaches the output.
bool sameResult(std::uint64_t got, std::uint64_t want, bool isFloat) {
  const bool gotNan = isFloat ? std::isnan(asFloat(got)) : std::isnan(asDouble(got));
  const bool wantNan = isFloat ? std::isnan(asFloat(want)) : std::isnan(asDouble(want));
  if (gotNan || wantNan) {
    const bool gotSign = isFloat ? std::signbit(asFloat(got)) : std::signbit(asDouble(got));
    const bool wantSign = isFloat ? std::signbit(asFloat(want)) : std::signbit(asDouble(want));
    return gotNan == wantNan && gotSign == wantSign;
  }
  return got == want;
}

std::string describe(double x) {
  char text[96];
  std::snprintf(text, sizeof text, "%a (%.17g)", x, x);
  return text;
}

// The system the table was recorded on, from its header line "Written by ...
// with <system>.", and this one, described the same way.
std::string recordedSystem() {
  std::ifstream in(VDSIM_SOURCE_DIR "/tests/numerics/math_functions/math_functions.txt");
  for (std::string text; std::getline(in, text) && text.rfind('#', 0) == 0;) {
    const std::size_t with = text.find(" with ");
    if (text.find("Written by") != std::string::npos && with != std::string::npos)
      return text.substr(with + 6, text.size() - with - 7);
  }
  return "an unrecorded system";
}

std::string thisSystem() {
  std::string system = "a C library other than glibc";
#ifdef __GLIBC__
  system = std::string("glibc ") + gnu_get_libc_version();
#endif
#if defined(__x86_64__)
  system += " on x86-64";
  system += __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2") ? " with FMA and AVX2"
                                                                             : " without FMA or AVX2";
#else
  system += " on a processor other than x86-64";
#endif
  return system;
}

// The functions as the simulator calls them: through the C library, never
// folded (the arguments come from the file) nor replaced by the compiler.
double (*volatile sinF)(double) = &::sin;
double (*volatile cosF)(double) = &::cos;
void (*volatile sincosF)(double, double*, double*) = &::sincos;
double (*volatile atanF)(double) = &::atan;
double (*volatile atan2F)(double, double) = &::atan2;
double (*volatile expF)(double) = &::exp;
double (*volatile sqrtF)(double) = &::sqrt;
float (*volatile sqrtfF)(float) = &::sqrtf;

// This library's results for a case's arguments, as bits.
std::vector<std::uint64_t> evaluate(const Case& c) {
  const double x = asDouble(c.values[0]);
  if (c.function == "sin") return {bitsOf(sinF(x))};
  if (c.function == "cos") return {bitsOf(cosF(x))};
  if (c.function == "sincos") {
    double s, co;
    sincosF(x, &s, &co);
    return {bitsOf(s), bitsOf(co)};
  }
  if (c.function == "atan") return {bitsOf(atanF(x))};
  if (c.function == "atan2") return {bitsOf(atan2F(x, asDouble(c.values[1])))};
  if (c.function == "exp") return {bitsOf(expF(x))};
  if (c.function == "sqrt") return {bitsOf(sqrtF(x))};
  if (c.function == "sqrtf") return {bitsOf(sqrtfF(asFloat(c.values[0])))};
  return {};
}

class MathFunctions : public ::testing::TestWithParam<const char*> {};

TEST_P(MathFunctions, GiveTheRecordedBits) {
  const std::string function = GetParam();
  const bool isFloat = function == "sqrtf";
  int cases = 0;
  int differing = 0;
  for (const Case& c : table()) {
    if (c.function != function) continue;
    ++cases;
    const std::vector<std::uint64_t> got = evaluate(c);
    const std::size_t argumentCount = c.values.size() - got.size();
    ASSERT_TRUE(argumentCount == 1 || argumentCount == 2) << "line " << c.line;
    bool same = true;
    for (std::size_t i = 0; i < got.size(); ++i)
      same = same && sameResult(got[i], c.values[argumentCount + i], isFloat);
    if (same) continue;
    if (++differing > 5) continue;  // the first five are enough to see the pattern
    std::string arguments = isFloat ? describe(asFloat(c.values[0])) : describe(asDouble(c.values[0]));
    if (argumentCount == 2) arguments += ", " + describe(asDouble(c.values[1]));
    std::string results;
    for (std::size_t i = 0; i < got.size(); ++i) {
      char text[64];
      std::snprintf(text, sizeof text, "%s%016" PRIx64 " (recorded %016" PRIx64 ")",
                    i ? ", " : "", got[i], c.values[argumentCount + i]);
      results += text;
    }
    ADD_FAILURE() << function << "(" << arguments << ") gave " << results << " [math_functions.txt:"
                  << c.line << "]";
  }
  EXPECT_GT(cases, 400) << "math_functions.txt has too few " << function << " cases";
  EXPECT_EQ(differing, 0)
      << function << " gives other results than recorded in " << differing << " of " << cases
      << " cases. They were recorded with " << recordedSystem() << "; this is " << thisSystem()
      << ". The C library chooses its maths code by its version and by the processor, so "
         "vdsim's Data/Output.csv may differ here from the reference's in the last digits.";
}

INSTANTIATE_TEST_SUITE_P(CLibrary, MathFunctions,
                         ::testing::Values("sin", "cos", "sincos", "atan", "atan2", "exp", "sqrt",
                                           "sqrtf"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
}  // namespace vdsim
