#!/usr/bin/env bash
# Started from the desktop menu, nobody reads standard error: a setting that keeps erp-host
# from starting must be said in a box, and Enter on it ends the program with status 2.
#
#   start-error-on-display.sh SOURCE_DIR ERP_HOST
set -euo pipefail
source_dir="$1"
host="$2"
command -v xdotool >/dev/null || { echo "FAIL: xdotool is missing (./fiscal setup installs it)"; exit 1; }
source "$source_dir/tests/support/xdisplay.sh"

work="$(mktemp -d)"
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  _xdisplay_stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- erp-host said:"; cat "$work/host.log" 2>/dev/null || true; exit 1; }

start_display --wm || fail "no X server"
mkdir -p "$work/config/fiscal" "$work/xdg"
printf '[server]\nurl=http://127.0.0.1:0\n' >"$work/config/fiscal/erp-host.ini"
XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/xdg" "$host" --open >"$work/host.log" 2>&1 &
host_pid=$!

found=""
for _ in $(seq 1 600); do
  if xwininfo -root -tree 2>/dev/null | grep -q '"Erro"'; then
    found=1
    break
  fi
  kill -0 "$host_pid" 2>/dev/null || fail "erp-host ended without a box"
  sleep 0.2
done
[ -n "$found" ] || fail "no window titled 'Erro'"
grep -q "Porta do servidor inválida" "$work/host.log" || fail "standard error does not say why"

# The box has the focus (the window manager gives it): Enter closes it and the program ends.
xdotool search --sync --name '^Erro$' windowactivate --sync >/dev/null 2>&1 || true
xdotool key Return
status=""
for _ in $(seq 1 300); do
  if ! kill -0 "$host_pid" 2>/dev/null; then
    wait "$host_pid" && status=0 || status=$?
    break
  fi
  sleep 0.1
done
host_pid_left="$host_pid"
host_pid=""
[ -n "$status" ] || { kill "$host_pid_left" 2>/dev/null; fail "erp-host did not end after Enter on the box"; }
[ "$status" = 2 ] || fail "exit status $status, not 2"
echo "OK"
