#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Ondavix, then configures
# and builds it in build/ (BUILD_TYPE from the environment, default Release). Arguments
# name the targets to build; without any, everything is built.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
command -v mkfs.fat >/dev/null || need+=(dosfstools)
command -v mdir >/dev/null || need+=(mtools)
command -v clang++ >/dev/null || need+=(clang)
[ -f /usr/include/fftw3.h ] || need+=(libfftw3-dev)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
# The cross build and the emulated run of the target.* test (scripts/run-qemu.sh).
command -v arm-none-eabi-gcc >/dev/null || need+=(gcc-arm-none-eabi)
[ -f /usr/include/newlib/nano/newlib.h ] || need+=(libnewlib-arm-none-eabi)
[ -n "$(arm-none-eabi-gcc -mcpu=cortex-m0plus -mthumb -print-file-name=libstdc++_nano.a 2>/dev/null | grep /)" ] \
  || need+=(libstdc++-arm-none-eabi-newlib)
command -v qemu-system-arm >/dev/null || need+=(qemu-system-arm)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build build -j"$(nproc)" "${targets[@]}"
