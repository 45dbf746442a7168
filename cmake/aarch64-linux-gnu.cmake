# CMake toolchain file: cross-compile for 64-bit ARM Linux (glibc) with
# Debian's g++-aarch64-linux-gnu, and run the resulting test binaries under
# qemu-user.
#
#   apt-get install g++-aarch64-linux-gnu qemu-user
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   cmake --build build-aarch64 -j2
#   ctest --test-dir build-aarch64 --output-on-failure
#
# CTest runs every add_test() command through CMAKE_CROSSCOMPILING_EMULATOR,
# and gtest_discover_tests() uses it as well, so tests need no changes.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZQ_CROSS_TRIPLE aarch64-linux-gnu)
set(ZQ_CROSS_SYSROOT /usr/${ZQ_CROSS_TRIPLE})

find_program(CMAKE_C_COMPILER   NAMES ${ZQ_CROSS_TRIPLE}-gcc-12 ${ZQ_CROSS_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZQ_CROSS_TRIPLE}-g++-12 ${ZQ_CROSS_TRIPLE}-g++ REQUIRED)

# Debian's cross toolchain does not use a --sysroot; its target libraries live
# in /usr/aarch64-linux-gnu. Search only there for libraries and headers of
# the target, and only on the host for programs (compilers, generators).
set(CMAKE_FIND_ROOT_PATH ${ZQ_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# lv2-dev is an amd64 package, but its headers (/usr/include/lv2/...) are
# plain C and architecture-independent. /usr/include itself must not be put on
# the target's include path (the host glibc headers there would shadow the
# target's), so only the lv2/ subtree is exposed, through a symlink in the
# build tree. <lv2/core/lv2.h> then resolves for every target.
if(EXISTS /usr/include/lv2/core/lv2.h)
  set(_zq_noarch_inc ${CMAKE_BINARY_DIR}/zq-noarch-include)
  if(NOT EXISTS ${_zq_noarch_inc}/lv2)
    file(MAKE_DIRECTORY ${_zq_noarch_inc})
    file(CREATE_LINK /usr/include/lv2 ${_zq_noarch_inc}/lv2 SYMBOLIC)
  endif()
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${_zq_noarch_inc})
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${_zq_noarch_inc})
endif()

# Run target executables (tests, try_run, gtest discovery) under qemu. The
# guest's library path names the cross libraries outright: where the arm64 C
# library is also installed natively (multiarch, /lib/aarch64-linux-gnu), the
# guest loader would otherwise take that libc beside the cross ld.so, and the
# mismatched pair hangs at the first thread a program starts.
find_program(ZQ_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${ZQ_QEMU_AARCH64};-L;${ZQ_CROSS_SYSROOT};-E;LD_LIBRARY_PATH=${ZQ_CROSS_SYSROOT}/lib
    CACHE STRING "Runs aarch64 binaries on the build host")
