#!/usr/bin/env bash
# The window program used as a person would, in a private virtual X server
# (24-bit, so colours are exact): the console dialogue, the window and its
# title, the picture, the keys and the exit status; and that the recorder
# draws the box as the window does, pixel for pixel. Every wait polls with a
# generous limit; nothing depends on the frame rate.
#
#   window_test.sh PATH/TO/sph PATH/TO/sph-record
set -uo pipefail
sph=${1:?usage: window_test.sh PATH/TO/sph PATH/TO/sph-record}
recorder=${2:?usage: window_test.sh PATH/TO/sph PATH/TO/sph-record}
# A time limit below CTest's, so that on a hang the clean-up still runs.
[[ -n "${SPH_WINDOW_TEST_LIMITED:-}" ]] || SPH_WINDOW_TEST_LIMITED=1 exec timeout -s TERM 240 bash "$0" "$@"

work=$(mktemp -d "${TMPDIR:-/tmp}/sph-window-test.XXXXXX")
xvfb_pid="" program_pid="" passed=0
cleanup() {
  [[ -n "$program_pid" ]] && kill "$program_pid" 2>/dev/null
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  if ((passed)); then rm -rf "$work"; else echo "Screenshots and console output kept in $work"; fi
}
trap cleanup EXIT
trap 'echo "FAIL: stopped (time limit or signal)"; exit 1' INT TERM HUP
fail() { echo "FAIL: $*"; head -c 2000 "$work"/main.* 2>/dev/null; exit 1; }
ok() { echo "ok: $*"; }

source "$(dirname "$0")/../scripts/xvfb.sh"  # wait_for, start_xvfb
start_xvfb "$work" || fail "Xvfb did not start"

title="Smoothed particle hydrodynamics"
shot() { timeout 30 import -window "$window" "$work/$1.png" || fail "no screenshot"; }
# White pixels of the top third: only box lines there while the box is
# upright or turned a little, so it changes only when the box turns.
box_lines() { convert "$work/$1.png" -crop 800x200+0+0 +repage -fill black +opaque white "$work/$1.lines.png"; }
moved() { convert "$work/$1.lines.png" "$work/$2.lines.png" -compose difference -composite -threshold 0 \
  -format '%[fx:int(mean*w*h+0.5)]' info:; }
count_white() { convert "$work/$1.lines.png" -fill black +opaque white -format '%[fx:int(mean*w*h+0.5)]' info:; }
fps_above_zero() { [[ "$(timeout 10 xdotool getwindowname "$window")" =~ ^FPS:\ [1-9][0-9]*$ ]]; }
alive() { [[ "$(awk '{ print $3 }' "/proc/$program_pid/stat" 2>/dev/null)" =~ ^[^Z]$ ]]; }

# --- the dialogue, with the window already there ------------------------
mkfifo "$work/console"
"$sph" <"$work/console" >"$work/main.out" 2>"$work/main.err" &
program_pid=$!
exec 4>"$work/console"
wait_for 30 grep -qx "Number of threads: " "$work/main.out" || fail "no prompt while the program waits"
window=""
find_window() { window=$(timeout 10 xdotool search --name "^$title\$" | head -n 1); [[ -n "$window" ]]; }
wait_for 30 find_window || fail "no window titled \"$title\" before the answer"
geometry=$(timeout 10 xdotool getwindowgeometry --shell "$window" | grep -E '^(X|Y|WIDTH|HEIGHT)=' | tr '\n' ' ')
[[ "$geometry" == "X=400 Y=100 WIDTH=800 HEIGHT=600 " ]] || fail "window geometry is $geometry"
echo 2 >&4
exec 4>&-
expected=$'Number of threads: Number of particles: 16000\n'
wait_for 60 eval '[[ "$(cat "$work/main.out"; echo x)" == "${expected}x" ]]' || fail "console output is not the prompt and the count"
[[ ! -s "$work/main.err" ]] || fail "unexpected message on standard error"
wait_for 60 fps_above_zero || fail "the title never showed \"FPS: \" and a number above 0"
ok "prompt, window 800x600 at (400, 100), answer 2, \"Number of particles: 16000\", FPS in the title"

# --- the picture: a white box and blue points, nothing else ---------------
shot picture
read -r white blue other < <(convert "$work/picture.png" -depth 8 -format %c histogram:info:- |
  sed -nE 's/^ *([0-9]+): *\( *([0-9]+), *([0-9]+), *([0-9]+).*/\1 \2 \3 \4/p' | awk '
  $2 == 255 && $3 == 255 && $4 == 255 { white += $1; next }
  $2 == 0 && $3 == 0 && $4 >= 120     { blue += $1; next }
  !($2 == 0 && $3 == 0 && $4 == 0)    { other += $1 }
  END { print white + 0, blue + 0, other + 0 }')
((white >= 1500 && blue >= 1000 && other * 100 <= white + blue)) ||
  fail "picture has $white white, $blue blue and $other other pixels"
ok "picture: $white white box pixels, $blue blue particle pixels, $other others"

# --- trails: while the liquid moves, pixels that points lit go dark again --
# Each frame is drawn on a cleared window; without that, every place a point
# has been stays lit.
went_dark() { convert "$work/picture.png" "$work/$1.png" -fx 'u.r == 0 && u.b > 0.45 && v.r + v.g + v.b == 0' \
  -format '%[fx:int(mean*w*h+0.5)]' info:; }
dark=0
for attempt in $(seq 20); do
  sleep 0.5 && shot moving && dark=$(went_dark moving)
  ((dark >= 100)) && break
done
((dark >= 100)) || fail "pixels lit by points stay lit while the liquid moves (trails)"
ok "$dark pixels lit by points went dark again"

# --- keys that do nothing, then Up, which turns the box while held --------
timeout 10 xdotool windowfocus --sync "$window" || fail "cannot focus the window"
shot before && box_lines before
timeout 10 xdotool key q Return space 1 F1 Page_Up && sleep 1 || fail "cannot send keys"
alive || fail "the program ended after q, Enter, space, 1, F1 or Page Up"
shot still && box_lines still
(($(moved before still) <= 50)) || fail "the box turned after keys that do nothing"
ok "q, Enter, space, 1, F1 and Page Up change nothing"
for seconds in 0.03 0.06 0.12 0.25 0.5 1 2 4; do  # until the box has turned
  timeout 10 xdotool keydown Up && sleep "$seconds" && timeout 10 xdotool keyup Up || fail "cannot send Up"
  sleep 0.5
  shot turned && box_lines turned
  (($(moved before turned) > 200)) && break
done
(($(moved before turned) > 200)) || fail "holding Up does not turn the box"
# Each frame is drawn on a cleared window: no trail of earlier boxes.
(($(count_white turned) * 2 < $(count_white before) * 3)) || fail "the turned box leaves a trail"
sleep 1 && shot released && box_lines released
(($(moved turned released) <= 50)) || fail "the box goes on turning after Up was released"
ok "Up turns the box while held (${seconds} s) and stops when released"

# The recorder, turning the box as Up does: one of its frames must show the
# box lines of each screenshot (upright, turned) pixel for pixel. One
# particle, in a bottom corner, keeps the top third to the box.
"$recorder" --frames 200 --layers 1,1,1 --hold up:0-199 --png "$work/recorded" >/dev/null || fail "sph-record failed"
for shot in before turned; do
  for png in "$work"/recorded/*.png; do
    cp "$png" "$work/recorded.png" && box_lines recorded
    (($(moved recorded $shot) == 0)) && continue 2
  done
  fail "no frame of sph-record shows the box as the window does ($shot)"
done
ok "sph-record draws the box as the window does, upright and turned"

timeout 10 xdotool key Escape || fail "cannot send Escape"
wait_for 30 eval '! alive' || fail "the program did not end after Escape"
wait "$program_pid"
status=$? program_pid=""
((status == 0)) || fail "exit status after Escape is $status, not 0"
ok "Escape ends the program with status 0"
passed=1
