#!/usr/bin/env bash
# Installs the Debian packages that building kadrix needs and this machine
# lacks; with --tests also what the test suite needs, with --bench the
# reference scripts/catalogue_bench.sh measures against. Run as root (or
# with sudo that asks no password); otherwise it prints the one apt-get line
# that installs what is missing and fails.
#   bash scripts/install-deps.sh [--tests] [--bench]
set -euo pipefail

# Google Benchmark is built with everything else: the stage benchmarks.
# SEP measures kadrix-inspect's catalogue.
packages=(cmake g++ make pkg-config libcfitsio-dev zlib1g-dev libpng-dev libfftw3-dev libbenchmark-dev libsep-dev)
want_tests=false
for arg in "$@"; do
  case "$arg" in
    --tests) want_tests=true ;;
    # SExtractor, for the catalogue benchmark only: no test runs it.
    --bench) packages+=(source-extractor) ;;
    *) echo "unknown option $arg" >&2; exit 2 ;;
  esac
done
if $want_tests; then
  # GoogleTest for the suite, Chromium to load the night report, GNU
  # parallel for kadrix-nights and the several-hosts example, groff and
  # man-db to render the reference pages (minimal images lack them),
  # openssh-server for the private sshd of the hosts tests, slurm-wlm and
  # munge for the single-node Slurm of the cluster tests.
  packages+=(libgtest-dev libgmock-dev chromium parallel groff-base man-db openssh-server slurm-wlm munge)
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

if [[ $(id -u) -eq 0 ]]; then
  run=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  run=(sudo)
else
  echo "Missing Debian packages; install them with:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "== installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${run[@]}" apt-get update
"${run[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
