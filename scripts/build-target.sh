#!/usr/bin/env bash
# Cross builds the firmware for the chip (build-target/ondavix-saml21.elf with its .bin, .hex
# and .map) with the GNU Arm toolchain and newlib-nano, installing what a fresh Debian
# machine lacks, and prints the image's size last:
#   flash N bytes of 262144, ram N bytes of 32768
# (flash = text + data, ram = data + bss: the static RAM, without heap and stack).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v arm-none-eabi-gcc >/dev/null || need+=(gcc-arm-none-eabi)
[ -f /usr/include/newlib/nano/newlib.h ] || [ -n "$(arm-none-eabi-gcc -print-file-name=libc_nano.a 2>/dev/null | grep /)" ] \
  || need+=(libnewlib-arm-none-eabi)
[ -n "$(arm-none-eabi-gcc -mcpu=cortex-m0plus -mthumb -print-file-name=libstdc++_nano.a 2>/dev/null | grep /)" ] \
  || need+=(libstdc++-arm-none-eabi-newlib)
command -v qemu-system-arm >/dev/null || need+=(qemu-system-arm)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi

# The toolchain file is read when the build folder is first configured.
[ -f build-target/CMakeCache.txt ] || cmake -S . -B build-target \
  -DCMAKE_TOOLCHAIN_FILE=cmake/arm-none-eabi.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake -S . -B build-target >/dev/null
targets=(--target ondavix-saml21)
[ -f board/qemu/CMakeLists.txt ] && targets+=(--target ondavix-qemu)
cmake --build build-target -j"${JOBS:-2}" "${targets[@]}"

# Berkeley output: text data bss dec hex filename
read -r text data bss _ < <(arm-none-eabi-size -B build-target/ondavix-saml21.elf | tail -n 1)
echo "flash $((text + data)) bytes of 262144, ram $((data + bss)) bytes of 32768"
