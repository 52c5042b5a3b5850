#!/usr/bin/env bash
# The Debian packages as an operator gets them: built with cpack, checked with lintian,
# installed with apt-get into a throwaway root (an overlay of this machine's own root, so
# their dependencies are the ones Debian installed here), the server started with the
# command of its systemd unit as the service user, erp-host opened headless against it by
# a desktop user of the group fiscal, then both packages purged.
#
#   package-test.sh BUILD_DIR
#
# Without an overlay mount (no privilege for it) the packages go onto this machine itself,
# under a lock, and are purged afterwards. Exit 77 (skipped) only when not root.
set -euo pipefail

build="$(cd "$1" && pwd)"
if [ "${2:-}" != --inside ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: installing packages needs root (apt-get, chroot, adduser)"
    exit 77
  fi
  work="$(mktemp -d "$build/package-test.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
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
    exec unshare -m --propagation private "$0" "$build" --inside "$work"
  fi
  exec "$0" "$build" --inside "$work"
fi

work="$3"
root="$work/root"
mkdir -p "$root" "$work/upper" "$work/overlay-work"
if mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$root" 2>/dev/null; then
  echo "== throwaway root: an overlay of / at $root"
  mount --rbind /dev "$root/dev"
  mount --bind /proc "$root/proc"
  mount --rbind /sys "$root/sys"
  # A /run of its own: no systemd there, so the maintainer scripts leave the machine's alone.
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  chmod 1777 "$root/tmp"
  inroot() { chroot "$root" "$@"; }
  inroot_exec() { exec chroot "$root" "$@"; }
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
  inroot() { "$@"; }
  inroot_exec() { exec "$@"; }
fi

fail() { echo "FAIL: $*"; exit 1; }
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  if [ -z "$root" ]; then
    apt-get purge -y -qq erp-host fiscal-server >/dev/null 2>&1 || true
    userdel --remove fiscaltest >/dev/null 2>&1 || true
    rm -f /tmp/erp-host.png
  fi
  return 0
}
trap cleanup EXIT

port="$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')"

apt() {
  inroot env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300 "$@" >"$work/apt.log" 2>&1 \
    || { cat "$work/apt.log"; fail "apt-get $1"; }
  grep -iE '^(W|E):|warning|error' "$work/apt.log" || true
}
echo "== apt-get install"
apt install --no-install-recommends "$work"/debs/fiscal-server_*.deb "$work"/debs/erp-host_*.deb
version="$(dpkg-deb -f "$work"/debs/fiscal-server_*.deb Version)"
inroot fiscal-server --version | grep -qx "fiscal-server ${version%-*}" || fail "fiscal-server --version does not say ${version%-*}"
inroot erp-host --version | grep -q "${version%-*}" || fail "erp-host --version does not say ${version%-*}"
inroot erp-host --help | grep -q -- "--open" || fail "erp-host --help"
inroot getent passwd fiscal >/dev/null || fail "no system user fiscal"
[ "$(inroot stat -c '%U:%G %a' /var/lib/fiscal-server)" = "fiscal:fiscal 2770" ] \
  || fail "/var/lib/fiscal-server is $(inroot stat -c '%U:%G %a' /var/lib/fiscal-server)"
for f in /usr/share/applications/erp-host.desktop /usr/share/icons/hicolor/48x48/apps/erp-host.png \
         /usr/share/icons/hicolor/scalable/apps/erp-host.svg /usr/share/man/man1/erp-host.1.gz \
         /etc/xdg/fiscal/erp-host.ini /etc/fiscal-server/fiscal-server.env; do
  [ -f "$root$f" ] || fail "$f is not installed"
done
inroot desktop-file-validate /usr/share/applications/erp-host.desktop || fail "desktop entry"
if inroot systemd-analyze --version >/dev/null 2>&1; then
  inroot systemd-analyze verify "/lib/systemd/system/fiscal-server@$port.service" || fail "systemd-analyze verify"
  echo "   systemd-analyze verify: the unit is sound"
fi

echo "== the server, by its unit's command, as its user, on port $port"
unit="$root/lib/systemd/system/fiscal-server@.service"
exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
user="$(sed -n 's/^User=//p' "$unit")"
[ -n "$exec_start" ] && [ "$user" = fiscal ] || fail "unit: ExecStart '$exec_start', User '$user'"
# systemd's ${VAR} expansion and %i, with the variables of the unit's environment file.
# shellcheck disable=SC2016
command="$(inroot env -i bash -c 'set -a; . /etc/fiscal-server/fiscal-server.env; eval "echo $1"' _ "${exec_start//%i/$port}")"
echo "   $command"
db="$(inroot env -i bash -c '. /etc/fiscal-server/fiscal-server.env; echo "$FISCAL_DB"')"
as_fiscal=(setpriv --reuid=fiscal --regid=fiscal --init-groups)
# Demo data first, so that the host shows rows; the unit's --init must leave them alone.
inroot "${as_fiscal[@]}" sh -c "umask 0007; fiscal-server --db '$db' --init --demo small" >/dev/null \
  || fail "demo data"
# As systemd does it: the environment file read as root, then the user's rights and umask.
# shellcheck disable=SC2086
inroot_exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c \
  'set -a; . /etc/fiscal-server/fiscal-server.env; set +a; umask 0007; exec "$@"' _ "${as_fiscal[@]}" $command &
server_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || fail "the server stopped"
  sleep 0.1
done
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || fail "the server does not listen on $port"

echo "== erp-host, headless, as a member of the group fiscal"
inroot useradd --create-home --groups fiscal fiscaltest
# The installed settings name the database; the module comes from the installed folder.
inroot setpriv --reuid=fiscaltest --regid=fiscaltest --init-groups env -i PATH=/usr/bin:/bin \
  HOME=/home/fiscaltest QT_QPA_PLATFORM=offscreen \
  erp-host --server "http://127.0.0.1:$port" --open Pkg_Ger10200 --screenshot /tmp/erp-host.png \
  || fail "erp-host did not open the main screen"
[ -s "$root/tmp/erp-host.png" ] || fail "no screenshot"
cp "$root/tmp/erp-host.png" "$build/package-test-erp-host.png"
echo "   main screen saved to $build/package-test-erp-host.png"
kill "$server_pid"; wait "$server_pid" || true; server_pid=""

echo "== apt-get purge"
apt purge erp-host fiscal-server
for p in erp-host fiscal-server; do
  ! inroot dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed || fail "$p still installed"
done
for f in /usr/bin/erp-host /usr/bin/fiscal-server /usr/lib/*/erp-host /lib/systemd/system/fiscal-server@.service \
         /etc/fiscal-server /etc/xdg/fiscal/erp-host.ini /usr/share/applications/erp-host.desktop; do
  [ ! -e "$root$f" ] || fail "$f is left after purge"
done
# The business's data outlives the package.
[ -f "$root$db" ] || fail "the database $db went with the package"
if [ -z "$root" ]; then rm -rf /var/lib/fiscal-server; fi
echo "OK"
