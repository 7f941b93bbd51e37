# Sourced by the scripts that need a private X display, and find the window on it.
#
#   start_xvfb DIR [WIDTHxHEIGHT]
#
# Starts Xvfb on a display number the server picks itself (-displayfd), so scripts and tests that
# run side by side never share a display: a choice made by looking for free lock files races with
# another script doing the same. Sets XVFB_DISPLAY (":N") and XVFB_PID; the server's output goes to
# DIR/xvfb.log. Returns 1 when the server is not up within 20 s.
# -noreset: without it the server resets whenever its last client leaves, and a script's short
# polls (xprop, xdotool) are often the only client while the window manager or the tray is still
# starting; a client that connects during that reset is refused ("cannot open display"), seen about
# once in 30 starts of openbox and trayer side by side on a loaded machine.
start_xvfb() {
  local dir=$1 size=${2:-1280x1024} tenths
  rm -f "$dir/xvfb.display"
  Xvfb -displayfd 5 -screen 0 "${size}x24" -nolisten tcp -noreset \
    5>"$dir/xvfb.display" >"$dir/xvfb.log" 2>&1 &
  XVFB_PID=$!
  XVFB_DISPLAY=""
  # The number is written, with its newline, once the server accepts connections.
  for ((tenths = 200; tenths > 0; tenths--)); do
    if grep -q '^[0-9][0-9]*$' "$dir/xvfb.display" 2>/dev/null; then
      XVFB_DISPLAY=":$(head -n 1 "$dir/xvfb.display")"
      return 0
    fi
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$dir/xvfb.log" >&2 2>/dev/null || true
  return 1
}

# wait_quenlo_window DISPLAY PID [TENTHS]: prints the id of Quenlo's window once it is on DISPLAY;
# prints nothing when PID ends first or TENTHS tenths of a second (default 150) have passed.
wait_quenlo_window() {
  local display=$1 pid=$2 tenths=${3:-150} id=""
  for ((; tenths > 0; tenths--)); do
    id=$(DISPLAY="$display" xwininfo -root -tree 2>/dev/null |
         awk '/"Quenlo": \("quenlo" "Quenlo"\)/ {print $1; exit}') || true
    [ -n "$id" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  printf '%s' "$id"
}
