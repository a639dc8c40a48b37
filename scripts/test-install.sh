#!/usr/bin/env bash
# Installs a build the ways users get imabox, and uses it as another project would:
#   1. cmake --install into a temporary prefix, which is then moved (the packages must not
#      depend on where they were installed);
#   2. two tiny C programs built against it, through find_package(imabox) and pkg-config, one
#      C++ program through find_package(imabox COMPONENTS cxx) and pkg-config, and the C program
#      against the build tree's own export;
#   3. the Debian package from cpack -G DEB: lintian (no errors), dpkg -i, imabox --version,
#      man -w imabox, then dpkg -P. Installing needs root: skipped with a note when not root.
#   scripts/test-install.sh [BUILD_DIR]      (default build/test, already built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/test}")
source_dir=$PWD
consumers=$source_dir/tests/install
input=$source_dir/examples/hello.wav

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
step() { echo "== $*"; }
is_xbox_adpcm() {  # format tag 0x0069 at offset 20
    [ "$(od -An -tx1 -j20 -N2 "$1" | tr -d ' ')" = "6900" ] || {
        echo "$1 is not Xbox ADPCM"
        return 1
    }
}

step "cmake --install into a prefix that then moves"
cmake --install "$build" --prefix "$work/staging" >/dev/null
mv "$work/staging" "$work/prefix"
prefix=$work/prefix
libdir=$(dirname "$(find "$prefix" -name 'libimabox.so.1' | head -n1)")
readelf -d "$libdir/libimabox.so.1" | grep -q 'Library soname: \[libimabox.so.1\]'

step "C program through find_package(imabox)"
cmake -S "$consumers/c_consumer" -B "$work/c" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/c" >/dev/null
"$work/c/c_consumer" "$input" "$work/c.wav" >/dev/null
is_xbox_adpcm "$work/c.wav"

step "C program through pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --variable=libdir imabox)" -ef "$libdir" ]
# shellcheck disable=SC2046
cc -Wall -Werror "$consumers/c_consumer/main.c" -o "$work/c_pkgconfig" \
    $(pkg-config --cflags --libs imabox) -Wl,-rpath,"$libdir"
"$work/c_pkgconfig" "$input" "$work/c_pkgconfig.wav" >/dev/null
is_xbox_adpcm "$work/c_pkgconfig.wav"

step "C++ program through find_package(imabox COMPONENTS cxx) and pkg-config"
cmake -S "$consumers/cxx_consumer" -B "$work/cxx" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cxx" >/dev/null
"$work/cxx/cxx_consumer" "$input" "$work/cxx.wav"
is_xbox_adpcm "$work/cxx.wav"
# shellcheck disable=SC2046
c++ -std=c++20 "$consumers/cxx_consumer/main.cpp" -o "$work/cxx_pkgconfig" \
    $(pkg-config --cflags --libs imabox-cxx)
"$work/cxx_pkgconfig" "$input" "$work/cxx_pkgconfig.wav" >/dev/null
cmp "$work/cxx.wav" "$work/cxx_pkgconfig.wav"
unset PKG_CONFIG_PATH

step "C program against the build tree's export"
cmake -S "$consumers/c_consumer" -B "$work/c_build_tree" -G Ninja -Dimabox_DIR="$build" >/dev/null
cmake --build "$work/c_build_tree" >/dev/null
"$work/c_build_tree/c_consumer" "$input" "$work/c_build_tree.wav" >/dev/null
cmp "$work/c.wav" "$work/c_build_tree.wav"

step "Debian package"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/imabox_*.deb)
dpkg-deb -f "$deb" Depends | grep -q libasound2 || {
    echo "the package does not depend on libasound2"
    exit 1
}
lintian_ok=yes
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || lintian_ok=no
grep -v 'running with root privileges' "$work/lintian.txt" || true
[ $lintian_ok = yes ] || {
    echo "lintian reports errors"
    exit 1
}
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the package is not installed"
    exit 0
fi
if dpkg-query -W -f='${Status}' imabox 2>/dev/null | grep -q 'ok installed'; then
    echo "a package imabox is installed already: leaving it alone"
    exit 1
fi
# Minimal images may exclude manual pages from dpkg: this package's page is what is tested.
dpkg --path-include='/usr/share/man/man1/imabox.1.gz' -i "$deb" >/dev/null
trap 'dpkg -P imabox >/dev/null; rm -rf "$work"' EXIT
version=$(imabox --version)
echo "$version"
grep -qE '^encoder revision [0-9]+$' <<<"$version"
man -w imabox
[ -f /usr/share/bash-completion/completions/imabox ]
pkg-config --exists imabox
dpkg -P imabox >/dev/null
trap 'rm -rf "$work"' EXIT
if command -v imabox >/dev/null || [ -e /usr/share/man/man1/imabox.1.gz ]; then
    echo "dpkg -P imabox left files behind"
    exit 1
fi
echo "install, consumers and package: all good"
