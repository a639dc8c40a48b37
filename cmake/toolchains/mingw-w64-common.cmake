# SPDX-License-Identifier: MIT
# Shared part of the mingw-w64 toolchain files; IMABOX_MINGW_TRIPLET names the target.
# The posix thread model is used: its C++ runtime has std::thread and std::mutex.
set(CMAKE_C_COMPILER ${IMABOX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${IMABOX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${IMABOX_MINGW_TRIPLET}-windres)
set(IMABOX_WIDL ${IMABOX_MINGW_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${IMABOX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

