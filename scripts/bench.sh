#!/usr/bin/env bash
# Whole-run comparison: the fast kadrix against the straightforward build
# (reference kernels, 100-frame stack, -O2), on 4 objects of 20 frames of
# 1024 x 1024 pixels from the demo generator. Runs them alternately and
# prints the median times, their ratio and both peak memories.
#   bash scripts/bench.sh [runs]        (default 7 runs each)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target kadrix kadrix-demo kadrix_bench >/dev/null
cmake -S . -B build-straightforward -DCMAKE_BUILD_TYPE=Release -DKADRIX_STRAIGHTFORWARD=ON \
  -DKADRIX_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
cmake --build build-straightforward -j2 --target kadrix >/dev/null

night=build/bench-night
rm -rf "$night"
build/tools/demo/kadrix-demo --objects 4 --frames 20 --width 1024 --height 1024 --seed 1 "$night/" >/dev/null

python3 scripts/compare_runs.py --runs "$runs" \
  --fast build/kadrix --straightforward build-straightforward/kadrix \
  --dir "$night/" --list "$night/lista.list"
