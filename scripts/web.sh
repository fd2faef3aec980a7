#!/usr/bin/env bash
# Installs what is missing, builds the page into build-web/page (a folder of
# static files: copy it to any web server) and serves it on 127.0.0.1 with
# the two headers that give it threads at once. Ctrl-C stops the server.
#   scripts/web.sh [--port N]     (default 8000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" web
"$root/scripts/web_build.sh" "$root/build-web" --target sph-page
exec python3 "$root/web/serve.py" "$root/build-web/page" "$@"
