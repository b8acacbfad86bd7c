#!/usr/bin/env bash
# Sets up, builds and runs ondavix-sim; arguments are passed to it (default: one day).
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what the simulator needs: the program and the firmware image it loads.
./scripts/setup.sh ondavix-sim ondavix_fw_image ondavix-kvx
if [ $# -eq 0 ]; then set -- --duration 86400 --out ondavix-out; fi
exec ./build/ondavix-sim "$@"
