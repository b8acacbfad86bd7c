#!/usr/bin/env bash
# run_fuzz.sh SOURCE_DIR BUILD_DIR TARGET SECONDS: builds one fuzz target with clang,
# libFuzzer, ASan and UBSan, and runs it for SECONDS, starting from the inputs kept in
# inputs/TARGET (seeds and earlier findings, never written to). Fails on any crash, sanitizer
# report or an input that runs longer than 30 s.
set -euo pipefail
src=$1 build=$2 target=$3 seconds=$4
if ! command -v clang++ >/dev/null; then
  echo "clang++ is not installed: cannot build $target" >&2
  exit 1
fi
cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDAVIX_SANITIZE=ON -DONDAVIX_FUZZ=ON >/dev/null
# At most two jobs: the build machine is shared.
cmake --build "$build" --target "$target" -j2 >/dev/null
corpus="$build/corpus-$target"
mkdir -p "$corpus"
kept=()
if [ -d "$src/tests/fuzz/inputs/$target" ]; then kept=("$src/tests/fuzz/inputs/$target"); fi
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$build/$target" "$corpus" "${kept[@]}" -max_total_time="$seconds" -max_len=2048 -timeout=30 \
  -print_final_stats=1 2>&1 | tail -n 25
