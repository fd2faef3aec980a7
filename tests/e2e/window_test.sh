#!/usr/bin/env bash
# End-to-end test of the window program, used as a person would use it: in a
# private virtual X server (Xvfb, 24-bit so colours are exact) it checks the
# console dialogue, the window and its title, the picture, the keys and the
# exit status.
#
#   window_test.sh PATH/TO/sph
#
# Nothing here depends on the frame rate: every wait polls with a generous
# limit, and key holds are scaled to the rate shown in the title and
# lengthened until the picture changes.
set -uo pipefail

sph=${1:?usage: window_test.sh PATH/TO/sph}

# The whole test runs under a time limit well below CTest's, so that on a
# hang the clean-up below still stops the X server and the program (CTest
# would kill this script without it).
if [[ -z "${SPH_WINDOW_TEST_LIMITED:-}" ]]; then
  SPH_WINDOW_TEST_LIMITED=1 exec timeout -s TERM 240 bash "$0" "$@"
fi
title="Smoothed particle hydrodynamics"
expected_stdout=$'Number of threads: Number of particles: 16000\n'
range_message="Please enter a whole number from 1 to 1024."

for tool in Xvfb xdotool import convert timeout; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool not found (scripts/setup.sh installs it)"; exit 1; }
done
[[ -x "$sph" ]] || { echo "FAIL: no program at $sph"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/sph-window-test.XXXXXX")
xvfb_pid=""
program_pid=""
passed=0

cleanup() {
  [[ -n "$program_pid" ]] && kill "$program_pid" 2>/dev/null
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  if ((passed)); then rm -rf "$work"; else echo "Screenshots and console output kept in $work"; fi
}
trap cleanup EXIT
trap 'echo "FAIL: stopped (time limit or signal)"; exit 1' INT TERM HUP

fail() {
  echo "FAIL: $*"
  for file in "$work"/*.out "$work"/*.err; do
    [[ -s "$file" ]] && { echo "--- $file"; cat -A "$file" | head -20; }
  done
  exit 1
}
ok() { echo "ok: $*"; }

# wait_for and start_xvfb.
source "$(dirname "$0")/../../tools/xvfb.sh"

# --- X server -----------------------------------------------------------
start_xvfb "$work" || fail "Xvfb did not start"
ok "Xvfb on $DISPLAY"

# --- helpers on the program's window -------------------------------------
window_named() { timeout 10 xdotool search --name "$1" 2>/dev/null | head -n 1; }
window_title() { timeout 10 xdotool getwindowname "$1" 2>/dev/null; }
# A child that has ended but was not yet waited for is a zombie: not alive.
process_alive() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n "$state" && "$state" != Z ]]
}
process_ended() { ! process_alive "$1"; }

# Screenshot of the window as PNG.
screenshot() { timeout 30 import -window "$1" "$2"; }

# The white pixels of the top third of a screenshot. The liquid never climbs
# that high while the box is upright or turned a little, so this part shows
# only the box lines and stays the same while the box is not turned.
upper_box_lines() {
  convert "$1" -crop 800x200+0+0 +repage -fill black +opaque white "$2"
}

# Number of pixels that differ between two images of the same size.
differing_pixels() {
  convert "$1" "$2" -compose difference -composite -threshold 0 \
    -precision 10 -format '%[fx:int(mean*w*h+0.5)]' info:
}

# "count r g b" per colour present in a screenshot.
colour_counts() {
  convert "$1" -depth 8 -format %c histogram:info:- |
    sed -nE 's/^ *([0-9]+): *\( *([0-9]+), *([0-9]+), *([0-9]+).*/\1 \2 \3 \4/p'
}

# True once a console output holds the particle count line, line end included
# (an extra x keeps $(...) from dropping it).
console_done() { [[ "$(cat "$1" 2>/dev/null; echo x)" == *"Number of particles: "*$'\n'x ]]; }

fps_in_title() {
  local text
  text=$(window_title "$1") || return 1
  [[ "$text" =~ ^FPS:\ ([0-9]+)$ ]] || return 1
  echo "${BASH_REMATCH[1]}"
}
fps_above_zero() {
  local fps
  fps=$(fps_in_title "$1") || return 1
  ((fps > 0))
}

# Waits up to `seconds` for the program to end and sets `status` to its
# exit status.
program_ends_within() {
  wait_for "$1" process_ended "$program_pid" || return 1
  wait "$program_pid"
  status=$?
  program_pid=""
}

# --- 1. normal run: answer 2 through a pipe --------------------------------
mkfifo "$work/console"
"$sph" <"$work/console" >"$work/main.out" 2>"$work/main.err" &
program_pid=$!
exec 4>"$work/console"  # opening the write end lets the program's open finish

has_prompt() { [[ "$(cat "$work/main.out")" == "Number of threads: " ]]; }
wait_for 30 has_prompt || fail "no prompt \"Number of threads: \" while the program waits"
ok "prompt shown while waiting for the answer"

window=""
find_window() { window=$(window_named "^$title\$"); [[ -n "$window" ]]; }
wait_for 30 find_window || fail "no window titled \"$title\" before the console was answered"
ok "window \"$title\" exists before the answer"
geometry=$(timeout 10 xdotool getwindowgeometry --shell "$window" | grep -E '^(X|Y|WIDTH|HEIGHT)=' | tr '\n' ' ')
[[ "$geometry" == "X=400 Y=100 WIDTH=800 HEIGHT=600 " ]] || fail "window geometry is $geometry, not 800x600 at (400, 100)"
ok "window is 800x600 at (400, 100)"

echo 2 >&4
exec 4>&-

wait_for 60 console_done "$work/main.out" || fail "no particle count after the answer 2"
[[ "$(cat "$work/main.out"; echo x)" == "${expected_stdout}x" ]] ||
  fail "standard output is not exactly \"Number of threads: Number of particles: 16000\" and a line end"
[[ ! -s "$work/main.err" ]] || fail "unexpected message on standard error"
ok "console: prompt, then \"Number of particles: 16000\""

wait_for 60 fps_above_zero "$window" || fail "title never showed \"FPS: \" with a number above 0 (title: $(window_title "$window"))"
fps=$(fps_in_title "$window")
# The first period may have begun before the main loop; the next is whole.
sleep 1.2
later_fps=$(fps_in_title "$window") && ((later_fps > fps)) && fps=$later_fps
ok "title shows frames per second: FPS: $fps"

# Keys that must do nothing are held for at least ten frames at the rate
# just seen, and a second.
hold=$(((10 + fps - 1) / fps + 1))
((hold > 20)) && hold=20
# An arrow is first held for about five frames: the box turns by some ten
# degrees, little enough for the liquid to stay at the bottom of the window.
arrow_hold=$(awk -v fps="$fps" 'BEGIN { printf "%.3f", 5 / fps }')

# --- 2. the picture ----------------------------------------------------------
screenshot "$window" "$work/picture.png" || fail "no screenshot of the window"
colour_counts "$work/picture.png" >"$work/picture.colours"
read -r white blue other blue_low blue_high < <(awk '
  $2 == 255 && $3 == 255 && $4 == 255 { white += $1; next }
  $2 == 0 && $3 == 0 && $4 >= 120     { blue += $1; if (low == "" || $4 < low) low = $4; if ($4 > high) high = $4; next }
  !($2 == 0 && $3 == 0 && $4 == 0)    { other += $1 }
  END { print white + 0, blue + 0, other + 0, low + 0, high + 0 }' "$work/picture.colours")
((white >= 1500)) || fail "box not drawn: only $white white pixels"
((blue >= 1000)) || fail "particles not drawn: only $blue blue pixels"
# No smoothing: every pixel is background, box or a particle.
((other * 100 <= white + blue)) || fail "$other pixels that are neither black, white nor blue"
ok "picture: $white white box pixels, $blue blue particle pixels (blue $blue_low..$blue_high), $other others"

# --- 3. keys that must do nothing ----------------------------------------------
timeout 10 xdotool windowfocus --sync "$window" || fail "cannot focus the window"

screenshot "$window" "$work/still_before.png" || fail "no screenshot"
upper_box_lines "$work/still_before.png" "$work/still_before_lines.png"

press_and_hold() {  # keys... : held together for $hold seconds
  timeout 10 xdotool keydown "$@" && sleep "$hold" && timeout 10 xdotool keyup "$@"
}
timeout 10 xdotool key q Return space 1 || fail "cannot send keys"
press_and_hold F1 || fail "cannot send keys"
press_and_hold Page_Up || fail "cannot send keys"
sleep 1

process_alive "$program_pid" || fail "the program ended after q, Enter, space, 1, F1 or Page Up"
screenshot "$window" "$work/still_after.png" || fail "no screenshot after the keys"
upper_box_lines "$work/still_after.png" "$work/still_after_lines.png"
moved=$(differing_pixels "$work/still_before_lines.png" "$work/still_after_lines.png")
((moved <= 50)) || fail "the box turned ($moved pixels of its lines moved) after keys that must do nothing"
ok "q, Enter, space, 1, F1 and Page Up change nothing ($moved pixels)"

# --- 4. arrow keys turn the box while held --------------------------------------
# Each arrow is held briefly and released; if the box has not turned (the
# program was slow just then), it is held again for twice as long. The box
# then has to stay still.
for key in Up Left Down Right; do
  screenshot "$window" "$work/before_$key.png" || fail "no screenshot"
  upper_box_lines "$work/before_$key.png" "$work/before_${key}_lines.png"

  seconds=$arrow_hold
  held=0
  until
    timeout 10 xdotool keydown "$key" || fail "cannot send $key"
    sleep "$seconds"
    timeout 10 xdotool keyup "$key" || fail "cannot release $key"
    sleep 0.5
    screenshot "$window" "$work/after_$key.png" || fail "no screenshot"
    upper_box_lines "$work/after_$key.png" "$work/after_${key}_lines.png"
    moved=$(differing_pixels "$work/before_${key}_lines.png" "$work/after_${key}_lines.png")
    ((moved > 200))
  do
    held=$(awk -v a="$held" -v b="$seconds" 'BEGIN { print a + b }')
    awk -v held="$held" 'BEGIN { exit !(held < 30) }' || fail "holding $key for 30 s in all did not turn the box"
    seconds=$(awk -v s="$seconds" 'BEGIN { printf "%.3f", 2 * s }')
  done

  # Released: the box must stay still.
  sleep "$hold"
  screenshot "$window" "$work/released_$key.png" || fail "no screenshot"
  upper_box_lines "$work/released_$key.png" "$work/released_${key}_lines.png"
  sleep "$hold"
  screenshot "$window" "$work/later_$key.png" || fail "no screenshot"
  upper_box_lines "$work/later_$key.png" "$work/later_${key}_lines.png"
  still=$(differing_pixels "$work/released_${key}_lines.png" "$work/later_${key}_lines.png")
  ((still <= 50)) || fail "the box goes on turning after $key was released ($still pixels moved)"
  ok "$key turns the box while held (${seconds} s, $moved pixels) and stops when released ($still)"
done

# Points are coloured by speed: after the turns the liquid moves, so the
# picture holds several shades of blue.
colour_counts "$work/later_Right.png" >"$work/later.colours"
shades=$(awk '$2 == 0 && $3 == 0 && $4 >= 120 { n++ } END { print n + 0 }' "$work/later.colours")
((shades >= 3)) || fail "only $shades shades of blue while the liquid moves"
ok "$shades shades of blue while the liquid moves"

# --- 5. Escape ends the program with status 0 ------------------------------------
timeout 10 xdotool key Escape || fail "cannot send Escape"
program_ends_within 30 || fail "the program did not end after Escape"
((status == 0)) || fail "exit status after Escape is $status, not 0"
ok "Escape ends the program with status 0"

# --- 6. console answers that are not taken as they stand -------------------------
# Each run below is ended by us once its console output is complete.
run_with_input() {  # name, input text
  printf '%s' "$2" >"$work/$1.in"
  "$sph" <"$work/$1.in" >"$work/$1.out" 2>"$work/$1.err" &
  program_pid=$!
  wait_for 60 console_done "$work/$1.out" || fail "$1: no particle count line"
}

stop_program() {
  kill "$program_pid" 2>/dev/null
  wait "$program_pid" 2>/dev/null
  program_pid=""
}

run_with_input bad_answers $'abc\n0\n5000\n99999999999\n2\n'
stop_program
expected_bad=$'Number of threads: Number of threads: Number of threads: Number of threads: Number of threads: Number of particles: 16000\n'
[[ "$(cat "$work/bad_answers.out"; echo x)" == "${expected_bad}x" ]] || fail "bad answers: prompt not asked again 4 times"
[[ "$(grep -c . "$work/bad_answers.err")" == 4 && "$(grep -cxF "$range_message" "$work/bad_answers.err")" == 4 ]] ||
  fail "bad answers: not 4 lines \"$range_message\" on standard error"
ok "bad answers are refused with a message and asked again"

run_with_input trailing_text $'3 threads\n'
stop_program
[[ "$(cat "$work/trailing_text.out"; echo x)" == "${expected_stdout}x" ]] || fail "trailing text: number not taken"
[[ ! -s "$work/trailing_text.err" ]] || fail "trailing text: unexpected message"
ok "\"3 threads\" is taken as 3"

# End of input: one message, then the program runs (on one thread).
run_with_input no_input ""
[[ "$(cat "$work/no_input.out"; echo x)" == "${expected_stdout}x" ]] || fail "no input: wrong standard output"
[[ "$(grep -c . "$work/no_input.err")" == 1 ]] || fail "no input: not exactly one line on standard error"
window=""
find_any_window() { window=$(window_named "FPS: |^$title\$"); [[ -n "$window" ]]; }
wait_for 30 find_any_window || fail "no input: no window"
wait_for 60 fps_above_zero "$window" || fail "no input: the program does not run frames"
timeout 10 xdotool windowfocus --sync "$window" && timeout 10 xdotool key Escape || fail "cannot send Escape"
program_ends_within 30 || fail "no input: the program did not end after Escape"
((status == 0)) || fail "no input: exit status $status"
ok "end of input: one message, runs on one thread, Escape ends it"

passed=1
echo "window program: all checks passed"
