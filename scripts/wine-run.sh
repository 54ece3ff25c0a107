#!/usr/bin/env bash
# Runs a Windows program under Wine in this build's private prefix.
# Used by CTest as the cross-compiling emulator and by the run scripts.
set -euo pipefail
. "$(dirname "$0")/wine-env.sh"
exe="$1"
shift
if [ -z "${WINEPREFIX:-}" ]; then
  # The prefix lives in the build folder: the folder above tests/ or bench/.
  dir=$(cd "$(dirname "$exe")" && pwd)
  case "$dir" in */tests | */bench) dir=$(dirname "$dir") ;; esac
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
"$(dirname "$0")/wine-prefix.sh"
# Output goes through a file: Wine's helper processes that outlive the
# program must not hold the caller's pipe open (CTest waits for its EOF).
out=$(mktemp)
trap 'rm -f "$out"' EXIT
rc=0
wine "$exe" "$@" </dev/null >"$out" 2>&1 || rc=$?
cat "$out"
exit "$rc"
