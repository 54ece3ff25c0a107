#!/usr/bin/env bash
# Fails when a program imports a function that is not in the allow-list of
# functions Windows XP SP3 has (scripts/xp-imports.txt), naming each one.
# Usage: check-xp-imports.sh PROGRAM.exe [ALLOW-LIST]
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:?usage: check-xp-imports.sh PROGRAM.exe [ALLOW-LIST]}
list=${2:-$root/scripts/xp-imports.txt}
objdump=${OSTRELLE_OBJDUMP:-i686-w64-mingw32-objdump}

# Every list entry carries the minimum Windows version it was checked
# against; anything newer than XP does not belong there.
bad_entries=$(awk '/^[ \t]*(#|$)/ { next }
  !/#.*Windows (NT|2000|XP)/ { print FILENAME ":" FNR ": " $0 }' "$list")
if [ -n "$bad_entries" ]; then
  echo "xp-imports: entries without a minimum version of Windows XP or earlier:" >&2
  echo "$bad_entries" >&2
  exit 1
fi

# DLL!function for each import (#ordinal for imports by number); DLL names
# compare without case.
table=$("$objdump" -p "$exe")
imports=$(awk '/^\tDLL Name: / { dll = tolower($3); next }
  /^[ \t]*$/ { dll = "" }
  dll != "" && /^\t[0-9a-f]+\t/ { print dll "!" ($3 == "<none>" ? "#" $2 : $3) }' <<<"$table" |
  sort -u)
if [ -z "$imports" ]; then
  echo "xp-imports: read no imports from $exe" >&2
  exit 1
fi
allowed=$(awk '/^[ \t]*(#|$)/ { next }
  { split($1, e, "!"); print tolower(e[1]) "!" e[2] }' "$list" | sort -u)

missing=$(comm -23 <(echo "$imports") <(echo "$allowed"))
if [ -n "$missing" ]; then
  echo "xp-imports: $(basename "$exe") imports functions not on the Windows XP SP3 list" \
       "(${list#"$root"/}); it would not start on XP:" >&2
  sed 's/^/  /' <<<"$missing" >&2
  echo "Load such a function with GetProcAddress and a fallback, or, if it is on XP SP3," \
       "add it to the list with its documented minimum Windows version." >&2
  exit 1
fi
echo "xp-imports: $(basename "$exe"): all $(wc -l <<<"$imports") imports are on the Windows XP SP3 list"
