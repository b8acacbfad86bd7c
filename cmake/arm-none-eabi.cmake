# Cross build for the Cortex-M0+ boards (board/saml21, board/qemu) with the GNU Arm
# Embedded toolchain and newlib-nano. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-none-eabi.cmake
#
# The nano variant of newlib is chosen by hand, without the compiler driver's option files:
# its own newlib.h on the include path (the nano library is built with a smaller struct
# _reent, so the headers must match), no default libraries or start files, and the nano
# archives named on the link line. The start-up and the vector table are the board's own.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "objcopy")
set(CMAKE_SIZE arm-none-eabi-size CACHE FILEPATH "size")
# No executable can be linked for the target before the board's start-up exists.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(_cpu "-mcpu=cortex-m0plus -mthumb")

# Where the nano newlib.h lives: Debian's package puts it under /usr/include/newlib/nano,
# the Arm release under <sysroot>/include/newlib-nano.
execute_process(COMMAND arm-none-eabi-gcc -print-sysroot
  OUTPUT_VARIABLE _sysroot OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
find_path(ONDAVIX_NANO_INCLUDE newlib.h
  PATHS /usr/include/newlib/nano /usr/lib/arm-none-eabi/include/newlib-nano
        ${_sysroot}/include/newlib-nano
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT ONDAVIX_NANO_INCLUDE)
  message(FATAL_ERROR "newlib-nano headers (newlib.h) not found: install libnewlib-arm-none-eabi")
endif()

# The firmware needs no exceptions, no run-time type information and no thread-safe
# statics (one main loop and one interrupt that does not construct statics).
set(CMAKE_C_FLAGS_INIT "${_cpu} -isystem ${ONDAVIX_NANO_INCLUDE} -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "${_cpu} -isystem ${ONDAVIX_NANO_INCLUDE} -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti -fno-threadsafe-statics")
set(CMAKE_C_FLAGS_RELEASE_INIT "-Os")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-Os")
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "-Os")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "-Os")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_cpu} -nostartfiles -nostdlib -Wl,--gc-sections")
# The nano archives, in one group so that their cross references resolve in any order.
set(CMAKE_CXX_STANDARD_LIBRARIES
  "-Wl,--start-group -lstdc++_nano -lsupc++_nano -lm -lc_nano -lnosys -lgcc -Wl,--end-group")
set(CMAKE_C_STANDARD_LIBRARIES "${CMAKE_CXX_STANDARD_LIBRARIES}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
