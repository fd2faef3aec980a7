#!/usr/bin/env bash
# Configures and builds the web build (WebAssembly, through Emscripten's
# CMake wrapper): everything, or the targets named.
#   scripts/web_build.sh DIR [--target NAME...]
set -euo pipefail
dir=$1
shift
emcmake cmake -S "$(dirname "$0")/.." -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j2 "$@"
