#!/usr/bin/env bash
# Starts fiscal-server on a free loopback port against the demo database and opens the
# host with the main screen (its lookups through the server, as on a desktop), signed in as
# the demo operator; without a display it takes a screenshot instead.
set -euo pipefail
build="$1"; db="$2"; shift 2
port="${FISCAL_PORT:-$("$(dirname "$0")/free-port" 2>/dev/null || echo 8211)}"
server="$build/apps/fiscal-server/fiscal-server"
host="$build/apps/erp-host/erp-host"

"$server" --db "$db" --listen "127.0.0.1:$port" &
server_pid=$!
trap 'kill -TERM $server_pid 2>/dev/null; wait $server_pid 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
if ! kill -0 "$server_pid" 2>/dev/null; then
  echo "fiscal-server did not start (database $db); see the message above." >&2
  exit 1
fi
echo "fiscal-server: http://127.0.0.1:$port/rpc/Ger10200.rdmParamGrupFiscal (database $db)"

if [ ! -x "$host" ]; then
  echo "erp-host is not built yet; the server runs until Ctrl+C."
  wait $server_pid
  exit 0
fi
# The demo operator, signed in without typing (demo users: README.md), unless the
# arguments name a user of their own: then "Entrar" asks for its password.
signin=(--user operador --password-stdin)
for arg in "$@"; do
  case "$arg" in --user|--user=*|--password-stdin) signin=() ;; esac
done
# A closed terminal or a logout (SIGHUP, SIGTERM) reaches the host too, which asks about
# unsaved changes: the server stays until the host has ended (bash runs these traps only
# once the command in the foreground is over).
trap ':' HUP TERM
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  shot="${FISCAL_SCREENSHOT:-$(dirname "$db")/main-screen.png}"
  QT_QPA_PLATFORM=offscreen "$host" --server "http://127.0.0.1:$port" --screenshot "$shot" \
    "${signin[@]}" "$@" <<<"operador-demo"
  echo "No display: the main screen was saved to $shot"
else
  # On a display the window goes there, whatever an earlier screenshot exported.
  [ "${QT_QPA_PLATFORM:-}" = offscreen ] && unset QT_QPA_PLATFORM
  "$host" --server "http://127.0.0.1:$port" --open "${signin[@]}" "$@" <<<"operador-demo"
fi
