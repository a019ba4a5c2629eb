#!/usr/bin/env bash
# Builds kadrix and the sample-data generator, writes a fresh sample night
# into build/demo/ and runs kadrix on it. Exits with kadrix's status.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== building (Release, build/)"
# A first configure leaves the test suite out, so the demo needs nothing
# beyond a compiler and CMake; scripts/test.sh switches it on for good.
options=(-DCMAKE_BUILD_TYPE=Release)
[[ -f build/CMakeCache.txt ]] || options+=(-DKADRIX_BUILD_TESTS=OFF)
cmake -S . -B build "${options[@]}" >/dev/null
cmake --build build -j2 --target kadrix kadrix-demo kadrix-inspect kadrix-import kadrix-nights

echo
echo "== writing sample frames into build/demo/"
rm -rf build/demo
build/tools/demo/kadrix-demo build/demo

echo
echo "== build/kadrix build/demo/ build/demo/lista.list"
# The directory argument is a prefix of every file name: keep its '/'.
status=0
build/kadrix build/demo/ build/demo/lista.list || status=$?

echo
echo "== result files (NAMESR.BMP whole part of the mean, NAMESS.BMP fraction + detection flag)"
shopt -s nullglob
results=(build/demo/*SR.BMP build/demo/*SS.BMP)
if ((${#results[@]})); then
  ls -l "${results[@]}"
else
  echo "none written"
fi
echo "kadrix exit status: $status"
exit "$status"
