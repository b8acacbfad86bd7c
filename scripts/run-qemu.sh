#!/usr/bin/env bash
# Runs a recorded sensor stream through the replay harness of board/qemu twice: compiled for
# the host (build/ondavix-replay) and compiled for the Cortex-M0 in QEMU's micro:bit machine
# (build-target/ondavix-qemu.elf). Both runs have DIP switch 1 closed, so every sample is
# echoed on the console. Compares the console and host bytes and prints "identical" or the
# first differing line; then measures the instructions per sample (below). Exit 0 only
# when the bytes are identical.
#
#   scripts/run-qemu.sh [STREAM]      (default tests/data/sensor_120s.bin)
#
# Instructions per sample: QEMU runs with -icount shift=0 (one instruction per nanosecond
# of virtual time); the image reads SysTick, whose counts it converts to instructions with
# a factor measured at start on a loop of 2,000,000 instructions. Two more runs with DIP
# switch 1 open (no echo, as in service): the stream, and the same timeline with its bytes
# withheld from the sensor port (the idle baseline: start-up, ticks, the polling loop).
# Printed: the instructions of the firmware's handling of one received sensor block (one
# epoch: framing, CRC, decoding, wave analysis, records), averaged over the stream run;
# and, for the whole cost of a sample, (stream run - idle run) / records, which also holds
# the byte-by-byte reception and the polling of the harness's time model.
#
# The toolchain and QEMU are installed by scripts/build-target.sh when missing; with
# ONDAVIX_NO_INSTALL=1 (the CTest test) a missing one ends the script with status 77.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
stream=${1:-tests/data/sensor_120s.bin}
build=${ONDAVIX_BUILD:-build}
[ -f "$stream" ] || { echo "run-qemu: $stream: no such stream file" >&2; exit 2; }

if [ "${ONDAVIX_NO_INSTALL:-0}" = 1 ]; then
  for tool in arm-none-eabi-gcc qemu-system-arm; do
    command -v "$tool" >/dev/null || { echo "run-qemu: $tool not installed: skipped"; exit 77; }
  done
  for lib in libc_nano.a:libnewlib-arm-none-eabi libstdc++_nano.a:libstdc++-arm-none-eabi-newlib; do
    [ -n "$(arm-none-eabi-gcc -mcpu=cortex-m0plus -mthumb -print-file-name="${lib%%:*}" | grep /)" ] \
      || { echo "run-qemu: ${lib#*:} not installed: skipped"; exit 77; }
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
./scripts/build-target.sh >"$work/build-target.log" 2>&1 || { cat "$work/build-target.log" >&2; exit 2; }
if [ ! -x "$build/ondavix-replay" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target ondavix-replay -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 2; }
fi
replay=$(cd "$build" && pwd)/ondavix-replay
elf=$root/build-target/ondavix-qemu.elf
cp "$stream" "$work/stream.bin"

# qemu_run NAME ARG...: the image in $work with the given harness arguments; its report
# (over semihosting) in $work/NAME.report.
qemu_run() {
  local name=$1 args="" a
  shift
  for a in "$@"; do args+=",arg=$a"; done
  if ! (cd "$work" && timeout 600 qemu-system-arm -M microbit -nographic -monitor none -serial none \
          -icount shift=0 -chardev file,id=semi,path="$name.report" \
          -semihosting-config enable=on,target=native,chardev=semi,arg=ondavix-qemu"$args" \
          -kernel "$elf"); then
    echo "run-qemu: the QEMU run '$name' failed:" >&2
    cat "$work/$name.report" >&2
    exit 1
  fi
}

(cd "$work" && "$replay" stream.bin host.console host.host dip1=closed >host.report) \
  || { echo "run-qemu: the host run failed:" >&2; cat "$work/host.report" >&2; exit 1; }
qemu_run qemu stream.bin qemu.console qemu.host dip1=closed
grep '^records:' "$work/qemu.report"

status=0
for port in console host; do
  if ! cmp -s "$work/host.$port" "$work/qemu.$port"; then
    line=$(cmp "$work/host.$port" "$work/qemu.$port" 2>&1 | sed -n 's/.* line \([0-9]*\).*/\1/p' || true)
    [ -n "$line" ] || line=$(( $(wc -l <"$work/host.$port") + 1 )) # one is a prefix of the other
    echo "$port bytes differ, first at line $line:"
    echo "  host: $(sed -n "${line}p" "$work/host.$port" | cut -c1-160)"
    echo "  qemu: $(sed -n "${line}p" "$work/qemu.$port" | cut -c1-160)"
    status=1
  fi
done
if [ $status -eq 0 ]; then
  echo "identical ($(wc -c <"$work/host.console") console bytes, $(wc -c <"$work/host.host") host bytes)"
fi

qemu_run busy stream.bin busy.console busy.host dip1=open
qemu_run idle stream.bin idle.console idle.host dip1=open idle
busy=$(sed -n 's/^instructions: //p' "$work/busy.report")
idle=$(sed -n 's/^instructions: //p' "$work/idle.report")
records=$(sed -n 's/^records: \([0-9]*\),.*/\1/p' "$work/busy.report")
blocks=$(sed -n 's/^sensor blocks handled: //p' "$work/busy.report")
in_blocks=$(sed -n 's/^instructions in them: //p' "$work/busy.report")
grep -h '^calibration:\|^stack:' "$work/busy.report"
echo "instructions: $busy with the stream, $idle idle, $records records; $in_blocks in $blocks sensor blocks"
echo "instructions per sample: $(( in_blocks / blocks )) (sensor block handling; with reception and polling: $(( (busy - idle) / records )))"
exit $status
