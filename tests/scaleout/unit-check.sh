#!/usr/bin/env bash
# systemd-analyze verify on the shipped unit, with the fiscal-server just built standing in
# /usr/bin for the one a package would install (an overlay in a private mount namespace;
# the machine's /usr/bin is not touched). Exit 77 (skipped) without systemd-analyze or root.
#   unit-check.sh UNIT_FILE FISCAL_SERVER
set -euo pipefail
unit="$1"; server="$2"
command -v systemd-analyze >/dev/null || { echo "SKIPPED: no systemd-analyze"; exit 77; }
if [ "${3:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIPPED: the overlay on /usr/bin needs root"; exit 77; }
  # A container may refuse mount namespaces even to root: nothing to check there.
  unshare -m --propagation private true 2>/dev/null || { echo "SKIPPED: no private mount namespace"; exit 77; }
  exec unshare -m --propagation private "$0" "$unit" "$server" --inside
fi
work="$(mktemp -d)"
trap 'umount /usr/bin 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/upper" "$work/work"
cp "$server" "$work/upper/fiscal-server"
mount -t overlay overlay -o "lowerdir=/usr/bin,upperdir=$work/upper,workdir=$work/work" /usr/bin \
  || { echo "SKIPPED: no overlay mount here"; exit 77; }
# The manual page comes with the package; here only the unit is under test. A setting
# systemd ignores is only a warning to it, and a fault here.
out="$(systemd-analyze verify --man=no "$unit" 2>&1)" || { echo "$out"; exit 1; }
[ -z "$out" ] || { echo "$out"; exit 1; }
echo "systemd-analyze verify: $(basename "$unit") ok"
