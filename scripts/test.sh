#!/usr/bin/env bash
# Builds everything, the test suite included, into build/ and runs the
# tests through ctest. Exits with ctest's status.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --tests
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKADRIX_BUILD_TESTS=ON
cmake --build build -j2
exec ctest --test-dir build --output-on-failure -j2
