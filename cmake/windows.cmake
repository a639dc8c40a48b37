# SPDX-License-Identifier: MIT
# Windows (mingw-w64) build: imabox.dll with its module-definition file, DllMain and resources,
# and the whole C and C++ runtime linked in, so that the DLL and imabox.exe need nothing beyond
# the DLLs Windows itself ships. Included from the top-level CMakeLists.txt when WIN32, after
# imabox_shared is defined.

# Static libgcc, libstdc++ and winpthread for every program and DLL of this build.
string(APPEND CMAKE_EXE_LINKER_FLAGS " -static")
string(APPEND CMAKE_SHARED_LINKER_FLAGS " -static")

# The empty type library, compiled by widl (Debian mingw-w64-tools) and embedded by imabox.rc.
if(NOT IMABOX_WIDL)
  set(IMABOX_WIDL x86_64-w64-mingw32-widl)
endif()
find_program(IMABOX_WIDL_PROGRAM NAMES ${IMABOX_WIDL} widl REQUIRED)
set(IMABOX_MODULE_BINARY_DIR ${PROJECT_BINARY_DIR}/module)
add_custom_command(
  OUTPUT ${IMABOX_MODULE_BINARY_DIR}/imabox.tlb
  COMMAND ${CMAKE_COMMAND} -E make_directory ${IMABOX_MODULE_BINARY_DIR}
  COMMAND ${IMABOX_WIDL_PROGRAM} -t -o ${IMABOX_MODULE_BINARY_DIR}/imabox.tlb
          ${PROJECT_SOURCE_DIR}/src/module/imabox.idl
  DEPENDS ${PROJECT_SOURCE_DIR}/src/module/imabox.idl
  COMMENT "Building the imabox type library"
  VERBATIM)
set_source_files_properties(${PROJECT_SOURCE_DIR}/src/module/imabox.rc PROPERTIES
  OBJECT_DEPENDS ${IMABOX_MODULE_BINARY_DIR}/imabox.tlb)

# imabox.dll: exports and ordinals come from imabox.def alone.
target_sources(imabox_shared PRIVATE
  src/module/dllmain.cpp
  src/module/imabox.def
  src/module/imabox.rc)
target_include_directories(imabox_shared PRIVATE
  ${PROJECT_SOURCE_DIR}/src/module ${IMABOX_MODULE_BINARY_DIR})
set_target_properties(imabox_shared PROPERTIES PREFIX "" IMPORT_PREFIX "")

# CLI11 is header-only. Its Debian package config would put all of /usr/include on the search
# path, where the Linux C headers would shadow mingw-w64's; expose only its own folder instead.
if(IMABOX_BUILD_TOOL AND NOT TARGET CLI11::CLI11)
  find_path(IMABOX_CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH REQUIRED)
  set(cli11_dir ${PROJECT_BINARY_DIR}/cli11-include)
  file(MAKE_DIRECTORY ${cli11_dir})
  file(CREATE_LINK ${IMABOX_CLI11_INCLUDE_DIR}/CLI ${cli11_dir}/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${cli11_dir})
endif()

# Programs of this build run on Linux through Wine (Debian wine64, 64-bit programs only).
if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(IMABOX_WINE64 NAMES wine64 PATHS /usr/lib/wine)
  if(IMABOX_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${IMABOX_WINE64})
  endif()
endif()
