#!/usr/bin/env bash
# Throwaway PostgreSQL cluster for the tests: pg-cluster.sh start|stop|halt|resume STATE_DIR
# start:  initdb in a temporary folder, pg_ctl on a free loopback port, writes the
#         connection URL to STATE_DIR/url (over TCP) and STATE_DIR/socket-url (through the
#         cluster's Unix socket, as a server on the database's own machine connects).
#         initdb refuses root, so as root the cluster runs as the unprivileged 'postgres'
#         system user. The superuser is 'fiscal', with a database 'fiscal';
#         PG_CLUSTER_SUPERUSER=postgres makes it 'postgres', as Debian's own cluster, so that
#         the roles of a deployment can be made there as its guide says.
#         The tests' cluster does not flush its commits to disk (fsync and synchronous_commit
#         off: quicker, and nothing to keep); PG_CLUSTER_DURABLE=1 keeps PostgreSQL's own
#         defaults, every commit flushed, as a deployed database runs.
# stop:   stops the cluster and removes its folder.
# halt:   stops the server (fast shutdown: sessions are ended, open transactions rolled
#         back) and keeps its data; resume starts it again on the same port.
set -euo pipefail
action="$1"; state="$2"
# The newest version whose server is installed (a newer client alone has no initdb).
bindir=""
for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -rV); do
  [ -x "$d/initdb" ] && { bindir="$d"; break; }
done
[ -n "$bindir" ] || { echo "pg-cluster: PostgreSQL server binaries not found" >&2; exit 1; }

# From /, which 'postgres' may enter: PostgreSQL's tools go back to the folder they started
# in, and a checkout under /root or a private temporary folder is not theirs to read.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then (cd / && runuser -u postgres -- "$@"); else "$@"; fi
}

case "$action" in
  start)
    mkdir -p "$state"
    if [ -f "$state/datadir" ]; then "$0" stop "$state" || true; fi
    data="$(mktemp -d /tmp/fiscal-pg.XXXXXX)"
    echo "$data" > "$state/datadir"
    echo "${PG_CLUSTER_DURABLE:-0}" > "$state/durable"
    [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$data" && chmod 700 "$data"
    port="$("$(dirname "${BASH_SOURCE[0]}")/../../scripts/free-port")"
    superuser="${PG_CLUSTER_SUPERUSER:-fiscal}"
    as_owner "$bindir/initdb" -D "$data/db" -U "$superuser" --auth=trust -E UTF8 --locale=C.UTF-8 >"$state/initdb.log" 2>&1 \
      || { cat "$state/initdb.log" >&2; exit 1; }
    echo "$port" > "$state/port"
    "$0" resume "$state"
    database=postgres
    if [ "$superuser" = fiscal ]; then
      database=fiscal
      as_owner "$bindir/createdb" -h 127.0.0.1 -p "$port" -U fiscal fiscal
    fi
    echo "postgresql://$superuser@127.0.0.1:$port/$database" > "$state/url"
    echo "postgresql://$superuser@/$database?host=$data&port=$port" > "$state/socket-url"
    echo "pg-cluster: $(cat "$state/url")"
    ;;
  resume)
    data="$(cat "$state/datadir")"; port="$(cat "$state/port")"
    flush="-c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    if [ "$(cat "$state/durable" 2>/dev/null)" = 1 ]; then flush=""; fi
    as_owner "$bindir/pg_ctl" -D "$data/db" -l "$data/server.log" -w -t 60 \
      -o "-p $port -k $data -c listen_addresses=127.0.0.1 $flush -c max_connections=200" start >/dev/null
    ;;
  halt)
    data="$(cat "$state/datadir")"
    as_owner "$bindir/pg_ctl" -D "$data/db" -m fast -w stop >/dev/null
    ;;
  stop)
    [ -f "$state/datadir" ] || exit 0
    data="$(cat "$state/datadir")"
    as_owner "$bindir/pg_ctl" -D "$data/db" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$data" "$state/datadir" "$state/url" "$state/socket-url" "$state/port" "$state/durable"
    ;;
  *) echo "usage: pg-cluster.sh start|stop|halt|resume STATE_DIR" >&2; exit 2 ;;
esac
