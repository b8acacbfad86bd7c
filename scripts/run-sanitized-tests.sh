#!/usr/bin/env bash
# The unit and scenario tests again under the address and undefined-behaviour sanitizers, in
# a build folder of their own (build-sanitize). Only what those tests run is built: the test
# programs, the simulator and the firmware images; line tables only (-g1) keep the objects
# and links small while reports still name the source line.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${ONDAVIX_SANITIZE_BUILD:-build-sanitize}

# float-cast-overflow (a float too large for the integer it is converted to, such as
# seconds into nanoseconds) is not part of -fsanitize=undefined: added where the compiler
# takes it.
extra=""
if echo 'int main() { return 0; }' | "${CXX:-c++}" -x c++ -fsanitize=float-cast-overflow -o /dev/null - 2>/dev/null; then
  extra="-fsanitize=float-cast-overflow"
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1" \
  -DONDAVIX_SANITIZE=ON -DCMAKE_CXX_FLAGS="$extra" >/dev/null
targets=$(cmake --build "$dir" --target help | sed -n 's/^\.\.\. \(\(unit\|scenario\)_[A-Za-z0-9_]*\).*/\1/p')
[ -n "$targets" ] || { echo "$dir: no unit or scenario test programs to build" >&2; exit 1; }
# shellcheck disable=SC2086
cmake --build "$dir" -j"$(nproc)" --target ondavix-sim ondavix_fw_image ondavix_probe_fw $targets
cd "$dir"
# A finding of the undefined-behaviour sanitizer ends the test (and fails it) instead of
# being printed and passed over.
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j"$(nproc)" --timeout 900 -R '^(unit|scenario)\.'
