#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-compiles the media libraries imabox.exe links (libsndfile with the codecs it reads
# through, and libsoxr) for 64-bit Windows, from Debian 12's own source packages, as static
# libraries into one prefix:
#   scripts/build-windows-deps.sh [DIR]      DIR defaults to build/windows-deps; the prefix is DIR/prefix
# Nothing is done when DIR/prefix was completed by this same script. Runs as root (apt-get source
# needs a deb-src entry, added for the configured Debian release when there is none).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
deps=$(realpath -m "${1:-build/windows-deps}")
prefix=$deps/prefix
host=x86_64-w64-mingw32
jobs=$(nproc)
# Built in this order (each after those it needs). lame is there because libsndfile's MPEG
# support is built with both the MP3 decoder and the encoder or not at all.
packages=(libogg flac libvorbis opus mpg123 lame libsndfile libsoxr)

stamp="$(sha256sum "$repo/scripts/build-windows-deps.sh" | cut -d' ' -f1)"
if [ -f "$prefix/complete" ] && [ "$(cat "$prefix/complete")" = "$stamp" ]; then
  echo "Windows libraries: $prefix is complete"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Source packages of the release the machine runs: add deb-src beside the configured deb entries.
if ! apt-cache showsrc libsoxr 2>/dev/null | grep -q '^Package:'; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee /etc/apt/sources.list.d/imabox-deb-src.sources >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $sudo tee /etc/apt/sources.list.d/imabox-deb-src.list >/dev/null
  fi
  $sudo apt-get update -qq
fi

rm -rf "$deps/src" "$deps/build" "$prefix"
mkdir -p "$deps/src" "$deps/build" "$prefix/share/licenses"
: >"$deps/versions.txt"
start=$SECONDS

# Fetch and unpack every package (Debian's patches applied). A signature file of an upstream
# tarball may be missing on a mirror; it is not needed to unpack, so the .dsc is then unpacked
# without it (the other files' checksums are still checked).
cd "$deps/src"
for p in "${packages[@]}"; do
  apt-get source --download-only "$p" >/dev/null 2>"$p.log" || true
  dsc=$(ls "$p"_*.dsc 2>/dev/null | head -n1)
  [ -n "$dsc" ] || { cat "$p.log"; echo "apt-get source $p failed"; exit 1; }
  for asc in $(grep -o '[^ ]*\.asc$' "$dsc" | sort -u); do
    [ -f "$asc" ] || sed -i "/ $asc\$/d" "$dsc"
  done
  dpkg-source -x "$dsc" "$p" >>"$p.log" 2>&1 || { cat "$p.log"; echo "unpacking $p failed"; exit 1; }
  # Licence texts of what is linked into imabox.exe: Debian's summary and upstream's files.
  mkdir -p "$prefix/share/licenses/$p"
  cp "$p/debian/copyright" "$prefix/share/licenses/$p/copyright"
  for f in "$p"/COPYING* "$p"/LICENSE* "$p"/LICENCE*; do
    [ -f "$f" ] && cp "$f" "$prefix/share/licenses/$p/"
  done
  echo "$dsc" >>"$deps/versions.txt"
done

# A CMake toolchain: the repository's mingw-w64 one, finding packages in the prefix too.
cat >"$deps/toolchain.cmake" <<EOF
include($repo/cmake/toolchains/mingw-w64-x86_64.cmake)
list(APPEND CMAKE_FIND_ROOT_PATH "$prefix")
EOF
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH=
flags="-O2"

cmake_build() {  # NAME [CMAKE OPTIONS...]
  local name=$1
  shift
  echo "Building $name"
  cmake -S "$deps/src/$name" -B "$deps/build/$name" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$deps/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS_RELEASE="$flags -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="$flags -DNDEBUG" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@" >"$deps/build/$name.log" 2>&1 ||
    { tail -40 "$deps/build/$name.log"; exit 1; }
  cmake --build "$deps/build/$name" -j "$jobs" >>"$deps/build/$name.log" 2>&1 &&
    cmake --install "$deps/build/$name" >>"$deps/build/$name.log" 2>&1 ||
    { tail -40 "$deps/build/$name.log"; exit 1; }
}

configure_build() {  # NAME MAKE-TARGETS -- [CONFIGURE OPTIONS...]
  local name=$1 targets=$2
  shift 3
  echo "Building $name"
  mkdir -p "$deps/build/$name"
  cd "$deps/build/$name"
  "$deps/src/$name/configure" --host=$host --prefix="$prefix" --enable-static --disable-shared \
    CC=$host-gcc-posix CFLAGS="$flags" "$@" >"$deps/build/$name.log" 2>&1 ||
    { tail -40 "$deps/build/$name.log" config.log; exit 1; }
  # shellcheck disable=SC2086
  make -j "$jobs" $targets >>"$deps/build/$name.log" 2>&1 ||
    { tail -40 "$deps/build/$name.log"; exit 1; }
  cd "$repo"
}

cmake_build libogg -DINSTALL_DOCS=OFF
cmake_build flac -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF -DBUILD_CXXLIBS=OFF \
  -DINSTALL_MANPAGES=OFF -DWITH_STACK_PROTECTOR=OFF
# Debian's Linux build of libvorbis has these (from its configure): with them the Windows build
# decodes Vorbis to the very samples the Linux tool gets.
cmake_build libvorbis -DCMAKE_C_FLAGS="-ffast-math -fsigned-char"
# Opus would add _FORTIFY_SOURCE, whose checked functions mingw-w64 has only in libssp.
configure_build opus install -- --disable-doc --disable-extra-programs --disable-stack-protector \
  CFLAGS="$flags -D_FORTIFY_SOURCE=0"
configure_build mpg123 "install-libLTLIBRARIES install-nodist_includeHEADERS install-includeHEADERS install-pkgconfigDATA" -- \
  --with-audio=dummy --with-default-audio=dummy --disable-modules --disable-network
configure_build lame "install" -- --disable-frontend --disable-decoder --disable-gtktest \
  --disable-analyzer-hooks
# FLAC's headers mark its functions as imported from a DLL unless told the library is static.
cmake_build libsndfile -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_REGTEST=OFF \
  -DENABLE_CPACK=OFF -DINSTALL_MANPAGES=OFF -DENABLE_EXTERNAL_LIBS=ON -DENABLE_MPEG=ON \
  -DCMAKE_C_FLAGS="-DFLAC__NO_DLL"
cmake_build libsoxr -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF \
  -DWITH_LSR_BINDINGS=OFF
# libsoxr writes no pkg-config file for Windows builds.
soxr_version=$(grep -o 'libsoxr_[^-]*' "$deps/versions.txt" | cut -d_ -f2)
cat >"$prefix/lib/pkgconfig/soxr.pc" <<EOF
prefix=$prefix
Name: soxr
Description: High quality, one-dimensional sample-rate conversion library
Version: $soxr_version
Libs: -L\${prefix}/lib -lsoxr
Libs.private: -lm
Cflags: -I\${prefix}/include
EOF

# Complete only when a static link line for both can be had from the prefix.
pkg-config --static --exists sndfile soxr ||
  { pkg-config --static --print-errors --exists sndfile soxr; exit 1; }
cp "$deps/versions.txt" "$prefix/share/licenses/versions.txt"
echo "$stamp" >"$prefix/complete"
echo "Windows libraries built in $((SECONDS - start)) s into $prefix"
