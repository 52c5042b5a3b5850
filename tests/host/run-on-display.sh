#!/usr/bin/env bash
# `./fiscal run` on a real X server (Xvfb): the main screen must come up without a click,
# and stopping the run must stop the server it started.
#
#   run-on-display.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build="$2"
for tool in Xvfb xwininfo; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (./fiscal setup installs it)"; exit 1; }
done

work="$(mktemp -d)"
xvfb_pid=""; run_pid=""
cleanup() {
  [ -n "$run_pid" ] && kill -TERM -- "-$run_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- ./fiscal run said:"; cat "$work/run.log" 2>/dev/null || true; exit 1; }

# Xvfb picks a free display and writes its number.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
display=":$(head -1 "$work/display")"
echo "Xvfb on $display"

# Its own process group, so that the script, the server and the host stop together.
DISPLAY="$display" FISCAL_BUILD_DIR="$build" FISCAL_DEMO_DB="$work/demo.sqlite" \
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
