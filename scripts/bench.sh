#!/usr/bin/env bash
# Whole-run comparison on this machine, runs alternated, medians:
#  - 4 objects of 20 frames of 1024 x 1024 pixels from the demo generator:
#    kadrix pinned to one core against kadrix on every core, then the
#    straightforward build (reference kernels, 100-frame stack, -O2) against
#    kadrix on every core;
#  - one object of 3 frames of 8192 x 8192 pixels: kadrix on one core and
#    on every core.
# Every run's transcript and result files must match byte for byte.
# Then kadrix-import on a raw night of 16-bit FITS: scripts/bench-import.sh,
# and kadrix-nights' cost a night on each engine: scripts/bench-nights.sh;
# each also runs on its own.
#   bash scripts/bench.sh [runs]        (default 7 runs each)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
if [ ! -x /usr/bin/time ]; then
  echo "bench.sh measures peak memory with GNU time: apt-get install time" >&2
  exit 1
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target kadrix kadrix-demo kadrix_bench >/dev/null
cmake -S . -B build-straightforward -DCMAKE_BUILD_TYPE=Release -DKADRIX_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
cmake --build build-straightforward -j2 --target kadrix-straightforward >/dev/null

night=build/bench-night
rm -rf "$night"
build/tools/demo/kadrix-demo --objects 4 --frames 20 --width 1024 --height 1024 --seed 1 "$night/" >/dev/null
sync
sleep 5
# Two comparisons, each alternating its own builds. On this virtual machine
# a busy second slows what runs next on the core it ran on (all cores were
# 1.47 times one core right after a busy second on core 1, 1.66 times after
# one on core 0), and a parallel run most: one core against all cores goes
# first, apart from the straightforward build's two-second runs.
echo "== 4 objects x 20 frames x 1024 x 1024: one core and all cores"
python3 scripts/compare_runs.py --runs "$runs" --dir "$night/" --list "$night/lista.list" \
  --build "one core=taskset -c 0 build/kadrix" \
  --build "all cores=build/kadrix"
echo "== 4 objects x 20 frames x 1024 x 1024: straightforward and all cores"
python3 scripts/compare_runs.py --runs "$runs" --dir "$night/" --list "$night/lista.list" \
  --build "straightforward=build-straightforward/kadrix-straightforward" \
  --build "all cores=build/kadrix"

sleep 5
big=build/bench-big
if [ ! -f "$big/BIG03.BMP" ]; then
  mkdir -p "$big"
  # A sky of noise between 30 and 60 with a bright pixel every 4099: written
  # straight as 8-bit BMP frames, 64 MiB each.
  python3 - "$big" <<'PY'
import struct, sys
side = 8192
header = (b"BM" + struct.pack("<IHHI", 1078 + side * side, 0, 0, 1078)
          + struct.pack("<IiiHHIIiiII", 40, side, side, 1, 8, 0, side * side, 1, 1, 0, 0)
          + bytes(b for i in range(256) for b in (i, i, i, 0)))
for k in (1, 2, 3):
    state = k * 2654435761 & 0xFFFFFFFF
    block = bytearray(1 << 20)
    for i in range(len(block)):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        block[i] = 30 + (state >> 16) % 31 if i % 4099 else 250
    with open(f"{sys.argv[1]}/BIG{k:02d}.BMP", "wb") as out:
        out.write(header)
        for _ in range(side * side // len(block)):
            out.write(block)
open(f"{sys.argv[1]}/big.list", "w").write("BIG\n")
PY
fi
echo "== 1 object x 3 frames x 8192 x 8192"
python3 scripts/compare_runs.py --runs "$runs" --dir "$big/" --list "$big/big.list" \
  --build "one core=taskset -c 0 build/kadrix" \
  --build "all cores=build/kadrix"

sleep 5
bash scripts/bench-import.sh "$runs"

sleep 5
bash scripts/bench-nights.sh
