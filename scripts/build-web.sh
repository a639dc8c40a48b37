#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds imabox for the browser with Debian's emscripten: libsoxr from Debian's source package
# (patched so its function tables keep their signatures, which WebAssembly checks), then the core,
# the module and the page, assembled in build/web/site.
#   scripts/build-web.sh [BUILD_DIR]      (default build/web)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/web}
deps="$build/deps"

need=()
command -v emcc >/dev/null || need+=(emscripten)
command -v dpkg-source >/dev/null || need+=(dpkg-dev)
command -v patch >/dev/null || need+=(patch)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
# Debian's emscripten runs its JavaScript tools with Debian's node modules (acorn).
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

# libsoxr's source from Debian (a deb-src entry for bookworm added when there is none).
soxr_prefix="$PWD/$deps/soxr"
if [ ! -f "$soxr_prefix/lib/libsoxr.a" ]; then
  mkdir -p "$deps/source"
  if ! compgen -G "$deps/source/libsoxr-*/CMakeLists.txt" >/dev/null; then
    if ! grep -rqs '^deb-src\|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
        $sudo tee /etc/apt/sources.list.d/imabox-deb-src.sources >/dev/null
      $sudo apt-get update -qq
    fi
    (cd "$deps/source" && apt-get source -qq libsoxr >/dev/null 2>&1)
    src=$(compgen -G "$deps/source/libsoxr-*/CMakeLists.txt" | head -n1)
    patch -s -d "$(dirname "$src")" -p1 <web/soxr-wasm.patch
  fi
  src=$(dirname "$(compgen -G "$deps/source/libsoxr-*/CMakeLists.txt" | head -n1)")
  emcmake cmake -S "$src" -B "$deps/soxr-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF \
    -DBUILD_SHARED_LIBS=OFF -DWITH_CR32S=OFF -DWITH_CR64S=OFF -DWITH_AVFFT=OFF \
    -DCMAKE_C_FLAGS=-w -DCMAKE_INSTALL_PREFIX="$soxr_prefix" >/dev/null
  cmake --build "$deps/soxr-build" -j "$(nproc)" >/dev/null
  cmake --install "$deps/soxr-build" >/dev/null
fi

emcmake cmake -S web -B "$build" -G Ninja -DIMABOX_WERROR=ON -DIMABOX_SOXR_PREFIX="$soxr_prefix" \
  >/dev/null
cmake --build "$build" -j "$(nproc)"
echo "site: $build/site"
