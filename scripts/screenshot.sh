#!/usr/bin/env bash
# Makes the README's picture of the window program: runs it in a private
# virtual X server, answers 2 threads, lets the liquid flow for a few seconds
# and saves the window's content.
#
#   scripts/screenshot.sh [PATH/TO/sph [OUTPUT.png [SECONDS]]]
#
# Defaults: build/app/sph, docs/screenshot.png, 4 seconds after the first
# frames. Needs Xvfb, xdotool and ImageMagick (scripts/setup.sh installs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sph=${1:-$root/build/app/sph}
output=${2:-$root/docs/screenshot.png}
seconds=${3:-4}

[[ -x "$sph" ]] || { echo "no program at $sph (build it with scripts/build.sh build)" >&2; exit 1; }

work=$(mktemp -d)
xvfb_pid=""
sph_pid=""
cleanup() {
  [[ -n "$sph_pid" ]] && kill "$sph_pid" 2>/dev/null || true
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# wait_for and start_xvfb.
source "$root/scripts/xvfb.sh"
start_xvfb "$work" || exit 1

echo 2 | "$sph" >"$work/console.out" &
sph_pid=$!

window=""
running() {
  window=$(xdotool search --name '^FPS: [1-9]' 2>/dev/null | head -n 1)
  [[ -n "$window" ]]
}
wait_for 60 running || { echo "the program shows no frames" >&2; exit 1; }
sleep "$seconds"

mkdir -p "$(dirname "$output")"
import -window "$window" "$work/shot.png"
# Drop the time stamps ImageMagick writes, so an unchanged picture gives an
# unchanged file.
convert "$work/shot.png" -strip "$output"
echo "wrote $output"
