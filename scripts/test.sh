#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds imabox with warnings as errors and runs the whole test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMABOX_WERROR=ON
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"
# The library and its tests configure without the tool too (configuring is enough to check that).
cmake -S . -B build/notool -G Ninja -DIMABOX_BUILD_TOOL=OFF -DIMABOX_BUILD_BENCH=OFF >/dev/null
scripts/test-install.sh build/test  # install, consumers, the Debian package
scripts/test-web.sh build/test/imabox  # the WebAssembly module in Node, the page in Chromium
scripts/test-windows.sh
scripts/test-portability.sh    # every optional part off; Clang; aarch64 under qemu-user
scripts/fuzz.sh 60             # each fuzz target for 60 s, after a replay of its seed corpus
scripts/test-sanitizers.sh     # threaded tests under TSan, then the whole suite under ASan+UBSan
