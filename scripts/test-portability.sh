#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds that show the core needs nothing but a C++20 compiler, each as small as its check allows:
#   parts   every optional part off (libsndfile, libsoxr, the recorder): the library, the tool and
#           every test that remains, all run;
#   clang   clang-14, the codec and conversion tests;
#   aarch64 Debian's cross compiler for 64-bit ARM, the codec and conversion tests under qemu-user
#           (the portable kernels; the pinned digests prove the bytes are those of x86).
#   scripts/test-portability.sh [parts|clang|aarch64]...   (default: all three)
# Build trees go to build/portability-*.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# The codec and conversion tests: codec, fast and searching coders, the pinned digests, the exact
# converter, encode/decode, and the C API.
core_tests=(codec_test codec_fast_test xbox_adpcm_search_tests encoder_revision_test convert_test
  encode_decode_tests codec_api_test)
# Tests of targets not built here are placeholders named *_NOT_BUILT: leave them out.
skip='_NOT_BUILT$|^clang_format$'

run() {
  local name=$1
  shift
  local dir=build/portability-$name start=$SECONDS
  echo "== portability: $name"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMABOX_WERROR=ON \
    -DIMABOX_BUILD_BENCH=OFF "$@" >/dev/null
  case $name in
    parts) cmake --build "$dir" -j "$jobs" ;;
    *) cmake --build "$dir" -j "$jobs" --target "${core_tests[@]}" ;;
  esac
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" -E "$skip"
  echo "== portability: $name took $((SECONDS - start)) s"
}

off=(-DIMABOX_WITH_SNDFILE=OFF -DIMABOX_WITH_SOXR=OFF -DIMABOX_WITH_RECORDER=OFF)
for build in "${@:-parts clang aarch64}"; do
  for b in $build; do
    case $b in
      parts) run parts "${off[@]}" ;;
      clang) run clang -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DIMABOX_BUILD_TOOL=OFF ;;
      aarch64)
        run aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
          "${off[@]}" -DIMABOX_BUILD_TOOL=OFF ;;
      *) echo "unknown build: $b (parts, clang, aarch64)" >&2; exit 2 ;;
    esac
  done
done
