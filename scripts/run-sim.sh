#!/usr/bin/env bash
# Sets up, builds and runs ondavix-sim; arguments are passed to it (default: one day).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
if [ $# -eq 0 ]; then set -- --duration 86400 --out ondavix-out; fi
exec ./build/ondavix-sim "$@"
