#!/usr/bin/env bash
# `./fiscal server` on a demo database it finds: one of this build's version is kept with its
# rows; one without the demo users, one made by a later build and a file that is not this
# system's database are kept and refused, never deleted or changed.
#
#   demo-database.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build="$2"
server="$build/apps/fiscal-server/fiscal-server"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0

# A demo database with one client moved to a group of its own: the mark that it was kept.
make_db() {
  "$server" --db "$1" --init --demo small >/dev/null
  sqlite3 "$1" "INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('K01', 'Marca do teste');
                UPDATE CLIENTE SET CDGRUPOFISC = 'K01' WHERE CDCLIENTE = (SELECT MIN(CDCLIENTE) FROM CLIENTE);"
}

# An address the server refuses: the script's own work is done before the server runs.
run_server() {
  FISCAL_NO_BUILD=1 FISCAL_BUILD_DIR="$build" FISCAL_DEMO_DB="$1" FISCAL_LISTEN="nenhum-endereco" \
    "$source_dir/fiscal" server >"$work/out" 2>&1 || true
}

marked() { [ -f "$1" ] && [ "$(sqlite3 "$1" "SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = 'K01'")" = 1 ]; }

check() {
  local name="$1" forge="$2" said="$3"
  local db="$work/$name.sqlite"
  make_db "$db"
  [ -n "$forge" ] && sqlite3 "$db" "$forge"
  run_server "$db"
  local ok=1
  marked "$db" || ok=0
  grep -q -- "$said" "$work/out" || ok=0
  if [ "$ok" = 1 ]; then
    echo "ok: $name"
  else
    echo "FAIL: $name (expected it kept and \"$said\"); ./fiscal said:"
    cat "$work/out"
    failed=1
  fi
}

check current "" "schema ready"
check later-build "INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES (99)" "cannot use"
check without-demo-users "UPDATE USUARIO SET NMUSUARIO = 'maria' WHERE NMUSUARIO = 'operador'" "no demo user operador"
check not-ours "DROP TABLE VERSAOESQUEMA; ALTER TABLE GRUPOFISCAL RENAME TO GRUPOS_DE_OUTRO" "not a database of this system"
exit "$failed"
