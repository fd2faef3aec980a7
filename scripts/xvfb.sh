# Shared by the window test and the screenshot script (sourced, not run).

# Polls a command every 0.2 s for up to `seconds`: wait_for SECONDS COMMAND...
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# Starts a private X server with a 24-bit screen (so colours are exact) and
# exports its DISPLAY; sets xvfb_pid for the caller's clean-up. -displayfd
# picks a free display and writes its number once it accepts clients, so
# parallel runs never collide and no fixed sleep is needed. Returns 1, with
# the server's log on standard error, if it does not start.
start_xvfb() {
  local work=$1
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  if ! wait_for 30 test -s "$work/display"; then
    cat "$work/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=":$(head -n 1 "$work/display")"
  unset XAUTHORITY
}
