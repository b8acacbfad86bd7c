#!/usr/bin/env bash
# Sets up, builds and runs ondavix-sim; arguments are passed to it (default: one day).
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what the simulator needs: its packages, the program and the firmware image it loads
# (and ondavix-kvx, for the telecommands of a --host-script); no tests.
./scripts/setup.sh --sim ondavix-sim ondavix_fw_image ondavix-kvx
if [ $# -eq 0 ]; then set -- --duration 86400 --out out/day; fi
exec ./build/ondavix-sim "$@"
