#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Ondavix, then configures
# and builds it in build/ (BUILD_TYPE from the environment, default Release). Arguments
# name the targets to build; without any, everything is built.
#   setup.sh --sim TARGETS...   only what the simulator needs: its packages, and a build
#                               folder configured without the tests when it is new
set -euo pipefail
cd "$(dirname "$0")/.."

sim_only=0
if [ "${1:-}" = "--sim" ]; then sim_only=1; shift; fi

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/toml++/toml.hpp ] || need+=(libtomlplusplus-dev)
# The tools beside the simulator (ondavix-analyze) are configured with it.
[ -f /usr/include/fftw3.h ] || need+=(libfftw3-dev)
if [ $sim_only -eq 0 ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  command -v mkfs.fat >/dev/null || need+=(dosfstools)
  command -v mdir >/dev/null || need+=(mtools)
  command -v clang++ >/dev/null || need+=(clang)
  command -v gnuplot >/dev/null || need+=(gnuplot-nox)
  # The cross build and the emulated run of the target.* test (scripts/run-qemu.sh).
  command -v arm-none-eabi-gcc >/dev/null || need+=(gcc-arm-none-eabi)
  [ -f /usr/include/newlib/nano/newlib.h ] || need+=(libnewlib-arm-none-eabi)
  [ -n "$(arm-none-eabi-gcc -mcpu=cortex-m0plus -mthumb -print-file-name=libstdc++_nano.a 2>/dev/null | grep /)" ] \
    || need+=(libstdc++-arm-none-eabi-newlib)
  command -v qemu-system-arm >/dev/null || need+=(qemu-system-arm)
fi
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi

if [ $sim_only -eq 1 ]; then
  # A new build folder for the simulator alone leaves the tests out (GoogleTest need not be
  # installed); one configured before keeps what it has.
  testing=()
  [ -f build/CMakeCache.txt ] || testing=(-DBUILD_TESTING=OFF)
  cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "${testing[@]}" >/dev/null
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" -DBUILD_TESTING=ON >/dev/null
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build build -j"$(nproc)" "${targets[@]}"
