#!/usr/bin/env bash
# Builds both programs in release form and writes dist/Ostrelle-<version>.zip
# with Ostrelle.exe (32-bit, Windows XP and later), Ostrelle64.exe (64-bit)
# and Readme.txt.  Each program must pass the XP import check (the 32-bit
# one) and the header check first.  The builds go to build-package-i686/ and
# build-package-x86_64/, without tests; the zip's entries carry the time of
# the commit, so one commit gives the same zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

version=$(sed -n 's/^project(Ostrelle VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }

for arch in i686 x86_64; do
  build="$root/build-package-$arch"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF >/dev/null
  fi
  cmake --build "$build" -j"$(nproc)" --target ostrelle
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$root/build-package-i686/Ostrelle.exe" "$root/build-package-x86_64/Ostrelle64.exe" \
   "$root/res/Readme.txt" "$stage/"
"$root/scripts/check-xp-imports.sh" "$stage/Ostrelle.exe"
"$root/scripts/check-exe.sh" "$stage/Ostrelle.exe"
"$root/scripts/check-exe.sh" "$stage/Ostrelle64.exe"

# Notepad on XP reads the Readme as UTF-8 only with its byte-order mark, and
# breaks lines only at CR LF.
readme="$stage/Readme.txt"
[ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' ')" = efbbbf ] ||
  { echo "package: Readme.txt does not start with the UTF-8 byte-order mark" >&2; exit 1; }
if grep -qv $'\r$' "$readme"; then
  echo "package: Readme.txt has lines that do not end in CR LF" >&2
  exit 1
fi
grep -q "Version $version"$'\r$' "$readme" ||
  { echo "package: Readme.txt does not name version $version" >&2; exit 1; }

stamp=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
touch -d "@$stamp" "$stage"/*
mkdir -p "$root/dist"
zip_file="$root/dist/Ostrelle-$version.zip"
rm -f "$zip_file"
(cd "$stage" && TZ=UTC zip -X -q -9 "$zip_file" Ostrelle.exe Ostrelle64.exe Readme.txt)
echo "package: $(ls -l "$zip_file" | awk '{ print $5 }') bytes in ${zip_file#"$root"/}"
