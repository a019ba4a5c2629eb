#!/usr/bin/env bash
# kadrix-import on a raw night of 16-bit FITS from a cooled camera: 30
# lights of 1024 x 1024 (stars drifting a few pixels, dark current, hot
# pixels, vignetting, a dust ring), 12 darks, 12 flats and 12 biases,
# written by build/bench/kadrix_import_night. Each way of importing is run
# in turn, runs alternated; the median wall time and the largest peak
# resident memory (GNU time) are printed against the targets: at most
# 1.0 s, and at most 128 bytes a pixel + 64 MiB (192 MiB here).
#   bash scripts/bench-import.sh [runs]       (default 7 runs each)
# KADRIX_IMPORT_OPTIONS replaces the calibration options below; --align is
# added as a second way of importing once kadrix-import knows it.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
if [ ! -x /usr/bin/time ]; then
  echo "bench-import.sh measures peak memory with GNU time: apt-get install time" >&2
  exit 1
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target kadrix-import kadrix_import_night >/dev/null

data=build/bench-import
if [ ! -f "$data/biases.txt" ]; then
  rm -rf "$data"
  mkdir -p "$data"
  build/bench/kadrix_import_night "$data/"
fi
sync
sleep 5

import=build/tools/import/kadrix-import
import_options=${KADRIX_IMPORT_OPTIONS:-"--dark @$data/darks.txt --flat @$data/flats.txt --bias @$data/biases.txt"}
ways=("calibration")
help=$("$import" --help)
if [[ $help == *--align* ]]; then ways+=("calibration + align"); fi
pixels=$((1024 * 1024))
memory_target_kib=$(((128 * pixels + 64 * 1024 * 1024) / 1024))
out=$data/out
measures=$data/measures
rm -f "$measures".*

run() {  # way index, file to append "seconds KiB" to
  local options=$import_options
  [[ ${ways[$1]} == *align* ]] && options+=" --align"
  rm -rf "$out"
  mkdir -p "$out"
  # shellcheck disable=SC2086  # the options are words on purpose
  /usr/bin/time -f '%e %M' -o "$2.one" "$import" $options "$out/" BENCH "$data"/light[0-9][0-9].fits >/dev/null
  cat "$2.one" >>"$2"
}

echo "== kadrix-import: 30 lights + 12 darks + 12 flats + 12 biases, 1024 x 1024, 16-bit FITS"
echo "   options: $import_options"
for ((w = 0; w < ${#ways[@]}; w++)); do run "$w" /dev/null; done  # warm the page cache
for ((r = 0; r < runs; r++)); do
  for ((w = 0; w < ${#ways[@]}; w++)); do run "$w" "$measures.$w"; done
done
printf '%-22s %12s %8s %16s %8s\n' way "median s" "<= 1.0" "peak MiB" "<= $((memory_target_kib / 1024))"
for ((w = 0; w < ${#ways[@]}; w++)); do
  median=$(awk '{print $1}' "$measures.$w" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')
  peak=$(awk '$2 > m {m = $2} END {print m}' "$measures.$w")
  time_ok=$(awk -v t="$median" 'BEGIN {print (t <= 1.0) ? "yes" : "NO"}')
  memory_ok=$(awk -v m="$peak" -v l="$memory_target_kib" 'BEGIN {print (m <= l) ? "yes" : "NO"}')
  printf '%-22s %12s %8s %16.1f %8s\n' "${ways[$w]}" "$median" "$time_ok" "$(awk -v m="$peak" 'BEGIN {print m / 1024}')" \
    "$memory_ok"
done
