#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs a build the ways users get imabox, and uses it as another project would:
#   1. cmake --install into a temporary prefix, which is then moved (the packages must not
#      depend on where they were installed);
#   2. two tiny C programs built against it, through find_package(imabox) and pkg-config, one
#      C++ program through find_package(imabox COMPONENTS cxx) and pkg-config, and the C program
#      against the build tree's own export;
#   3. the three Debian packages from cpack -G DEB (libimabox1, libimabox-dev, imabox): what
#      each holds and depends on, lintian on each (no errors); then, as root, dpkg -i of the
#      three, imabox --version, man -w imabox, the consumers and the README's C and C++ examples
#      built against the installed packages alone, and dpkg -P, which must leave nothing behind.
#      Installing needs root: skipped with a note when not root.
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

step "C program on the codec API through find_package(imabox COMPONENTS cxx)"
cmake -S "$consumers/codec_consumer" -B "$work/codec" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/codec" >/dev/null
"$work/codec/codec_consumer"

step "C program against the build tree's export"
cmake -S "$consumers/c_consumer" -B "$work/c_build_tree" -G Ninja -Dimabox_DIR="$build" >/dev/null
cmake --build "$work/c_build_tree" >/dev/null
"$work/c_build_tree/c_consumer" "$input" "$work/c_build_tree.wav" >/dev/null
cmp "$work/c.wav" "$work/c_build_tree.wav"

step "Debian packages"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
packages=(libimabox1 libimabox-dev imabox)
declare -A deb
for package in "${packages[@]}"; do
    deb[$package]=$(ls "$work/deb/${package}_"*.deb)
done
version=$(dpkg-deb -f "${deb[libimabox1]}" Version)
depends_on() {  # depends_on PACKAGE DEPENDENCY
    dpkg-deb -f "${deb[$1]}" Depends | tr ',' '\n' | grep -qE "^ *$2( |$)" || {
        echo "$1 does not depend on $2: $(dpkg-deb -f "${deb[$1]}" Depends)"
        exit 1
    }
}
holds() {  # holds PACKAGE PATH-PATTERN...: every pattern matches a file of the package
    local package=$1
    shift
    local listing
    listing=$(dpkg-deb -c "${deb[$package]}" | awk '{ print $6 }')
    for pattern in "$@"; do
        grep -qE "^\./usr/$pattern\$" <<<"$listing" || {
            echo "$package lacks /usr/$pattern"
            exit 1
        }
    done
}
lacks() {  # lacks PACKAGE PATH-PATTERN: no file of the package matches
    if dpkg-deb -c "${deb[$1]}" | awk '{ print $6 }' | grep -qE "^\./usr/$2"; then
        echo "$1 holds /usr/$2, which belongs to another package"
        exit 1
    fi
}
holds libimabox1 'lib/(.*/)?libimabox\.so\.1' share/doc/libimabox1/copyright
lacks libimabox1 'include/'
lacks libimabox1 'lib/(.*/)?libimabox\.so$'
holds libimabox-dev 'lib/(.*/)?libimabox\.so' 'lib/(.*/)?libimabox_core\.a' \
    include/imabox/xbox_audio.h 'lib/(.*/)?cmake/imabox/imaboxConfig\.cmake' \
    'lib/(.*/)?pkgconfig/imabox-cxx\.pc' share/doc/libimabox-dev/copyright
lacks libimabox-dev 'lib/(.*/)?libimabox\.so\.1'
holds imabox bin/imabox share/man/man1/imabox\.1\.gz \
    share/bash-completion/completions/imabox share/doc/imabox/copyright
lacks imabox 'include/'
depends_on libimabox1 libasound2
depends_on libimabox-dev "libimabox1 \(= $version\)"
depends_on libimabox-dev libasound2-dev
depends_on imabox libasound2
dpkg-deb --ctrl-tarfile "${deb[libimabox1]}" | tar -xO ./shlibs | grep -qx \
    "libimabox 1 libimabox1 (>= $version)" || {
    echo "libimabox1 has no shlibs line for libimabox.so.1"
    exit 1
}

lintian_ok=yes
for package in "${packages[@]}"; do
    lintian --fail-on error "${deb[$package]}" >"$work/lintian.txt" 2>&1 || lintian_ok=no
    grep -v 'running with root privileges' "$work/lintian.txt" || true
done
[ $lintian_ok = yes ] || {
    echo "lintian reports errors"
    exit 1
}
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the packages are not installed"
    exit 0
fi
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        echo "a package $package is installed already: leaving it alone"
        exit 1
    fi
done
remove_packages() { dpkg -P "${packages[@]}" >/dev/null; }
# Minimal images may exclude manual pages from dpkg: this package's page is what is tested.
dpkg --path-include='/usr/share/man/man1/imabox.1.gz' -i "${deb[@]}" >/dev/null
trap 'remove_packages; rm -rf "$work"' EXIT
tool_version=$(imabox --version)
echo "$tool_version"
grep -qE '^encoder revision [0-9]+$' <<<"$tool_version"
man -w imabox
[ -f /usr/share/bash-completion/completions/imabox ]

step "consumers against the installed packages"
pkg-config --exists imabox imabox-cxx
cmake -S "$consumers/c_consumer" -B "$work/c_deb" -G Ninja >/dev/null
cmake --build "$work/c_deb" >/dev/null
"$work/c_deb/c_consumer" "$input" "$work/c_deb.wav" >/dev/null
cmp "$work/c.wav" "$work/c_deb.wav"
cmake -S "$consumers/cxx_consumer" -B "$work/cxx_deb" -G Ninja >/dev/null
cmake --build "$work/cxx_deb" >/dev/null
"$work/cxx_deb/cxx_consumer" "$input" "$work/cxx_deb.wav" >/dev/null
cmp "$work/cxx.wav" "$work/cxx_deb.wav"

step "the README's C and C++ examples against the installed packages"
mkdir "$work/readme"
# The first ```c and ```cpp blocks of the README, as they stand.
awk '/^```c$/ { on = 1; next } on && /^```/ { exit } on' README.md >"$work/readme/host.c"
awk '/^```cpp$/ { on = 1; next } on && /^```/ { exit } on' README.md >"$work/readme/tool.cpp"
[ -s "$work/readme/host.c" ] && [ -s "$work/readme/tool.cpp" ]
# shellcheck disable=SC2046
cc -Wall -Werror "$work/readme/host.c" -o "$work/readme/host" $(pkg-config --cflags --libs imabox)
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Werror "$work/readme/tool.cpp" -o "$work/readme/tool" \
    $(pkg-config --cflags --libs imabox-cxx)
cp "$input" "$work/readme/speech.wav"
cp "$input" "$work/readme/take2.wav"
(cd "$work/readme" && ./host >/dev/null && ./tool >/dev/null)
is_xbox_adpcm "$work/readme/speech.xbox.wav"
is_xbox_adpcm "$work/readme/take2.xbox.wav"

remove_packages
trap 'rm -rf "$work"' EXIT
if command -v imabox >/dev/null || [ -e /usr/share/man/man1/imabox.1.gz ] ||
    [ -e /usr/include/imabox ] || ls /usr/lib/libimabox* /usr/lib/*/libimabox* 2>/dev/null; then
    echo "dpkg -P left files behind"
    exit 1
fi
echo "install, consumers and packages: all good"
