// Linked into vdsim_math_recorder, a copy of the simulator built with
// -fno-builtin (every maths function a real call) and -Wl,--wrap=<function>
// for each C library maths function vdsim uses: each call is passed on to the
// library unchanged and its argument remembered. At exit the distinct
// arguments are appended to the file named by VDSIM_MATH_RECORD, one call a
// line: the function's name and each argument's bits in hexadecimal.
// regenerate.sh turns them into the table math_functions_test.cpp checks.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

extern "C" {
double __real_sin(double x);
double __real_cos(double x);
void __real_sincos(double x, double* s, double* c);
double __real_atan(double x);
double __real_atan2(double y, double x);
double __real_exp(double x);
double __real_sqrt(double x);
float __real_sqrtf(float x);
}

namespace {

std::uint64_t bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// The distinct arguments of each function, written out when the run ends.
struct Recorder {
  std::set<std::uint64_t> sin, cos, atan, exp, sqrt;
  std::set<std::pair<std::uint64_t, std::uint64_t>> atan2;

  ~Recorder() {
    const char* path = std::getenv("VDSIM_MATH_RECORD");
    if (!path) return;
    std::FILE* out = std::fopen(path, "a");
    if (!out) {
      std::fprintf(stderr, "vdsim_math_recorder: cannot append to %s\n", path);
      return;
    }
    const std::pair<const char*, const std::set<std::uint64_t>*> single[] = {
        {"sin", &sin}, {"cos", &cos}, {"atan", &atan}, {"exp", &exp}, {"sqrt", &sqrt}};
    for (const auto& [name, args] : single)
      for (std::uint64_t x : *args) std::fprintf(out, "%s %016" PRIx64 "\n", name, x);
    for (const auto& [y, x] : atan2)
      std::fprintf(out, "atan2 %016" PRIx64 " %016" PRIx64 "\n", y, x);
    std::fclose(out);
  }
};

Recorder recorder;

}  // namespace

extern "C" {

double __wrap_sin(double x) {
  recorder.sin.insert(bits(x));
  return __real_sin(x);
}

double __wrap_cos(double x) {
  recorder.cos.insert(bits(x));
  return __real_cos(x);
}

void __wrap_sincos(double x, double* s, double* c) {
  recorder.sin.insert(bits(x));
  recorder.cos.insert(bits(x));
  __real_sincos(x, s, c);
}

double __wrap_atan(double x) {
  recorder.atan.insert(bits(x));
  return __real_atan(x);
}

double __wrap_atan2(double y, double x) {
  recorder.atan2.insert({bits(y), bits(x)});
  return __real_atan2(y, x);
}

double __wrap_exp(double x) {
  recorder.exp.insert(bits(x));
  return __real_exp(x);
}

double __wrap_sqrt(double x) {
  recorder.sqrt.insert(bits(x));
  return __real_sqrt(x);
}

float __wrap_sqrtf(float x) {
  recorder.sqrt.insert(bits(double(x)));
  return __real_sqrtf(x);
}

}  // extern "C"
