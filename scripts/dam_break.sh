#!/usr/bin/env bash
# Redraws the README's dam-break plot from nothing: installs what is missing,
# builds the recorder, runs the columns and prints the table.
#   scripts/dam_break.sh [dam_break.py's options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" native plots
"$root/scripts/build.sh" "$root/build" --target sph-record >&2  # the table alone on standard output
exec /usr/bin/python3 "$root/scripts/dam_break.py" --record "$root/build/recorder/sph-record" "$@"
