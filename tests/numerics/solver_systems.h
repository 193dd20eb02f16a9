// Linear systems for checking and timing the solvers: augmented matrices in
// the memory layouts callers use, systems with the vehicle's block pattern,
// and the systems of whole example runs. Shared by the solver tests and the
// benchmarks.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "definition/token_reader.h"
#include "driver/event_file.h"
#include "driver/event_script.h"
#include "dynamics/vehicle.h"

namespace vdsim {
namespace solvertest {

// An n x (n + 1) augmented matrix, row by row.
using Values = std::vector<std::vector<float>>;

// Where the rows of a system live in memory.
enum class Storage {
  kPadded,     // one block, rows padded to 8 floats and aligned to 32 bytes (the Vehicle's)
  kExact,      // each row its own allocation of exactly n + 1 floats
  kUnaligned,  // one block, rows of n + 1 floats, the first at an odd float offset
};

// An augmented system behind row pointers, as the solvers take it.
class Rows {
 public:
  Rows(const Values& values, Storage storage) : n_(int(values.size())) {
    const std::size_t width = std::size_t(n_) + 1;
    if (storage == Storage::kExact) {
      perRow_.resize(n_);
      for (int r = 0; r < n_; ++r) {
        perRow_[r].assign(values[r].begin(), values[r].end());
        pointers_.push_back(perRow_[r].data());
      }
      return;
    }
    const std::size_t stride = storage == Storage::kPadded ? (width + 7) / 8 * 8 : width;
    block_.assign(stride * n_ + 16, 0.0f);
    float* first = block_.data();
    if (storage == Storage::kPadded) {
      const auto base = reinterpret_cast<std::uintptr_t>(first);
      first += ((32 - base % 32) % 32) / sizeof(float);
    } else {
      const auto base = reinterpret_cast<std::uintptr_t>(first);
      first += ((16 - base % 16) % 16) / sizeof(float) + 1;
    }
    for (int r = 0; r < n_; ++r) {
      float* row = first + stride * r;
      std::memcpy(row, values[r].data(), width * sizeof(float));
      pointers_.push_back(row);
    }
  }
  // An all-zero n x (n + 1) system.
  Rows(int n, Storage storage) : Rows(Values(n, std::vector<float>(n + 1, 0.0f)), storage) {}
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  float** rows() { return pointers_.data(); }
  int n() const { return n_; }
  // Copies the values of a system of the same size.
  void load(const Values& values) {
    for (int r = 0; r < n_; ++r) {
      std::memcpy(pointers_[r], values[r].data(), (std::size_t(n_) + 1) * sizeof(float));
    }
  }
  // Copies columns 0 .. n of the n rows of another system of the same size.
  void load(float* const* source) {
    for (int r = 0; r < n_; ++r) {
      std::memcpy(pointers_[r], source[r], (std::size_t(n_) + 1) * sizeof(float));
    }
  }
  // True when columns 0 .. n hold the same bits as those of other.
  bool sameBits(const Rows& other) const {
    if (other.n_ != n_) return false;
    for (int r = 0; r < n_; ++r) {
      if (std::memcmp(pointers_[r], other.pointers_[r], (std::size_t(n_) + 1) * sizeof(float))) {
        return false;
      }
    }
    return true;
  }
  // The matrix as it stands, columns 0 .. n.
  Values values() const {
    Values v(n_);
    for (int r = 0; r < n_; ++r) v[r].assign(pointers_[r], pointers_[r] + n_ + 1);
    return v;
  }

 private:
  int n_;
  std::vector<std::vector<float>> perRow_;
  std::vector<float> block_;
  std::vector<float*> pointers_;
};

// True when two float arrays hold the same bits (so -0 and +0 differ, and
// NaNs must agree in sign and payload).
inline bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Settings of vehicleLikeSystem.
struct VehicleLikeKnobs {
  double zeroChance = 0.15;     // chance that a coefficient is an exact zero (then -0 where negated)
  double zeroRhsChance = 0.15;  // chance that a right-hand side is +0 or -0
  bool straightFront = false;   // front steer exactly 0 (spin axes (-0, 1, 0))
};

// A 66 x 67 system with the block pattern of the four-corner vehicle:
// chassis, unsprung, wheel and constraint rows, with random coefficients of
// plausible size. Zeros fall as the assembly makes them: a negated zero is -0.
inline Values vehicleLikeSystem(std::mt19937& rng, const VehicleLikeKnobs& knobs) {
  constexpr int a = 4, n = 15 * a + 6;
  Values m(n, std::vector<float>(n + 1, 0.0f));
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto around = [&](double typical) {
    if (unit(rng) < knobs.zeroChance) return 0.0f;
    return float(typical * (0.5 + unit(rng)));
  };
  auto signedAround = [&](double typical) {
    const float v = around(typical);
    return unit(rng) < 0.5 ? v : -v;
  };
  auto rhs = [&](double typical) {
    if (unit(rng) < knobs.zeroRhsChance) return unit(rng) < 0.5 ? 0.0f : -0.0f;
    return signedAround(typical);
  };
  const float mass = float(1500.0 * (0.5 + unit(rng)));
  float inertia[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 3; ++k) inertia[i][k] = i == k ? around(2000.0) + 100.0f : around(50.0);
  }
  for (int j = 0; j < 3; ++j) {
    m[j][j] = -mass;
    m[j][n] = rhs(15000.0);
    for (int k = 0; k < 3; ++k) m[3 + j][3 + k] = -inertia[j][k];
    m[3 + j][n] = rhs(500.0);
  }
  for (int p = 0; p < a; ++p) {
    const int b = 6 + 15 * p;
    const float rx = p < 2 ? around(1.3) : -around(1.4);
    const float ry = p % 2 == 0 ? -around(0.8) : around(0.8);
    const float rz = signedAround(0.3);
    const float delta = p < 2 && !knobs.straightFront ? signedAround(0.1) : 0.0f;
    const float ex = float(-std::sin(double(delta))), ey = float(std::cos(double(delta)));
    const float unsprung = around(40.0) + 1.0f, wheelMass = around(15.0) + 1.0f;
    const double i00 = around(0.8) + 0.1, i11 = around(1.2) + 0.1, i22 = around(0.8) + 0.1;
    const double c = std::cos(double(delta)), s = std::sin(double(delta));
    const float jxx = float(c * c * i00 + s * s * i11);
    const float jc = float(-c * s * i00 + c * s * i11);
    const float jyy = float(s * s * i00 + c * c * i11);
    const float jzz = float(i22);
    // Chassis rows.
    for (int j = 0; j < 3; ++j) m[j][b + j] = -1.0f;
    m[3][b + 2] = -ry;
    m[3][b + 1] = rz;
    m[3][b + 9] = -1.0f;
    m[4][b + 0] = -rz;
    m[4][b + 2] = rx;
    m[4][b + 10] = -1.0f;
    m[5][b + 1] = -rx;
    m[5][b + 0] = ry;
    m[5][b + 11] = -1.0f;
    // Unsprung rows.
    for (int j = 0; j < 3; ++j) {
      const int k = 6 + 3 * p + j;
      m[k][b + 6 + j] = -1.0f;
      m[k][b + j] = 1.0f;
      m[k][b + 3 + j] = -unsprung;
      m[k][n] = rhs(j == 2 ? 3000.0 : 300.0);
    }
    // Wheel rows.
    const int w = 3 * a + 6 + 6 * p;
    for (int j = 0; j < 3; ++j) {
      m[w + j][b + 6 + j] = 1.0f;
      m[w + j][b + 3 + j] = -wheelMass;
      m[w + j][n] = rhs(3000.0);
    }
    m[w + 3][b + 9] = 1.0f;
    m[w + 3][b + 12] = -jxx;
    m[w + 3][b + 13] = -jc;
    m[w + 4][b + 10] = 1.0f;
    m[w + 4][b + 12] = -jc;
    m[w + 4][b + 13] = -jyy;
    m[w + 5][b + 11] = 1.0f;
    m[w + 5][b + 14] = -jzz;
    for (int j = 3; j < 6; ++j) m[w + j][n] = rhs(100.0);
    // Constraint rows.
    const int q = 9 * a + 6 + 6 * p;
    m[q][b + 3] = -1.0f;
    m[q][0] = 1.0f;
    m[q][4] = rz;
    m[q][5] = -ry;
    m[q][n] = rhs(5.0);
    m[q + 1][b + 4] = -1.0f;
    m[q + 1][1] = 1.0f;
    m[q + 1][5] = rx;
    m[q + 1][3] = -rz;
    m[q + 1][n] = rhs(5.0);
    m[q + 2][b + 2] = 1.0f;
    m[q + 3][5] = -1.0f;
    m[q + 3][b + 14] = 1.0f;
    m[q + 4][b + 9] = ex;
    m[q + 4][b + 10] = ey;
    m[q + 4][n] = 0.0f;
    m[q + 5][3] = ey;
    m[q + 5][b + 12] = -ey;
    m[q + 5][4] = -ex;
    m[q + 5][b + 13] = ex;
  }
  return m;
}

// One assembled system of an example run, with where in the run it was.
struct RecordedSystem {
  int step = 0;          // 0-based step of the run
  int event = 0;         // index of the script's current event (0 settle, 1 launch, ...)
  Values values;         // the matrix before the solve
  Values previous;       // the matrix of the step before (none for the first step)
};

// A car and its script loaded from an example directory and set up as the
// simulator sets them up, ready for the first step.
struct ExampleCar {
  Vehicle vehicle;
  EventScript script{vehicle};

  // Reads dir's "Events.ini" and car files. Returns false with error set when
  // they cannot be read.
  bool load(const std::string& dir, std::string& error) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(dir.c_str()) != 0) {
      error = dir + ": cannot enter the directory";
      return false;
    }
    std::string text;
    CarChoice car;
    const bool loaded = TokenReader::readFile("Events.ini", text, error) &&
                        readEventText("Events.ini", text, script, car, error) &&
                        vehicle.loadCar(car.baseName, error);
    if (chdir(cwd) != 0 || !loaded) return false;
    vehicle.initialize();
    vehicle.setUpSystem(kCornerCount);
    vehicle.setTimeStep(car.timeStep);
    return true;
  }
};

// Runs the example whose files are in dir step by step, as the simulator
// does, calling onAssembled(vehicle, step, event) between each step's
// assembly and its solve. Stops early when onAssembled returns false or after
// maxSteps steps (when positive). Returns false with error set when the
// example cannot be loaded.
inline bool runExample(const std::string& dir,
                       const std::function<bool(Vehicle&, int, int)>& onAssembled,
                       std::string& error, int maxSteps = 0) {
  ExampleCar example;
  if (!example.load(dir, error)) return false;
  Vehicle& vehicle = example.vehicle;
  for (int step = 0; (maxSteps <= 0 || step < maxSteps) && example.script.update(); ++step) {
    vehicle.assembleSystem();
    if (!onAssembled(vehicle, step, int(example.script.currentEvent))) break;
    vehicle.solveSystem();
    vehicle.integrate();
  }
  return true;
}

// The example directories that hold an event file.
inline std::vector<std::string> exampleDirectories() {
  std::vector<std::string> dirs;
  const std::string root = std::string(VDSIM_SOURCE_DIR) + "/examples";
  if (DIR* d = opendir(root.c_str())) {
    while (dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      struct stat info;
      if (name[0] != '.' && stat((root + "/" + name + "/Events.ini").c_str(), &info) == 0) {
        dirs.push_back(root + "/" + name);
      }
    }
    closedir(d);
  }
  return dirs;
}

// The matrix of the vehicle's system as it stands, columns 0 .. n.
inline Values systemValues(const Vehicle& vehicle) {
  const int n = vehicle.unknownCount;
  Values v(n);
  for (int r = 0; r < n; ++r) {
    v[r].assign(vehicle.systemMatrix[r], vehicle.systemMatrix[r] + n + 1);
  }
  return v;
}

}  // namespace solvertest
}  // namespace vdsim
