#!/usr/bin/env bash
# Sets up, builds and runs every test (unit, scenario, interop) with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cd build
ctest --output-on-failure -j"$(nproc)" --timeout 900
