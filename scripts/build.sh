#!/usr/bin/env bash
# Configures and builds one build folder: everything, or the targets named.
#   scripts/build.sh DIR [-DNAME=VALUE...] [--target NAME...]
set -euo pipefail
dir=$1
shift
configure=() build=()
for argument in "$@"; do
  if [[ $argument == -D* ]]; then configure+=("$argument"); else build+=("$argument"); fi
done
cmake -S "$(dirname "$0")/.." -B "$dir" -DCMAKE_BUILD_TYPE=Release "${configure[@]}" >/dev/null
cmake --build "$dir" -j2 "${build[@]}"
