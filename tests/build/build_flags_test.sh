#!/usr/bin/env bash
# The build owns the arithmetic: builds the simulator alone (target vdsim)
# with the compilers, build types and flags people build it with, and checks
# in each that the golden scenario's output is byte-identical; then checks
# that each option vdsim refuses stops the configure step with its reason.
#
#   tests/build/build_flags_test.sh [--all] [WORK_DIR]    (default: build-flags)
#
# By default (CI, .ci/run; about two minutes on two cores) one build of each
# kind: unoptimized, link-time optimized, packagers' flags, without the AVX2
# solver, and both compilers at -O3 with the flags vdsim overrides (g++'s
# also for this machine's instruction set). --all adds the plain build types
# and options these cover (g++ Release, RelWithDebInfo, MinSizeRel, -O3 and
# -O2 -march=native; clang++ Release and Debug), about three minutes more.
# Build directories and logs go to WORK_DIR; JOBS (default 2) compile jobs.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
all=0
if [ "${1:-}" = --all ]; then all=1; shift; fi
work=$(realpath -m "${1:-$root/build-flags}")
jobs=${JOBS:-2}
mkdir -p "$work"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# build NAME [VAR=VALUE...] CMAKE_ARGS...: configures WORK_DIR/NAME with the
# environment variables and CMake arguments given, builds vdsim there and
# runs the golden scenario with it.
build() {
  local name=$1; shift
  local dir="$work/$name" log="$work/$name.log" start=$SECONDS environment=()
  while [ $# -gt 0 ] && [[ $1 != -* ]]; do environment+=("$1"); shift; done
  rm -rf "$dir"
  if ! env "${environment[@]}" cmake -S "$root" -B "$dir" -DBUILD_TESTING=OFF "$@" >"$log" 2>&1 ||
     ! cmake --build "$dir" -j "$jobs" --target vdsim >>"$log" 2>&1; then
    fail "$name: the build failed (log $log)"; tail -n 15 "$log"; return
  fi
  if ! bash "$root/tests/driver/golden_test.sh" "$dir/vdsim" >>"$log" 2>&1; then
    fail "$name: the golden output differs (log $log)"; tail -n 4 "$log"; return
  fi
  echo "ok   $name: golden output byte-identical ($((SECONDS - start)) s)"
}

# refused NAME MESSAGE_FLAG [VAR=VALUE...] CMAKE_ARGS...: the configure step
# must stop with the reason for refusing MESSAGE_FLAG.
refused() {
  local name=$1 flag=$2; shift 2
  local dir="$work/refused-$name" log="$work/refused-$name.log" environment=()
  while [ $# -gt 0 ] && [[ $1 != -* ]]; do environment+=("$1"); shift; done
  rm -rf "$dir"
  if env "${environment[@]}" cmake -S "$root" -B "$dir" -DBUILD_TESTING=OFF "$@" >"$log" 2>&1; then
    fail "refused $name: the configure step accepted $flag"
  elif ! tr -s ' \n' ' ' <"$log" | grep -q -- "contains $flag, which vdsim cannot be built with: it"; then
    fail "refused $name: the configure step failed without saying why (log $log)"; tail -n 8 "$log"
  else
    echo "ok   refused $name"
  fi
  rm -rf "$dir"
}

start=$SECONDS
gcc=(-DCMAKE_CXX_COMPILER=g++)
clang=(-DCMAKE_CXX_COMPILER=clang++)

# The build types of both compilers. (make test's own build is g++ Release,
# checked by ctest golden_output.)
build gcc-debug "${gcc[@]}" -DCMAKE_BUILD_TYPE=Debug
build clang-thin-lto "${clang[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
if [ $all = 1 ]; then
  build gcc-release "${gcc[@]}" -DCMAKE_BUILD_TYPE=Release
  build gcc-relwithdebinfo "${gcc[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  build gcc-minsizerel "${gcc[@]}" -DCMAKE_BUILD_TYPE=MinSizeRel
  build clang-release "${clang[@]}" -DCMAKE_BUILD_TYPE=Release
  build clang-debug "${clang[@]}" -DCMAKE_BUILD_TYPE=Debug
fi

# Debian's packaging flags, passed the way debhelper passes them (CPPFLAGS
# appended to CXXFLAGS, build type None).
build debian-packaging \
  "CXXFLAGS=-g -O2 -ffile-prefix-map=$root=. -fstack-protector-strong -Wformat -Werror=format-security -Wdate-time -D_FORTIFY_SOURCE=2" \
  "LDFLAGS=-Wl,-z,relro" "${gcc[@]}" -DCMAKE_BUILD_TYPE=None

if ! grep -q -e '-fstack-protector-strong.*-ffp-contract=off' \
     "$work/debian-packaging/CMakeFiles/vdsimcore.dir/flags.make" 2>/dev/null; then
  fail "debian-packaging: the packaging flags did not reach the compile line"
fi

# Higher optimization and this machine's instruction set.
[ $all = 1 ] && build gcc-O3 "${gcc[@]}" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG"
[ $all = 1 ] && build gcc-O2-march-native "${gcc[@]}" -DCMAKE_BUILD_TYPE=None "-DCMAKE_CXX_FLAGS=-O2 -march=native"

# The solver without its AVX2 variant.
build gcc-no-avx2-solver "${gcc[@]}" -DCMAKE_BUILD_TYPE=Release -DVDSIM_AVX2_SOLVER=OFF

# Flags that would change results but that vdsim's own options override:
# they must come first on the compile line and change nothing, with g++ also
# on this machine's instruction set (fused multiply-add where it has one).
# options_last NAME OPTION...: in NAME's compile line of time_step.cpp each
# OPTION is the last of its kind.
options_last() {
  local name=$1 option kind; shift
  local command
  command=$(grep -e '-c [^ ]*/time_step.cpp' "$work/$name/compile_commands.json" 2>/dev/null)
  for option in "$@"; do
    kind=${option#-f}; kind=${kind#no-}; kind=${kind%%=*}
    if [ "$(grep -o -E -- "-f(no-)?$kind(=[a-z]*)?( |\$)" <<<"$command" | tail -n 1 | tr -d ' ')" != "$option" ]; then
      fail "$name: $option is not the last -f...$kind option: $command"; return
    fi
  done
  echo "ok   $name: vdsim's floating-point options come after the user's"
}
build gcc-overridden "${gcc[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  "-DCMAKE_CXX_FLAGS=-O3 -march=native -ftree-vectorize -ftree-loop-vectorize -ftree-slp-vectorize -ffp-contract=fast -fassociative-math -fno-signed-zeros -fno-trapping-math -freciprocal-math"
options_last gcc-overridden -ffp-contract=off -fno-tree-slp-vectorize -fno-tree-loop-vectorize \
  -fno-associative-math -fno-reciprocal-math -fsigned-zeros
build clang-overridden "${clang[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  "-DCMAKE_CXX_FLAGS=-O3 -fvectorize -fslp-vectorize -ffp-contract=fast -fassociative-math -fno-signed-zeros -fno-trapping-math -freciprocal-math"
options_last clang-overridden -ffp-contract=off -fno-slp-vectorize -fno-vectorize \
  -fno-associative-math -fno-reciprocal-math -fsigned-zeros

# Options that cannot be overridden stop the configure step, wherever the
# user, a packager or a toolchain file put them.
refused fast-math -ffast-math "${gcc[@]}" "-DCMAKE_CXX_FLAGS=-O2 -ffast-math"
refused Ofast -Ofast "${gcc[@]}" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-Ofast"
refused unsafe-math -funsafe-math-optimizations "${gcc[@]}" "-DCMAKE_CXX_FLAGS=-funsafe-math-optimizations"
refused finite-math -ffinite-math-only "${gcc[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g -ffinite-math-only"
refused clang-fast-math -ffast-math "${clang[@]}" "-DCMAKE_CXX_FLAGS=-ffast-math"
refused cxxflags-environment -ffast-math "CXXFLAGS=-O2 -ffast-math" "${gcc[@]}"
refused link-flags -Ofast "${gcc[@]}" "-DCMAKE_EXE_LINKER_FLAGS=-Ofast"

echo "$failures failed ($((SECONDS - start)) s)"
exit $((failures > 0))
