#!/usr/bin/env bash
# `./fiscal run` on a real X server (Xvfb): the main screen must come up without a click,
# and stopping the run must stop the server it started.
#
#   run-on-display.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build="$2"
command -v xwininfo >/dev/null || { echo "FAIL: xwininfo is missing (./fiscal setup installs it)"; exit 1; }
source "$source_dir/tests/support/xdisplay.sh"

work="$(mktemp -d)"
run_pid=""
cleanup() {
  if [ -n "$run_pid" ]; then
    kill -TERM -- "-$run_pid" 2>/dev/null || true   # the run may have ended by itself
    wait "$run_pid" 2>/dev/null || true
  fi
  _xdisplay_stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- ./fiscal run said:"; cat "$work/run.log" 2>/dev/null || true; exit 1; }

# Whatever the caller exported (an offscreen platform, a port of its own), the run gets a
# display of this test's own and picks its port.
start_display || fail "no X server"
display="$DISPLAY"
unset FISCAL_PORT
echo "Xvfb on $display"

# Its own process group, so that the script, the server and the host stop together. The
# user's and the machine's settings files (a module path, a server, a token) are not this
# test's: the run reads folders of its own. An offscreen platform left exported by an earlier
# screenshot must not take the window off the display.
mkdir -p "$work/config" "$work/xdg"
QT_QPA_PLATFORM=offscreen DISPLAY="$display" FISCAL_NO_BUILD=1 FISCAL_BUILD_DIR="$build" FISCAL_DEMO_DB="$work/demo.sqlite" \
  XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/xdg" \
  setsid "$source_dir/fiscal" run >"$work/run.log" 2>&1 &
run_pid=$!

# The host's title names the active screen; the wait is long only for a loaded machine.
title="Parâmetros de Grupo Fiscal - Grupos Fiscais"
found=""
for _ in $(seq 1 600); do
  if xwininfo -display "$display" -root -tree 2>/dev/null | grep -q "\"$title"; then
    found=1
    break
  fi
  kill -0 "$run_pid" 2>/dev/null || fail "./fiscal run ended before the main screen appeared"
  sleep 0.2
done
[ -n "$found" ] || fail "no window titled '$title' on $display"
xwininfo -display "$display" -root -tree | grep "\"$title"
port="$(sed -n 's|^fiscal-server: http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/run.log")"
[ -n "$port" ] || fail "the run did not say the server's port"

kill -TERM -- "-$run_pid"
for _ in $(seq 1 100); do
  kill -0 "$run_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$run_pid" 2>/dev/null && fail "./fiscal run did not stop"
run_pid=""
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  sleep 0.1
done
! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || fail "the server still listens on $port"
echo "OK"
