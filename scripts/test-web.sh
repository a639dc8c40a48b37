#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# imabox in the browser: builds the WebAssembly module and the page (scripts/build-web.sh), then
# runs the module in Node and the page in headless Chromium against the native tool.
#   scripts/test-web.sh [IMABOX]      (the native tool; default build/test/imabox)
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(realpath "${1:-build/test/imabox}")
[ -x "$native" ] || { echo "test-web: no native tool at $native" >&2; exit 1; }

need=()
for p in emscripten chromium chromium-driver python3-selenium sox; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

start=$(date +%s)
scripts/build-web.sh build/web >/dev/null
built=$(date +%s)

fixtures=$(mktemp -d)
trap 'rm -rf "$fixtures"' EXIT
/usr/bin/python3 tests/web/make_fixtures.py "$fixtures"
sox "$fixtures/plain.wav" "$fixtures/plain.flac"

status=0
SITE=build/web/site IMABOX="$native" FIXTURES="$fixtures" \
  node --test tests/web/module_test.mjs || status=1
/usr/bin/python3 tests/web/page_test.py build/web/site "$native" "$fixtures" || status=1
echo "test-web: build $((built - start)) s, tests $(($(date +%s) - built)) s"
exit $status
