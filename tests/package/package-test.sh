#!/usr/bin/env bash
# The Debian packages as an operator gets them: built with cpack, checked with lintian,
# installed with apt-get into a throwaway root (an overlay of this machine's own root, so
# their dependencies are the ones Debian installed here) where systemd is booted in a
# container; the server started through its unit, restarted by systemd after a crash,
# erp-host opened headless against it by a desktop user without access to the database; then a
# PostgreSQL cluster made there with the roles of docs/deploy.md, the schema migrated by its
# owner through the migration unit and the unit serving with the runtime role only; both
# packages purged. The units run with the example settings of docs/deploy.md, as an
# operator copies them, and keep their systemd-analyze security score.
#
#   package-test.sh BUILD_DIR
#
# Where no container can boot, the unit's command is run as its user instead; where no
# overlay can be mounted, the packages go onto this machine itself, under a lock, and are
# purged afterwards. Exit 77 (skipped) only when not root, or when that would remove
# packages installed here.
set -euo pipefail

build="$(cd "$1" && pwd)"
guide="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/docs/deploy.md"
support="$(cd "$(dirname "${BASH_SOURCE[0]}")/../support" && pwd)"
if [ "${2:-}" != --inside ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: installing packages needs root (apt-get, mount, adduser)"
    exit 77
  fi
  work="$(mktemp -d "$build/package-test.XXXXXX")"
  # Never across a mount point: a root still mounted in it is left rather than emptied.
  trap 'rm -rf --one-file-system "$work"' EXIT
  echo "== building the packages"
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; exit 1; }
  rm -rf "$work/debs/_CPack_Packages"
  ls "$work/debs"
  echo "== lintian"
  lintian --fail-on error "$work"/debs/*.deb >"$work/lintian.log" 2>&1 || lintian_failed=1
  grep -v 'running with root privileges' "$work/lintian.log" || true
  [ -z "${lintian_failed:-}" ] || { echo "FAIL: lintian reports errors"; exit 1; }
  # Into a private mount namespace: the overlay and its binds vanish with it.
  if unshare -m --propagation private true 2>/dev/null; then
    # Not exec'd, so that the work folder goes once the namespace and its mounts are gone
    # (a failure leaves through set -e, with its status, past the same trap).
    unshare -m --propagation private "$0" "$build" --inside "$work"
    exit 0
  fi
  exec "$0" "$build" --inside "$work"
fi

work="$3"
root="$work/root"
fail() { echo "FAIL: $*"; exit 1; }
container=""; server_pid=""; pgdata=""

# ---- the root to install into, and how to run a command there ----
mkdir -p "$root" "$work/upper" "$work/overlay-work"
if mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$root" 2>/dev/null; then
  # systemd in a container on the throwaway root, up to basic.target only: no service of
  # this machine starts there. It shares the machine's network, so loopback ports meet.
  if command -v systemd-nspawn >/dev/null; then
    # An image may forbid maintainer scripts to touch services (policy-rc.d exits 101); an
    # installed machine does not, and the scripts' stop and restart are under test here.
    rm -f "$root/usr/sbin/policy-rc.d"
    systemd-nspawn -q -D "$root" --register=no --keep-unit -b -- systemd.unit=basic.target \
      >"$work/container.log" 2>&1 </dev/null &
    container=$!
    for _ in $(seq 1 100); do
      leader="$(pgrep -P "$container" -x systemd || true)"
      [ -n "$leader" ] && break
      sleep 0.1
    done
    for _ in $(seq 1 150); do
      [ -n "$leader" ] || break
      state="$(nsenter -t "$leader" -a systemctl is-system-running 2>/dev/null || true)"
      [ "$state" = running ] || [ "$state" = degraded ] && break
      sleep 0.2
    done
    if [ "${state:-}" = running ] || [ "${state:-}" = degraded ]; then
      echo "== throwaway root: an overlay of / at $root, systemd booted in a container"
      inroot() { nsenter -t "$leader" -a "$@"; }
      inroot_exec() { exec nsenter -t "$leader" -a "$@"; }
    else
      echo "== systemd-nspawn could not boot the overlay; its log:"
      cat "$work/container.log"
      kill "$container" 2>/dev/null; wait "$container" 2>/dev/null || true
      container=""
    fi
  fi
  if [ -z "$container" ]; then
    echo "== throwaway root: an overlay of / at $root, entered with chroot (no systemd)"
    mount --rbind /dev "$root/dev"
    mount --bind /proc "$root/proc"
    mount --rbind /sys "$root/sys"
    # A /run of its own: no systemd there, so the maintainer scripts leave the machine's alone.
    mount -t tmpfs tmpfs "$root/run"
    inroot() { chroot "$root" "$@"; }
    inroot_exec() { exec chroot "$root" "$@"; }
  fi
else
  echo "== no overlay mount here: installing on this machine, then purging"
  root=""
  exec 9>/var/lock/fiscal-package-test.lock
  flock 9
  for p in erp-host fiscal-server; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
      echo "SKIPPED: $p is installed on this machine; the test would remove it"
      exit 77
    fi
  done
  if [ -e /var/lib/fiscal-server ]; then
    echo "SKIPPED: /var/lib/fiscal-server exists on this machine; the test would write into it"
    exit 77
  fi
  # The package keeps its system user on purge; a user this test made goes afterwards.
  getent passwd fiscal >/dev/null || remove_user=1
  inroot() { "$@"; }
  inroot_exec() { exec "$@"; }
fi

cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  if [ -n "${pgdata:-}" ]; then
    inroot env -C / runuser -u postgres -- "$pgbin/pg_ctl" -D "$pgdata/db" -m fast -w stop >/dev/null 2>&1 || true
    [ -n "$root" ] || rm -rf "$pgdata"
  fi
  if [ -n "$container" ]; then
    kill "$container" 2>/dev/null   # asks the container to power off
    wait "$container" 2>/dev/null
  fi
  if [ -z "$root" ]; then
    apt-get purge -y -qq erp-host fiscal-server >/dev/null 2>&1 || true
    # The purge keeps a folder holding data; the test made it (it refuses to start when the
    # folder is there), and a leftover would turn every later run into a skip.
    rm -rf /var/lib/fiscal-server
    userdel --remove fiscaltest >/dev/null 2>&1 || true
    if [ -n "${remove_user:-}" ]; then
      userdel fiscal >/dev/null 2>&1 || true
      groupdel fiscal >/dev/null 2>&1 || true
    fi
    rm -f /tmp/erp-host.png
  fi
  return 0
}
trap cleanup EXIT

apt() {
  inroot env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300 "$@" >"$work/apt.log" 2>&1 \
    || { cat "$work/apt.log"; fail "apt-get $1"; }
  grep -iE '^(W|E):|warning|error' "$work/apt.log" || true
}
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
wait_listening() {
  for _ in $(seq 1 150); do listening && return 0; sleep 0.1; done
  return 1
}
port="$("$support/../../scripts/free-port")"
unit="fiscal-server@$port.service"

# The packages where the root sees them: systemd in the container mounts a /tmp of its own,
# which hides a build tree under /tmp.
indebs="$work/debs"
if [ -n "$root" ]; then
  mkdir -p "$root/var/cache/fiscal-package-test"
  cp "$work"/debs/*.deb "$root/var/cache/fiscal-package-test/"
  indebs=/var/cache/fiscal-package-test
fi
server_deb="$indebs/$(basename "$work"/debs/fiscal-server_*.deb)"
host_deb="$indebs/$(basename "$work"/debs/erp-host_*.deb)"

# ---- install ----
echo "== apt-get install"
apt install --no-install-recommends "$server_deb" "$host_deb"
version="$(dpkg-deb -f "$work"/debs/fiscal-server_*.deb Version)"
inroot fiscal-server --version | grep -qx "fiscal-server ${version%-*}" || fail "fiscal-server --version does not say ${version%-*}"
inroot erp-host --version | grep -q "${version%-*}" || fail "erp-host --version does not say ${version%-*}"
inroot erp-host --help | grep -q -- "--open" || fail "erp-host --help"
inroot getent passwd fiscal >/dev/null || fail "no system user fiscal"
[ "$(inroot stat -c '%U:%G %a' /var/lib/fiscal-server)" = "fiscal:fiscal 700" ] \
  || fail "/var/lib/fiscal-server is $(inroot stat -c '%U:%G %a' /var/lib/fiscal-server)"
for f in /usr/share/applications/erp-host.desktop /usr/share/icons/hicolor/48x48/apps/erp-host.png \
         /usr/share/icons/hicolor/scalable/apps/erp-host.svg /usr/share/man/man1/erp-host.1.gz \
         /etc/xdg/fiscal/erp-host.ini /etc/fiscal-server/fiscal-server.env \
         /usr/share/doc/fiscal-server/deploy.md.gz /usr/share/doc/fiscal-server/examples/nginx/fiscal-server.conf; do
  [ -f "$root$f" ] || fail "$f is not installed"
done
inroot desktop-file-validate /usr/share/applications/erp-host.desktop || fail "desktop entry"
inroot systemd-analyze verify "/lib/systemd/system/$unit" /lib/systemd/system/fiscal-server-migrate.service \
  || fail "systemd-analyze verify"
# The sandbox of both units: an exposure of 1.4 ("OK") or less, as the units were made.
for u in fiscal-server@.service fiscal-server-migrate.service; do
  inroot systemd-analyze security --offline=yes --threshold=14 --no-pager "/lib/systemd/system/$u" >"$work/security.log" 2>&1 \
    || { tail -n 3 "$work/security.log"; fail "systemd-analyze security: $u is more exposed than 1.4"; }
done
# The nginx site as installed, only its certificate paths pointed at one made here.
"$support/nginx-proxy.sh" check "$work/nginx" "$root/usr/share/doc/fiscal-server/examples/nginx/fiscal-server.conf" \
  >"$work/nginx.log" 2>&1 || { cat "$work/nginx.log"; fail "nginx -t on the installed site"; }

# ---- the deployment guide's settings ----
# The guide's example of fiscal-server.env, first with the database the package sets
# (SQLite; PostgreSQL comes later): the block that follows the line naming the file.
guide_block() { "$support/guide-block.sh" "$guide" "$1"; }
example="$(guide_block 'Em `/etc/fiscal-server/fiscal-server.env`:')"
grep -q '^FISCAL_AUTH=usuarios' <<<"$example" || fail "no example of fiscal-server.env with sign-in in $guide"
envfile="$root/etc/fiscal-server/fiscal-server.env"
db="$(sed -n 's/^FISCAL_DB=//p' "$envfile")"
sed "s|^FISCAL_DB=.*|FISCAL_DB=$db|" <<<"$example" >"$envfile"

# Without systemd: a unit's ExecStart as systemd runs it, ${VAR} and %i expanded with the
# unit's environment files, read as root, then the user's rights and umask. Execs.
run_as_unit() {
  local exec_start command env
  exec_start="$(sed -n 's/^ExecStart=//p' "$root/lib/systemd/system/$1")"; shift
  # What systemd reads from them: KEY=VALUE lines, every value up to the end of its line.
  mapfile -t env < <(grep -hv -e '^[[:space:]]*[#;]' -e '^[[:space:]]*$' "$@")
  command="$(inroot env -i "${env[@]}" bash -c 'eval "echo $1"' _ "${exec_start//%i/$port}")"
  echo "   $command"
  # shellcheck disable=SC2086
  inroot_exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${env[@]}" bash -c \
    'umask 0077; exec "$@"' _ "${as_fiscal[@]}" $command
}

# ---- the server ----
as_fiscal=(setpriv --reuid=fiscal --regid=fiscal --init-groups)
# The installation made the database, the service's alone; the migration unit makes none.
[ "$(inroot stat -c '%U %a' "$db" 2>/dev/null)" = "fiscal 600" ] || fail "the installation did not make $db, the service's alone"
inroot "${as_fiscal[@]}" sqlite3 "$db" 'SELECT NRVERSAO FROM VERSAOESQUEMA' >/dev/null || fail "$db has no schema"
# Demo data first, so that the host shows rows; the unit's --init must leave them alone. It
# brings the demo users, one of whom the host signs in as.
inroot "${as_fiscal[@]}" sh -c "umask 0077; fiscal-server --db '$db' --init --demo small" >/dev/null \
  || fail "demo data"
if [ -n "$container" ]; then
  echo "== the server through its unit: systemctl start $unit"
  journal() { inroot journalctl -u "$unit" --no-pager | tail -20; }
  inroot systemctl start "$unit" || { journal; fail "systemctl start $unit"; }
  wait_listening || { journal; fail "$unit does not listen on $port"; }
  [ "$(inroot ps -o user= -p "$(inroot systemctl show -P MainPID "$unit")")" = fiscal ] || fail "$unit does not run as fiscal"
  # A crash: systemd starts it again.
  first="$(inroot systemctl show -P MainPID "$unit")"
  inroot kill -KILL "$first"
  sleep 1
  for _ in $(seq 1 100); do
    pid="$(inroot systemctl show -P MainPID "$unit")"
    [ "$pid" != 0 ] && [ "$pid" != "$first" ] && listening && break
    sleep 0.1
  done
  [ "$pid" != 0 ] && [ "$pid" != "$first" ] || { journal; fail "$unit was not restarted after a crash"; }
  wait_listening || { journal; fail "$unit does not listen again"; }
  echo "   restarted after a crash (pid $first, then $pid)"
  # An upgrade moves each running instance to the new program; the restart returns only
  # once the instance listens again (Type=notify).
  apt install --reinstall --no-install-recommends "$server_deb"
  upgraded="$(inroot systemctl show -P MainPID "$unit")"
  [ "$upgraded" != 0 ] && [ "$upgraded" != "$pid" ] || { journal; fail "$unit was not restarted by the upgrade"; }
  listening || { journal; fail "$unit did not listen when its restart returned"; }
  echo "   restarted by the upgrade (pid $pid, then $upgraded)"
  # An upgrade whose migration fails (here: a schema newer than the program) leaves the
  # running instances as they are, and says so.
  version="$(inroot "${as_fiscal[@]}" sqlite3 "$db" 'SELECT NRVERSAO FROM VERSAOESQUEMA')"
  inroot "${as_fiscal[@]}" sqlite3 "$db" 'UPDATE VERSAOESQUEMA SET NRVERSAO = 999'
  apt install --reinstall --no-install-recommends "$server_deb"
  inroot "${as_fiscal[@]}" sqlite3 "$db" "UPDATE VERSAOESQUEMA SET NRVERSAO = $version"
  grep -q 'could not be migrated' "$work/apt.log" || { tail -20 "$work/apt.log"; fail "a failed migration was not reported"; }
  [ "$(inroot systemctl show -P MainPID "$unit")" = "$upgraded" ] || { journal; fail "$unit was restarted though the migration failed"; }
  listening || fail "$unit stopped listening when the migration failed"
  echo "   left running when the migration failed (pid $upgraded)"
  # A database moved away stops the instance; the migration unit never makes it again empty.
  inroot systemctl stop "$unit"
  inroot mv "$db" "$db.aside"
  ! inroot systemctl start "$unit" 2>/dev/null || fail "$unit started without its database"
  [ ! -e "$root$db" ] || fail "an empty database was made in place of the one moved away"
  inroot systemctl stop "$unit" 2>/dev/null || true
  inroot mv "$db.aside" "$db"
  inroot systemctl reset-failed fiscal-server-migrate.service "$unit" 2>/dev/null || true
  inroot systemctl start "$unit" || { journal; fail "systemctl start $unit with its database back"; }
  wait_listening || { journal; fail "$unit does not listen with its database back"; }
  echo "   refused to start with its database moved away, and started once it was back"
  # A restart that fails (a setting the new program refuses) ends the round: the upgrade
  # fails saying so, and the instance after it keeps serving the program it has.
  port2="$("$support/../../scripts/free-port")"
  unit2="fiscal-server@$port2.service"
  inroot systemctl start "$unit2" || { inroot journalctl -u "$unit2" --no-pager | tail -20; fail "systemctl start $unit2"; }
  first_unit="$(printf '%s\n' "$unit" "$unit2" | sort | head -1)"
  second_unit="$(printf '%s\n' "$unit" "$unit2" | sort | tail -1)"
  second_pid="$(inroot systemctl show -P MainPID "$second_unit")"
  cp "$envfile" "$work/env.good"
  echo "FISCAL_WORKERS=0" >>"$envfile"
  if inroot env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300 install --reinstall \
       --no-install-recommends "$server_deb" >"$work/apt.log" 2>&1; then
    cat "$work/apt.log"; fail "the upgrade reported success though $first_unit did not start again"
  fi
  cp "$work/env.good" "$envfile"
  grep -q "$first_unit did not start again" "$work/apt.log" || { tail -20 "$work/apt.log"; fail "the failed restart was not reported"; }
  grep -q "not restarted: $second_unit" "$work/apt.log" || { tail -20 "$work/apt.log"; fail "the instance left on the old program was not named"; }
  [ "$(inroot systemctl show -P MainPID "$second_unit")" = "$second_pid" ] || fail "$second_unit was restarted after $first_unit failed"
  inroot systemctl start "$first_unit"
  inroot dpkg --configure -a >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "dpkg --configure -a once mended"; }
  [ "$(inroot systemctl show -P MainPID "$second_unit")" != "$second_pid" ] || fail "$second_unit was not restarted once mended"
  inroot systemctl stop "$unit2"
  wait_listening || { journal; fail "$unit does not listen after the mended upgrade"; }
  echo "   a failed restart ended the round ($second_unit kept pid $second_pid until mended)"
else
  echo "== the server by its unit's command, as its user (no systemd here)"
  run_as_unit fiscal-server@.service "$envfile" &
  server_pid=$!
  wait_listening || fail "the server does not listen on $port"
fi

# ---- the host ----
echo "== erp-host, headless, as a user without access to the database"
inroot useradd --create-home fiscaltest
! inroot setpriv --reuid=fiscaltest --regid=fiscaltest --init-groups test -r "$db" || fail "a desktop user can read $db"
# The installed settings name the server only; the module comes from the installed folder.
inroot setpriv --reuid=fiscaltest --regid=fiscaltest --init-groups env -i PATH=/usr/bin:/bin \
  HOME=/home/fiscaltest QT_QPA_PLATFORM=offscreen \
  erp-host --server "http://127.0.0.1:$port" --user operador --password-stdin --open Pkg_Ger10200 \
  --screenshot /tmp/erp-host.png <<<"operador-demo" \
  || fail "erp-host did not sign in and open the main screen"
inroot cat /tmp/erp-host.png >"$build/package-test-erp-host.png" && [ -s "$build/package-test-erp-host.png" ] \
  || fail "no screenshot"
echo "   main screen saved to $build/package-test-erp-host.png"

# ---- PostgreSQL, as the guide sets it up ----
# A cluster of its own inside the root, with the guide's roles and pg_hba.conf lines; the
# schema made by its owner through the migration unit, the instance with the runtime role.
echo "== PostgreSQL: the guide's roles, migration by the owner, the instance as the runtime role"
if [ -n "$server_pid" ]; then
  kill "$server_pid"; wait "$server_pid" || true; server_pid=""
elif [ -n "$container" ]; then
  inroot systemctl stop "$unit"
fi
# The newest version whose server is installed (a newer client alone has no initdb).
pgbin="$(inroot sh -c 'for d in $(ls -d /usr/lib/postgresql/*/bin | sort -rV); do [ -x "$d/initdb" ] && echo "$d" && break; done' 2>/dev/null || true)"
[ -n "$pgbin" ] || fail "no PostgreSQL server here (Debian package postgresql)"
pgdata=/var/lib/fiscal-package-test-pg
pgport="$("$support/../../scripts/free-port")"
# From /: PostgreSQL's tools go back to the folder they started in, which 'postgres' may not enter.
as_postgres=(env -C / runuser -u postgres --)
inroot install -d -o postgres -g postgres -m 0755 "$pgdata"
inroot "${as_postgres[@]}" "$pgbin/initdb" -D "$pgdata/db" -E UTF8 --locale=C.UTF-8 >"$work/initdb.log" 2>&1 \
  || { cat "$work/initdb.log"; fail "initdb"; }
# The guide's lines alone, and the superuser by its system user for the guide's psql.
{ guide_block 'pg_hba.conf`, antes das'; echo 'local  all  postgres  peer'; } >"$root$pgdata/db/pg_hba.conf"
# Only a socket, in a folder of its own: nothing of a cluster this machine may run is touched.
inroot "${as_postgres[@]}" "$pgbin/pg_ctl" -D "$pgdata/db" -l "$pgdata/server.log" -w -t 60 \
  -o "-p $pgport -k $pgdata -c listen_addresses=''" start >/dev/null \
  || { cat "$root$pgdata/server.log"; fail "PostgreSQL did not start"; }
psql_as() {
  local who="$1"; shift
  inroot setpriv --reuid="$who" --regid="$who" --init-groups "$pgbin/psql" -h "$pgdata" -p "$pgport" -X -q -At \
    -v ON_ERROR_STOP=1 "$@"
}
guide_block 'Como o usuário `postgres` (`sudo -u postgres psql`):' | psql_as postgres --dbname postgres \
  || fail "the guide's roles and database"
# The guide's settings as they are, pointed at this cluster's socket.
{ printf '%s\n' "$example"; echo "PGHOST=$pgdata"; echo "PGPORT=$pgport"; } >"$envfile"
grep -qx 'FISCAL_DB=postgresql:///fiscal' "$envfile" || fail "the guide's example is not on the local fiscal database"
inroot install -m 0600 /dev/null /etc/fiscal-server/migrate.env
guide_block 'Em `/etc/fiscal-server/migrate.env`:' >"$root/etc/fiscal-server/migrate.env"
if [ -n "$container" ]; then
  # The instance pulls in the migration unit before it starts.
  inroot systemctl start "$unit" || { journal; inroot journalctl -u fiscal-server-migrate --no-pager | tail -20; fail "systemctl start $unit on PostgreSQL"; }
  [ "$(inroot systemctl show -P Result fiscal-server-migrate.service)" = success ] || fail "the migration unit did not succeed"
  [ "$(inroot ps -o user= -p "$(inroot systemctl show -P MainPID "$unit")")" = fiscal ] || fail "$unit does not run as fiscal"
else
  ( run_as_unit fiscal-server-migrate.service "$envfile" "$root/etc/fiscal-server/migrate.env" ) || fail "fiscal-server migrate"
  run_as_unit fiscal-server@.service "$envfile" &
  server_pid=$!
fi
wait_listening || fail "the server does not listen on $port with PostgreSQL"
[ "$(psql_as postgres --dbname fiscal -c "SELECT string_agg(DISTINCT tableowner, ',') FROM pg_tables WHERE schemaname = 'public'")" = fiscal_dono ] \
  || fail "the schema is not the owner's"
# The first administrador as the guide makes it, then a sign-in: a new database has no users.
inroot "${as_fiscal[@]}" env PGHOST="$pgdata" PGPORT="$pgport" \
  fiscal-server --db postgresql:///fiscal user add maria --role administrador --name "Maria Souza" \
  <<<"senha-do-teste-do-pacote" >/dev/null || fail "user add on PostgreSQL"
token="$(curl -sS -H 'Content-Type: application/json' \
  --data '{"jsonrpc":"2.0","method":"Entrar","id":1,"params":["maria","senha-do-teste-do-pacote"]}' \
  "http://127.0.0.1:$port/rpc/Ger10206.rdmSessao" \
  | python3 -c 'import json, sys; print(json.load(sys.stdin)["result"]["rows"][0][0])')" \
  || fail "signing in on PostgreSQL"
# A write through the instance: rows and history written by the runtime role.
reply="$(curl -sS -H "Authorization: Bearer $token" -H 'Content-Type: application/json' \
  --data '{"jsonrpc":"2.0","method":"SetOperInter","id":1,"params":[{"fields":[{"name":"CDPARGERAL","size":4,"type":"string","required":false},{"name":"DSPARGERFIS","size":3,"type":"string","required":false}],"changes":[{"op":"insert","new":["OPIN",null]}]}]}' \
  "http://127.0.0.1:$port/rpc/Ger10200.rdmParamGrupFiscal")"
grep -q '"result":null' <<<"$reply" || fail "a write through the instance on PostgreSQL: $reply"
[ "$(psql_as postgres --dbname fiscal -c "SELECT string_agg(DISTINCT usename, ',') FROM pg_stat_activity WHERE datname = 'fiscal' AND pid <> pg_backend_pid()")" = fiscal ] \
  || fail "the instance connects with another role than fiscal"
refused="$(psql_as fiscal --dbname fiscal -c 'ALTER TABLE PARAMGERAL ADD COLUMN CDPROVA INTEGER' 2>&1 || true)"
grep -q 'must be owner' <<<"$refused" || fail "the runtime role may change the schema: $refused"
echo "   migrated by fiscal_dono, served by fiscal"
# The operator's own file: dpkg leaves what it did not install.
rm -f "$root/etc/fiscal-server/migrate.env"

# ---- purge ----
if [ -n "$server_pid" ]; then
  kill "$server_pid"; wait "$server_pid" || true; server_pid=""
fi
echo "== apt-get purge"
apt purge erp-host fiscal-server
# Removing the package stops its running instances.
! listening || { [ -n "$container" ] && journal; fail "the server still listens on $port after the package went"; }
for p in erp-host fiscal-server; do
  ! inroot dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed || fail "$p still installed"
done
# Every file and link the packages held is gone, and their own folders with them.
while read -r f; do
  [ ! -e "$root$f" ] && [ ! -L "$root$f" ] || fail "$f is left after purge"
done < <(for d in "$work"/debs/*.deb; do dpkg-deb -c "$d"; done | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}')
for d in "$root"/etc/fiscal-server "$root"/usr/lib/*/erp-host "$root"/usr/lib/*/fiscal-server; do
  [ ! -e "$d" ] || fail "${d#"$root"} is left after purge"
done
# The business's data outlives the package.
[ -f "$root$db" ] || fail "the database $db went with the package"
if [ -z "$root" ]; then rm -rf /var/lib/fiscal-server; fi
echo "OK"
