#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds imabox.dll and imabox.exe with mingw-w64 and runs their tests under Wine through
# CTest, comparing the DLL's outputs with those of the Linux build's tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
linux_tool=${IMABOX_LINUX_TOOL:-build/test/imabox}
if [ ! -x "$linux_tool" ]; then
  cmake -S . -B build/linux-ref -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMABOX_BUILD_TESTS=OFF
  cmake --build build/linux-ref -j "$jobs" --target imabox_cli
  linux_tool=build/linux-ref/imabox
fi

# libsndfile (with its codecs) and libsoxr for Windows, from Debian's sources (once).
scripts/build-windows-deps.sh build/windows-deps

cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMABOX_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
  -DIMABOX_WINDOWS_DEPS="$(realpath build/windows-deps/prefix)" \
  -DIMABOX_WITH_SNDFILE=ON -DIMABOX_WITH_SOXR=ON \
  -DIMABOX_REFERENCE_TOOL="$(realpath "$linux_tool")"
cmake --build build/windows -j "$jobs"
ctest --test-dir build/windows --output-on-failure -j "$jobs"

# What cmake --install and the CPack zip of the mingw build hold.
package_dir=$(mktemp -d)
trap 'rm -rf "$package_dir"' EXIT
(cd build/windows && cpack -G ZIP -B "$package_dir" >/dev/null)
listing=$(cmake -E tar tf "$package_dir"/imabox-*-win64.zip)
for file in bin/imabox.dll bin/imabox.exe lib/imabox.dll.a lib/imabox.def \
    include/imabox/xbox_audio.h include/imabox/version.hpp lib/cmake/imabox/imaboxConfig.cmake \
    README.txt LICENSE licenses/libsndfile/copyright licenses/libsoxr/copyright \
    licenses/flac/copyright licenses/libogg/copyright licenses/libvorbis/copyright \
    licenses/opus/copyright licenses/mpg123/copyright licenses/lame/copyright; do
  grep -q "/$file\$" <<<"$listing" || { echo "the Windows zip lacks $file"; exit 1; }
done
echo "Windows zip: $(grep -c '[^/]$' <<<"$listing") files"
