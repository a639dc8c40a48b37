#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Serves the page on this machine: builds it when needed, then http://127.0.0.1:PORT/.
#   scripts/serve-web.sh [PORT]      (default 8000)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/web/site/imabox_core.wasm ] || scripts/build-web.sh build/web
port=${1:-8000}
echo "imabox: http://127.0.0.1:$port/  (Ctrl-C stops)"
# .mjs must be served as JavaScript for the browser to run it as a module.
exec /usr/bin/python3 - "$port" build/web/site <<'PY'
import functools, http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".mjs": "text/javascript", ".wasm": "application/wasm"}
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])),
    functools.partial(Handler, directory=sys.argv[2])).serve_forever()
PY
