#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Layers point down: a folder of src/ includes only its own headers and those of the layers below
# it (and the public headers that belong to those layers). Prints every include that breaks this
# and fails.
#
#   codec (and its public header imabox/codec.h) < io < wave < pipeline < media (the adapters behind the pipeline's interfaces);  bank (wave banks) beside wave, on codec, io and wave;  exact (the strict converter) on codec, io and wave;
#   api (the public C++ entry points) on all of them;  recorder uses io and wave;
#   module exports what is above.
set -euo pipefail
src=${1:-$(dirname "$0")/../src}

declare -A allowed=(
  [codec]='codec/ imabox/codec.h'
  [io]='io/ imabox/expected.hpp'
  [wave]='codec/ io/ wave/ imabox/expected.hpp imabox/sample_format.hpp'
  [bank]='codec/ io/ wave/ bank/ imabox/expected.hpp imabox/sample_format.hpp'
  [recorder]='io/ wave/ recorder/ imabox/expected.hpp imabox/recorder.hpp imabox/xbox_audio.h'
  [pipeline]='codec/ io/ wave/ pipeline/ imabox/expected.hpp imabox/sample_format.hpp imabox/convert.hpp'
  [media]='codec/ io/ wave/ pipeline/ media/ imabox/expected.hpp imabox/sample_format.hpp'
  [exact]='codec/ io/ wave/ exact/ imabox/expected.hpp imabox/convert.hpp imabox/xbox_audio.h'
  [api]='codec/ io/ wave/ bank/ pipeline/ media/ exact/ api/ imabox/'
  [module]='module/ resource.h'
)

status=0
for dir in "$src"/*/; do
  name=$(basename "$dir")
  if [ -z "${allowed[$name]+set}" ]; then
    echo "src/$name: a folder the layering rules do not know (add it to $(basename "$0"))"
    status=1
  fi
done
for layer in "${!allowed[@]}"; do
  [ -d "$src/$layer" ] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    header=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
    ok=0
    for prefix in ${allowed[$layer]}; do
      [[ $header == "$prefix"* ]] && ok=1
    done
    if [ $ok -eq 0 ]; then
      echo "${file#"$src"/}: src/$layer must not include \"$header\""
      status=1
    fi
  done < <(grep -H '^#include "' "$src/$layer"/* || true)
done
# The pipeline is the same in every build: what a build may lack is behind the interfaces of
# pipeline/media_adapters.hpp, which src/media implements.
while IFS= read -r line; do
  echo "${line#"$src"/}: src/pipeline must not depend on the build's options"
  status=1
done < <(grep -Hn 'IMABOX_HAVE_' "$src/pipeline"/* || true)
[ $status -eq 0 ] && echo "layers point down: $(ls "$src" | tr '\n' ' ')"
exit $status
