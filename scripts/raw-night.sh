#!/usr/bin/env bash
# The raw night from camera to result: kadrix-demo --raw writes lights as an
# uncalibrated camera gives them, with darks and flats; kadrix runs on the
# raw lights (before), kadrix-import calibrates them into another directory
# (after), kadrix runs again, and each object's result is compared with the
# stars the generator placed: stars found, false sources, star width.
#   bash scripts/raw-night.sh [directory]       (default build/raw-night)
# KADRIX_IMPORT_OPTIONS holds further import options, e.g. --align.
set -euo pipefail
cd "$(dirname "$0")/.."
night=${1:-build/raw-night}
night=${night%/}
import_options=${KADRIX_IMPORT_OPTIONS:-}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target kadrix kadrix-demo kadrix-import kadrix-inspect >/dev/null

echo "== build/tools/demo/kadrix-demo --raw $night"
rm -rf "$night"
build/tools/demo/kadrix-demo --raw "$night"

echo
echo "== before: build/kadrix $night/ $night/lista.list"
build/kadrix "$night/" "$night/lista.list"

calibrated=$night/calibrated
mkdir -p "$calibrated"
mapfile -t names < <(tr -d '\r' <"$night/lista.list")
for name in "${names[@]}"; do
  # Each calibration option takes one source: the series go as @ lists.
  printf '%s\n' "$night/${name}_DARK"[0-9][0-9].BMP >"$calibrated/${name}_darks.txt"
  printf '%s\n' "$night/${name}_FLAT"[0-9][0-9].BMP >"$calibrated/${name}_flats.txt"
  echo
  echo "== build/tools/import/kadrix-import $import_options --dark @$calibrated/${name}_darks.txt" \
    "--flat @$calibrated/${name}_flats.txt $calibrated/ $name $night/$name[0-9][0-9].BMP" \
    "--list $calibrated/lista.list"
  # shellcheck disable=SC2086  # the options are words on purpose
  build/tools/import/kadrix-import $import_options --dark "@$calibrated/${name}_darks.txt" \
    --flat "@$calibrated/${name}_flats.txt" "$calibrated/" "$name" "$night/$name"[0-9][0-9].BMP \
    --list "$calibrated/lista.list" | tee "$calibrated/$name.import.txt" | tail -n 4
done

echo
echo "== after: build/kadrix $calibrated/ $calibrated/lista.list"
build/kadrix "$calibrated/" "$calibrated/lista.list"

echo
echo "== against the placed stars (found: a source within 2 px; false: no star within 2 px;"
echo "   FWHM: median over isolated unsaturated stars found, in px)"
size=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(26); print("%dx%d" % (struct.unpack_from("<i",d,18)[0], abs(struct.unpack_from("<i",d,22)[0])))' \
  "$night/${names[0]}01.BMP")
printf '%-7s %-7s %7s %6s %6s %6s\n' object run placed found false FWHM
for name in "${names[@]}"; do
  for run in before after; do
    origin=()
    if [[ $run == before ]]; then prefix=$night/$name; else prefix=$calibrated/$name; fi
    # An aligned import prints where its common area lies in frame 1.
    if [[ $run == after ]]; then
      corner=$(tr -d '\r' <"$calibrated/$name.import.txt" | sed -n 's/^Wspolny obszar: .*, od x \([0-9]*\), y \([0-9]*\) .*/\1,\2/p')
      [[ -z $corner ]] || origin=(--origin "$corner")
    fi
    build/tools/inspect/kadrix-inspect "$prefix" >"$prefix.sources.txt"
    line=$(python3 scripts/raw-night-figures.py --stars "$night/${name}_stars.csv" \
      --offsets "$night/${name}_offsets.csv" --sources "$prefix.sources.txt" --result "$prefix" \
      --raw-size "$size" "${origin[@]}")
    field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$line"; }
    printf '%-7s %-7s %7s %6s %6s %6s\n' "$name" "$run" "$(field stars)" "$(field found)" "$(field false)" \
      "$(field fwhm)"
    if [[ $line == *grid=frame* ]]; then echo "        (aligned on frame 1: $line)"; fi
  done
done
