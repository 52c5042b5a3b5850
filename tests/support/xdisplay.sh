#!/usr/bin/env bash
# An X server of the test's own (Xvfb), set up the same whatever the caller's environment
# holds.
#
#   xdisplay.sh [--wm] COMMAND [ARG...]    runs COMMAND on it; its exit code is ours
#   source xdisplay.sh; start_display [--wm]   the same for the rest of a script
#
# Xvfb picks a free display (-displayfd) and says its number once it accepts clients.
# --wm starts openbox and waits until it manages windows, so that windows are activated
# and focused as on a desktop. What runs there gets DISPLAY, QT_QPA_PLATFORM=xcb and an
# empty XAUTHORITY; the caller's Qt platform, Wayland display and X cookies are dropped.
# Xvfb and the window manager stop when the script exits.
#
# -noreset: without it Xvfb starts afresh whenever its last client disconnects, and drops
# any client that is still handshaking then: a program that starts while a poll such as
# xwininfo ends fails with "couldn't connect to display". The busier the machine, the
# wider that window.

_xdisplay_pids=()
_xdisplay_work=""

_xdisplay_stop() {
  local pid
  for pid in "${_xdisplay_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${_xdisplay_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  _xdisplay_pids=()
  [ -n "$_xdisplay_work" ] && rm -rf "$_xdisplay_work"
  _xdisplay_work=""
}

_xdisplay_fail() {
  echo "xdisplay: $*" >&2
  local log
  for log in "$_xdisplay_work"/*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log"):" >&2; cat "$log" >&2; }
  done
  return 1
}

# Waits up to $1 tenths of a second for the command after it to succeed, while pid $2 lives.
_xdisplay_wait() {
  local tenths="$1" pid="$2"; shift 2
  local _
  for _ in $(seq 1 "$tenths"); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

start_display() {
  local wm=""
  [ "${1:-}" = "--wm" ] && wm=openbox
  local tool
  for tool in Xvfb xprop $wm; do
    command -v "$tool" >/dev/null || { echo "xdisplay: $tool is missing (./fiscal setup installs it)" >&2; return 1; }
  done
  _xdisplay_work="$(mktemp -d)"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset \
    3>"$_xdisplay_work/display" 2>"$_xdisplay_work/xvfb.log" &
  _xdisplay_pids+=($!)
  # A whole line: the number and its newline.
  _xdisplay_wait 600 "${_xdisplay_pids[0]}" grep -q '^[0-9][0-9]*$' "$_xdisplay_work/display" \
    || _xdisplay_fail "Xvfb did not start" || return 1

  unset WAYLAND_DISPLAY QT_QPA_PLATFORM
  export DISPLAY=":$(head -1 "$_xdisplay_work/display")"
  export XAUTHORITY="$_xdisplay_work/no-cookies"
  export QT_QPA_PLATFORM=xcb

  if [ -n "$wm" ]; then
    openbox --sm-disable >"$_xdisplay_work/openbox.log" 2>&1 &
    _xdisplay_pids+=($!)
    _xdisplay_wait 600 "${_xdisplay_pids[1]}" sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' \
      || _xdisplay_fail "openbox did not start on $DISPLAY" || return 1
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  wm_flag=()
  if [ "${1:-}" = "--wm" ]; then wm_flag=(--wm); shift; fi
  [ $# -gt 0 ] || { echo "usage: xdisplay.sh [--wm] COMMAND [ARG...]" >&2; exit 2; }
  command_pid=""
  trap '[ -n "$command_pid" ] && kill "$command_pid" 2>/dev/null; _xdisplay_stop' EXIT
  trap 'exit 143' TERM
  trap 'exit 130' INT
  start_display "${wm_flag[@]}"
  # In the background, so that a TERM reaches the trap (and the command) at once.
  "$@" &
  command_pid=$!
  status=0
  wait "$command_pid" || status=$?
  command_pid=""
  exit "$status"
fi
