#!/usr/bin/env bash
# Fails when a program loses what its header and resources promise, naming
# each loss: the hardening flags, reproducible bytes (no link time stamp, no
# debug sections, no build path), the manifest's processor and DPI entries,
# Japanese resources, and the version strings of the project's version.
# Usage: check-exe.sh PROGRAM.exe
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:?usage: check-exe.sh PROGRAM.exe}
name=$(basename "$exe")
problems=()
fail() { problems+=("$1"); }

# The PE header: its offset at 0x3c, then "PE\0\0", the machine, the time stamp.
u32() { od -An -tu4 -j"$1" -N4 "$exe" | tr -d ' '; }
pe=$(u32 60)
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
case "$machine" in
  014c) prefix=i686-w64-mingw32 bits=32 ;;
  8664) prefix=x86_64-w64-mingw32 bits=64 ;;
  *)
    echo "check-exe: $name: not a 32- or 64-bit x86 Windows program (machine $machine)" >&2
    exit 1
    ;;
esac
[ "$(u32 $((pe + 8)))" = 0 ] || fail "the link time stamp is set (two builds differ)"

header=$("$prefix-objdump" -p "$exe")
# objdump writes one as 0x32e, the other as 00008540.
field() { awk -v key="$1" '$1 == key { sub(/^0x/, "", $2); print $2; exit }' <<<"$header"; }
characteristics=$((16#$(field Characteristics)))
dll_characteristics=$((16#$(field DllCharacteristics)))
need_dll() {
  ((dll_characteristics & $1)) || fail "DllCharacteristics lacks $2"
}
need_dll 0x0040 DYNAMIC_BASE
need_dll 0x0100 NX_COMPAT
need_dll 0x8000 TERMINAL_SERVER_AWARE
if [ "$bits" = 32 ]; then
  ((characteristics & 0x20)) || fail "Characteristics lacks LARGE_ADDRESS_AWARE"
  need_dll 0x0400 NO_SEH
  # NO_SEH holds only while no code registers a frame handler on the
  # exception chain, which 32-bit code reaches at %fs:0.
  if "$prefix-objdump" -d "$exe" | grep -Eq '%fs:0x0([^0-9a-fx]|$)'; then
    fail "code addresses the SEH chain (%fs:0) in an image marked NO_SEH"
  fi
else
  need_dll 0x0020 HIGH_ENTROPY_VA
fi
if "$prefix-objdump" -h "$exe" | grep -q ' \.debug'; then
  fail "debug sections are left in (not stripped)"
fi
if grep -aqF "$root/" "$exe" || grep -aqF "$(cd "$(dirname "$exe")" && pwd)/" "$exe"; then
  fail "a build path is written into the program (two builds in two folders differ)"
fi

# The resources, as windres writes them back as a script.
resources=$("$prefix-windres" -i "$exe" -O rc)
languages=$(grep -E '^LANGUAGE ' <<<"$resources" | sort -u)
[ "$languages" = "LANGUAGE 17, 1" ] ||
  fail "resources not all Japanese (0x0411): $(tr '\n' ' ' <<<"${languages:-none}")"

version=$(sed -n 's/^project(Ostrelle VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
if [[ ! "$version" =~ ^([0-9]+)\.([0-9])([0-9])$ ]]; then
  echo "check-exe: no MAJOR.NN version in the project line of CMakeLists.txt" >&2
  exit 1
fi
numbers="${BASH_REMATCH[1]}, ${BASH_REMATCH[2]}, ${BASH_REMATCH[3]}, 0"
dots="${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.${BASH_REMATCH[3]}.0"
for line in " FILEVERSION $numbers" " PRODUCTVERSION $numbers" \
            "      VALUE \"FileVersion\", \"$version\"" \
            "      VALUE \"ProductVersion\", \"$version\"" \
            "      VALUE \"OriginalFilename\", \"$name\""; do
  grep -qxF "$line" <<<"$resources" || fail "version resource lacks:$line"
done

# The manifest's text: its quoted lines, with doubled quotes undone.
manifest=$(awk '/^1 24 \/\* RT_MANIFEST \*\// { on = 1; next } on && /^END/ { exit }
  on && /^  "/ { sub(/^  "/, ""); sub(/\\n"$/, ""); gsub(/""/, "\""); print }' <<<"$resources")
[ -n "$manifest" ] || fail "no manifest"
architectures=$(grep -o 'processorArchitecture="[^"]*"' <<<"$manifest" | sort -u)
[ "$architectures" = 'processorArchitecture="*"' ] ||
  fail "manifest processor entries are not all \"*\": $(tr '\n' ' ' <<<"${architectures:-none}")"
for entry in "<assemblyIdentity type=\"win32\" name=\"Ostrelle\" version=\"$dots\"" \
             '<application xmlns="urn:schemas-microsoft-com:asm.v3">' \
             '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>' \
             '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>' \
             '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' \
             'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'; do
  grep -qF "$entry" <<<"$manifest" || fail "manifest lacks $entry"
done

if ((${#problems[@]})); then
  echo "check-exe: $name:" >&2
  printf '  %s\n' "${problems[@]}" >&2
  exit 1
fi
printf 'check-exe: %s: %d-bit, DllCharacteristics 0x%04x, version %s, manifest and resources as expected\n' \
  "$name" "$bits" "$dll_characteristics" "$version"
