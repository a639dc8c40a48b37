# SPDX-License-Identifier: MIT
# Sanitizer and fuzzing builds.
#
# IMABOX_SANITIZE: a -fsanitize= list for every target of the build, e.g. "address,undefined" or
# "thread". Any finding aborts the program, so a test that trips a sanitizer fails.
#
# IMABOX_FUZZ: builds the libFuzzer targets under fuzz/ (clang only). Everything is compiled with
# coverage instrumentation plus AddressSanitizer and UndefinedBehaviorSanitizer. Only this build
# bounds the data size a file may declare (IMABOX_FUZZ_MAX_DATA_BYTES), so a tiny input cannot make
# the converter allocate gigabytes of silence; every other build converts what the file declares.

set(IMABOX_SANITIZE "" CACHE STRING "Sanitizers for every target (-fsanitize= list), e.g. address,undefined")
option(IMABOX_FUZZ "Build the libFuzzer targets under fuzz/ (clang)" OFF)
set(IMABOX_FUZZ_MAX_DATA_BYTES 65536 CACHE STRING
    "Largest declared data chunk the fuzz build converts")

if(IMABOX_SANITIZE AND IMABOX_FUZZ)
  message(FATAL_ERROR "IMABOX_FUZZ brings its own sanitizers; leave IMABOX_SANITIZE empty")
endif()

if(IMABOX_SANITIZE)
  add_compile_options(-fsanitize=${IMABOX_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${IMABOX_SANITIZE})
endif()

if(IMABOX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "IMABOX_FUZZ needs clang (e.g. -DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_compile_definitions(IMABOX_FUZZ_MAX_DATA_BYTES=${IMABOX_FUZZ_MAX_DATA_BYTES}u)
endif()
