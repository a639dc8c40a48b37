# SPDX-License-Identifier: MIT
# Cross-compiles imabox for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# Its programs and tests run under qemu-user (qemu-aarch64) when that is installed. Debian has no
# cross packages of the optional parts: configure with IMABOX_WITH_SNDFILE, IMABOX_WITH_SOXR,
# IMABOX_WITH_RECORDER and IMABOX_BUILD_TOOL off; the tests build GoogleTest from its sources.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(IMABOX_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(IMABOX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${IMABOX_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()
