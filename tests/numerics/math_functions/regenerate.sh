#!/usr/bin/env bash
# Rewrites math_functions.txt, the C library maths results that
# tests/numerics/math_functions_test.cpp checks, from this machine's library.
#
#   tests/numerics/math_functions/regenerate.sh [BUILD_DIR]   (default: build)
#
# Builds two programs that `make` does not build: vdsim_math_recorder (the
# simulator, each maths call a real one, recording its argument) and
# write_math_table. Runs the recorder on the golden scenario and the examples,
# checks that its golden output is the real one, and writes the table from the
# recorded arguments plus hard cases. Regenerate only on the reference system
# (x86-64, glibc 2.36) or when vdsim calls a new function, and say why in the
# commit message.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=$(realpath -m "${1:-$root/build}")
here="$root/tests/numerics/math_functions"

[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DBUILD_TESTING=ON
cmake --build "$build" -j 2 --target vdsim_math_recorder write_math_table

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
export VDSIM_MATH_RECORD="$work/arguments.txt"
for scenario in "$root/tests/driver/golden" "$root"/examples/*/; do
  [ -f "$scenario/Events.ini" ] || continue
  name=$(basename "$scenario")
  mkdir -p "$work/$name/Data"
  cp "$scenario"/*.ini "$scenario"/*.params "$scenario"/*.pkj "$work/$name/"
  (cd "$work/$name" && "$build/tests/vdsim_math_recorder" >/dev/null)
  echo "recorded $name"
done
cmp "$work/golden/Data/Output.csv" "$root/tests/driver/golden/Output.csv" ||
  { echo "the recorder's golden output differs from the real one" >&2; exit 1; }

"$build/tests/write_math_table" < "$work/arguments.txt" > "$here/math_functions.txt"
echo "wrote $here/math_functions.txt: $(grep -vc '^#' "$here/math_functions.txt") results from" \
     "$(sort -u "$work/arguments.txt" | wc -l) distinct recorded arguments"
