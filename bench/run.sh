#!/usr/bin/env bash
# Runs the benchmarks and puts their sections into docs/performance.md (bench/merge-results.py).
#
#   bench/run.sh BUILD_DIR [--only getdados,startup,grid,choicelist,lookups,selection,setcliente,session,
#                                  cadastro,replica,situacao,concurrent,cobertura,print,scaleout,import]
#                          [--backends sqlite,postgresql]
#
# The large demo database is built once and kept in var/bench/large.sqlite. The writing
# benchmarks work on a copy of it. For PostgreSQL a throwaway cluster is started with
# tests/support/pg-cluster.sh, filled with the large demo and removed at the end.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
[ $# -ge 1 ] || { echo "usage: bench/run.sh BUILD_DIR [--only LIST] [--backends LIST]" >&2; exit 2; }
build="$(cd "$1" && pwd)"; shift
only="getdados,startup,grid,choicelist,lookups,selection,setcliente,session,cadastro,replica,situacao,concurrent,cobertura,print,scaleout,import"
backends="sqlite,postgresql"
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only="$2"; shift 2 ;;
    --backends) backends="$2"; shift 2 ;;
    *) echo "bench/run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

server="$build/apps/fiscal-server/fiscal-server"
host="$build/apps/erp-host/erp-host"
bin="$build/bench"
var="$root/var/bench"
doc="$root/docs/performance.md"
results="$var/results.md"
log="$var/bench.log"
mkdir -p "$var"

cmake --build "$build" --target fiscal-server benchmarks >&2

wanted() { [[ ",$only," == *",$1,"* ]]; }
backend() { [[ ",$backends," == *",$1,"* ]]; }

: > "$results"
: > "$log"

failed=()

# Runs one benchmark when it was asked for; a failure is written into the results instead
# of stopping the rest. A line after each says when it ran and the load around it.
run() {
  local name="$1" title="$2"; shift 2
  wanted "$name" || return 0
  echo "bench: $name ($title)" >&2
  local when before
  when="$(date -u '+%Y-%m-%d %H:%M UTC')"
  before="$(cut -d' ' -f1 /proc/loadavg)"
  if ! "$bin/bench_$name" --out "$results" --server "$server" "$@" 2>>"$log"; then
    { echo "### $title"; echo; echo "Failed: $(tail -n 1 "$log")"; echo; } >> "$results"
    echo "bench: $name failed, see $log" >&2
    failed+=("$title")
  fi
  echo "<!-- ran: $when; load $before before, $(cut -d' ' -f1 /proc/loadavg) after -->" >> "$results"
}

if backend sqlite; then
  large="$var/large.sqlite"
  if [ ! -f "$large" ]; then
    echo "bench: building the large demo database (once)" >&2
    rm -f "$large.tmp" "$large.tmp-wal" "$large.tmp-shm"
    "$server" --db "$large.tmp" --init --demo large >&2
    mv "$large.tmp" "$large"
  fi
  # One kept from an older program gets this one's schema.
  "$server" migrate --db "$large" >&2
  run getdados "GetDados (SQLite)" --db "$large"
  # What a user feels: the host's start-up at three sizes, and the grid at 500,000 rows.
  run startup "Start-up (SQLite)" --db "$large" --host "$host"
  run grid "The client grid (SQLite)" --db "$large"
  run choicelist "The client list of 500,000 (SQLite)" --db "$large"
  run lookups "The lookups through the server (SQLite)" --db "$large"
  run selection "Long selections (SQLite)" --db "$large"
  run cobertura "GetCobertura (SQLite)" --db "$large"
  run print "Printing and exporting 500,000 clients" --db "$large"
  if wanted setcliente || wanted session || wanted cadastro || wanted replica || wanted situacao || wanted import; then
    work="$var/work.sqlite"
    rm -f "$work" "$work-wal" "$work-shm"
    cp "$large" "$work"
    run setcliente "SetCliente (SQLite)" --db "$work"
    run session "Sign-in and sessions (SQLite)" --db "$work"
    run cadastro "CadastroAutomatico (SQLite)" --db "$work"
    run replica "Replica (SQLite)" --db "$work"
    run situacao "GetSituacaoEm (SQLite)" --db "$work"
    run import "Importing a spreadsheet (SQLite)" --db "$work" --xlsx2csv "$(command -v xlsx2csv || echo xlsx2csv)"
    rm -f "$work" "$work-wal" "$work-shm"
  fi
fi

if backend postgresql; then
  state="$var/pg"
  "$root/tests/support/pg-cluster.sh" start "$state" >&2
  trap '"$root/tests/support/pg-cluster.sh" stop "$state" >&2 || true' EXIT
  # Both sides reach the database through its socket, as the servers on the database's own
  # machine do in docs/deploy.md; over loopback TCP each round trip costs more.
  url="$(cat "$state/socket-url")"
  # The server's own tools, not the version-picking wrappers in /usr/bin.
  pgbin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
  echo "bench: filling PostgreSQL with the large demo" >&2
  "$server" --db "$url" --init --demo large >&2
  # The freshly loaded tables would otherwise be vacuumed by the autovacuum during the first
  # sections, on whichever side it lands in.
  "$pgbin/psql" -q "$url" -c "VACUUM ANALYZE" >&2
  run getdados "GetDados (PostgreSQL)" --db "$url" --psql "$pgbin/psql"
  run selection "Long selections (PostgreSQL)" --db "$url"
  run cobertura "GetCobertura (PostgreSQL)" --db "$url" --psql "$pgbin/psql"
  run setcliente "SetCliente (PostgreSQL)" --db "$url"
  run session "Sign-in and sessions (PostgreSQL)" --db "$url"
  run replica "Replica (PostgreSQL)" --db "$url"
  run scaleout "Scale-out through nginx (PostgreSQL)" --db "$url" \
    --proxy "$root/tests/support/nginx-proxy.sh" --pg-pid-file "$(cat "$state/datadir")/db/postmaster.pid"
  # These change every client's group: last.
  run cadastro "CadastroAutomatico (PostgreSQL)" --db "$url"
  run situacao "GetSituacaoEm (PostgreSQL)" --db "$url"
  run import "Importing a spreadsheet (PostgreSQL)" --db "$url"
  run concurrent "Concurrent SetCliente (PostgreSQL)" --db "$url" --pgbench "$pgbin/pgbench" \
    --pg-pid-file "$(cat "$state/datadir")/db/postmaster.pid"
  if wanted concurrent; then
    # Once more on a cluster that flushes every commit, as a deployed one does: reported.
    # The first cluster is done with; it stops so as not to run beside the second.
    "$root/tests/support/pg-cluster.sh" stop "$state" >&2
    flushed="$var/pg-flushed"
    PG_CLUSTER_DURABLE=1 "$root/tests/support/pg-cluster.sh" start "$flushed" >&2
    trap '"$root/tests/support/pg-cluster.sh" stop "$state" >&2 || true; "$root/tests/support/pg-cluster.sh" stop "$flushed" >&2 || true' EXIT
    furl="$(cat "$flushed/socket-url")"
    "$server" --db "$furl" --init --demo large >&2
    "$pgbin/psql" -q "$furl" -c "VACUUM ANALYZE" >&2
    run concurrent "Concurrent SetCliente, every commit flushed (PostgreSQL)" --db "$furl" --pgbench "$pgbin/pgbench" \
      --pg-pid-file "$(cat "$flushed/datadir")/db/postmaster.pid" --flushed yes
    "$root/tests/support/pg-cluster.sh" stop "$flushed" >&2
  fi
fi

cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
python3 "$here/merge-results.py" "$doc" "$results" \
  "$(nproc) cores (${cpu:-unknown CPU}), $(free -g | awk '/Mem:/ {print $2}') GiB RAM"
echo "bench: results written to $doc" >&2
# The rest ran and was written; the run as a whole still says it failed.
if [ "${#failed[@]}" -gt 0 ]; then
  printf 'bench: failed: %s\n' "${failed[@]}" >&2
  exit 1
fi
