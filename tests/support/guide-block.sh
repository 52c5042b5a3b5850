#!/usr/bin/env bash
# Prints the code block that follows the first line of GUIDE holding TEXT: what the tests
# run of docs/deploy.md, as an operator copies it from there.
#   guide-block.sh GUIDE TEXT
set -euo pipefail
block="$(awk -v text="$2" 'index($0, text) && !found {found = 1; next}
                           found && /^```/ {if (inside) exit; inside = 1; next}
                           inside {print}' "$1")"
[ -n "$block" ] || { echo "guide-block: no code block after \"$2\" in $1" >&2; exit 1; }
printf '%s\n' "$block"
