// write_math_table < ARGUMENTS > TABLE: the table of maths function results
// that math_functions_test.cpp compares this machine's C library with.
//
// ARGUMENTS are vdsim_math_recorder's lines (record_math_calls.cpp). Of each
// function's distinct arguments up to kRecordedPerFunction are kept, evenly
// spread over their sorted values; hard cases (signed zeros, subnormals,
// infinities, NaNs, huge arguments, near multiples of pi/2, the edges of
// exp's range, atan2's quadrants) and pseudo-random arguments from a fixed
// seed are added. Each line of the table is a function, its arguments and its
// results, all as hexadecimal bit patterns, evaluated with this machine's C
// library; regenerate.sh runs it.
#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#ifdef __GLIBC__
#include <gnu/libc-version.h>
#endif

namespace {

constexpr std::size_t kRecordedPerFunction = 400;
constexpr int kRandomPerFunction = 64;

std::uint64_t bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double fromBits(std::uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

std::uint32_t floatBits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Orders by value, then by bits (so -0 and +0 are both kept), NaNs last.
bool before(double a, double b) {
  if (std::isnan(a) || std::isnan(b) || a == b) {
    return std::make_pair(std::isnan(a), bits(a)) < std::make_pair(std::isnan(b), bits(b));
  }
  return a < b;
}
bool before(const std::pair<double, double>& a, const std::pair<double, double>& b) {
  if (before(a.first, b.first)) return true;
  if (before(b.first, a.first)) return false;
  return before(a.second, b.second);
}
bool same(double a, double b) { return bits(a) == bits(b); }
bool same(const std::pair<double, double>& a, const std::pair<double, double>& b) {
  return same(a.first, b.first) && same(a.second, b.second);
}

// Up to n of the distinct values in order, evenly spread, first and last
// included.
template <typename T>
std::vector<T> spread(std::vector<T> values, std::size_t n) {
  std::sort(values.begin(), values.end(), [](const T& a, const T& b) { return before(a, b); });
  values.erase(std::unique(values.begin(), values.end(),
                           [](const T& a, const T& b) { return same(a, b); }),
               values.end());
  if (values.size() <= n) return values;
  std::vector<T> kept;
  for (std::size_t i = 0; i < n; ++i) kept.push_back(values[i * (values.size() - 1) / (n - 1)]);
  return kept;
}

// Arguments every function is tried on.
std::vector<double> specialArguments() {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> v = {0.0,      DBL_TRUE_MIN, DBL_MIN, FLT_TRUE_MIN, FLT_MIN, 1e-300,
                           1e-20,    0.5,          1.0,     2.0,          10.0,    1e20,
                           FLT_MAX,  DBL_MAX,      inf,     nan,          fromBits(0x7ff4000000000000)};
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  return v;
}

// Pseudo-random arguments from a fixed seed: any bit pattern but NaN, and
// floats widened to double, as vdsim's arguments are.
std::vector<double> randomArguments(std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::vector<double> v;
  while (v.size() < kRandomPerFunction) {
    const double x = fromBits(generator());
    if (!std::isnan(x)) v.push_back(x);
  }
  for (int i = 0; i < kRandomPerFunction; ++i) {
    const auto b = std::uint32_t(generator());
    float f;
    std::memcpy(&f, &b, sizeof f);
    if (!std::isnan(f)) v.push_back(double(f));
  }
  return v;
}

// Huge arguments and near multiples of pi/2 for sin and cos.
std::vector<double> trigonometricArguments() {
  std::vector<double> v = {1e6, 1e9, 1e15, 1e22, 1e100, 1e300, 0x1p24, 0x1p53, 0x1p63, 0x1p1023,
                           std::ldexp(6381956970095103.0, 797), 3.1415927, 6.2831854};
  for (int k = 1; k <= 64; ++k) {
    const double x = k * 1.5707963267948966;
    v.push_back(x);
    v.push_back(std::nextafter(x, 0.0));
    v.push_back(std::nextafter(x, 1e300));
    v.push_back(double(float(x)));
  }
  for (int k = 1; k <= 8; ++k) v.push_back(k * 1e8 * 1.5707963267948966);
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  return v;
}

// Near 1 and the boundaries of the usual reduction intervals for atan.
std::vector<double> arctangentArguments() {
  std::vector<double> v = {0x1p-27, 0x1p-26, 7.0 / 16, 11.0 / 16, 19.0 / 16, 39.0 / 16,
                           0x1p54,  0x1p66,  1e300};
  for (double x : {7.0 / 16, 11.0 / 16, 1.0, 19.0 / 16, 39.0 / 16}) {
    v.push_back(std::nextafter(x, 0.0));
    v.push_back(std::nextafter(x, 10.0));
  }
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  return v;
}

// The edges of exp's range in double, and where float(exp(x)) overflows or
// goes subnormal.
std::vector<double> exponentialArguments() {
  const double largest = 709.782712893384;  // exp(largest) is the last finite value
  std::vector<double> v = {largest,
                           std::nextafter(largest, 1e300),
                           709.79,
                           710.0,
                           1000.0,
                           -708.3964185322641,  // exp gives about DBL_MIN
                           -708.4,
                           -744.44,
                           -745.1332191019411,  // exp gives the smallest subnormal
                           -745.1332191019412,
                           -745.2,
                           -746.0,
                           -1000.0,
                           88.72283,
                           88.72284,
                           -87.33654,
                           -103.27893,
                           -103.97208,
                           0x1p-60,
                           -0x1p-60,
                           0x1p-53,
                           -0x1p-54};
  return v;
}

// atan2 in every quadrant, on the axes, with signed zeros, infinities and
// NaNs, and with quotients that overflow or underflow.
std::vector<std::pair<double, double>> arctangent2Arguments() {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {0.0, -0.0, 1.0, -1.0, inf, -inf, nan, DBL_TRUE_MIN, -DBL_TRUE_MIN, DBL_MAX};
  std::vector<std::pair<double, double>> v;
  for (double y : values)
    for (double x : values) v.push_back({y, x});
  for (double y : {1e300, -1e300, 1e-300, -1e-300, DBL_MIN, 3.0})
    for (double x : {1e-300, -1e-300, 1e300, -1e300, DBL_MAX, -4.0}) v.push_back({y, x});
  return v;
}

// Arguments of the recorded runs on which glibc 2.36 on x86-64 gives other
// last bits when it takes its code paths for processors without FMA and AVX2
// (GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA) than with them.
const std::uint64_t kSinBetweenCodePaths[] = {0x3fc0444040000000, 0x3fc2636920000000,
                                              0x3fece786c0000000, 0x3feebb69a0000000};
const std::uint64_t kCosBetweenCodePaths[] = {0x3fb088bb60000000, 0x3fb2a76600000000};
const std::uint64_t kAtanBetweenCodePaths[] = {0x3fa261b440000000, 0x3fab1bf240000000,
                                               0x3ff2451ac0000000, 0x3fb0df0900000000};
const std::uint64_t kExpBetweenCodePaths[] = {0x3f7ec80340000000, 0x3f7ef72140000000,
                                              0x3f689af4e0000000, 0xbf92c6fee0000000};
const std::pair<std::uint64_t, std::uint64_t> kAtan2BetweenCodePaths[] = {
    {0xbfd41ecf20000000, 0x3ffb857000000000}, {0xbfe7a0b980000000, 0x402155d000000000}};

template <std::size_t n>
std::vector<double> asDoubles(const std::uint64_t (&b)[n]) {
  std::vector<double> v;
  for (std::uint64_t x : b) v.push_back(fromBits(x));
  return v;
}

void writeLine(const char* name, std::initializer_list<double> args,
               std::initializer_list<double> results) {
  std::printf("%s", name);
  for (double a : args) std::printf(" %016" PRIx64, bits(a));
  for (double r : results) std::printf(" %016" PRIx64, bits(r));
  std::printf("\n");
}

}  // namespace

int main() {
  // The recorded arguments, by function.
  std::map<std::string, std::vector<double>> recorded;
  std::vector<std::pair<double, double>> recordedAtan2;
  char name[16];
  std::uint64_t a = 0, b = 0;
  char line[128];
  while (std::fgets(line, sizeof line, stdin)) {
    const int fields = std::sscanf(line, "%15s %" SCNx64 " %" SCNx64, name, &a, &b);
    if (fields == 3 && std::strcmp(name, "atan2") == 0) {
      recordedAtan2.push_back({fromBits(a), fromBits(b)});
    } else if (fields == 2) {
      recorded[name].push_back(fromBits(a));
    } else {
      std::fprintf(stderr, "write_math_table: cannot read \"%s\"\n", line);
      return 2;
    }
  }

  // Called through pointers, as the simulator calls them: never folded or
  // inlined.
  double (*volatile sinF)(double) = &::sin;
  double (*volatile cosF)(double) = &::cos;
  void (*volatile sincosF)(double, double*, double*) = &::sincos;
  double (*volatile atanF)(double) = &::atan;
  double (*volatile atan2F)(double, double) = &::atan2;
  double (*volatile expF)(double) = &::exp;
  double (*volatile sqrtF)(double) = &::sqrt;
  float (*volatile sqrtfF)(float) = &::sqrtf;

  std::string system = "an unknown C library";
#ifdef __GLIBC__
  system = std::string("glibc ") + gnu_get_libc_version();
#endif
#if defined(__x86_64__)
  system += " on x86-64";
  system += __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2") ? " with FMA and AVX2"
                                                                             : " without FMA or AVX2";
#endif
  std::printf("# Results of the C library's maths functions on the arguments vdsim's runs\n"
              "# use plus hard cases; checked by tests/numerics/math_functions_test.cpp.\n"
              "# Written by tests/numerics/math_functions/regenerate.sh with %s.\n"
              "# Each line: function, arguments, results, as IEEE-754 bit patterns in\n"
              "# hexadecimal (sqrtf: 32-bit floats; sincos: the sine, then the cosine).\n",
              system.c_str());

  auto arguments = [&](const char* function, std::vector<double> extra, std::uint64_t seed) {
    std::vector<double> v = spread(recorded[function], kRecordedPerFunction);
    const std::vector<double> special = specialArguments();
    v.insert(v.end(), special.begin(), special.end());
    v.insert(v.end(), extra.begin(), extra.end());
    const std::vector<double> random = randomArguments(seed);
    v.insert(v.end(), random.begin(), random.end());
    return v;
  };
  auto joined = [](std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<double> trig = trigonometricArguments();
  const std::vector<double> sinArgs = joined(trig, asDoubles(kSinBetweenCodePaths));
  const std::vector<double> cosArgs = joined(trig, asDoubles(kCosBetweenCodePaths));
  for (double x : arguments("sin", sinArgs, 1)) writeLine("sin", {x}, {sinF(x)});
  for (double x : arguments("cos", cosArgs, 2)) writeLine("cos", {x}, {cosF(x)});
  // sincos is called where both are wanted, so on the cosine's arguments.
  for (double x : arguments("cos", joined(cosArgs, asDoubles(kSinBetweenCodePaths)), 3)) {
    double s, c;
    sincosF(x, &s, &c);
    writeLine("sincos", {x}, {s, c});
  }
  for (double x : arguments("atan", joined(arctangentArguments(), asDoubles(kAtanBetweenCodePaths)), 4)) writeLine("atan", {x}, {atanF(x)});
  for (double x : arguments("exp", joined(exponentialArguments(), asDoubles(kExpBetweenCodePaths)), 5)) writeLine("exp", {x}, {expF(x)});
  const std::vector<double> squares = {4.0, 9.0, 0.25, 3.0, 0x1p-1074 * 4, -4.0};
  for (double x : arguments("sqrt", squares, 6)) writeLine("sqrt", {x}, {sqrtF(x)});
  // sqrtf on the same arguments where they are floats.
  for (double x : arguments("sqrt", squares, 7)) {
    const float f = float(x);
    if (double(f) != x && !std::isnan(x)) continue;
    std::printf("sqrtf %08" PRIx32 " %08" PRIx32 "\n", floatBits(f), floatBits(sqrtfF(f)));
  }
  std::vector<std::pair<double, double>> pairs = spread(recordedAtan2, kRecordedPerFunction);
  for (const auto& p : arctangent2Arguments()) pairs.push_back(p);
  for (const auto& [y, x] : kAtan2BetweenCodePaths) pairs.push_back({fromBits(y), fromBits(x)});
  std::mt19937_64 generator(8);
  for (int i = 0; i < kRandomPerFunction; ++i) pairs.push_back({fromBits(generator()), fromBits(generator())});
  for (const auto& [y, x] : pairs) writeLine("atan2", {y, x}, {atan2F(y, x)});
  return 0;
}
