#!/usr/bin/env bash
# Installs what is missing, builds the simulator (and nothing else) and
# starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" --target sph
exec "$root/build/app/sph" "$@"
