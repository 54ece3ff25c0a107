#!/usr/bin/env bash
# Sets up what is missing, builds, and starts Ostrelle under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
. "$root/scripts/wine-env.sh"
build="${OSTRELLE_BUILD:-$OSTRELLE_DEFAULT_BUILD}"
"$root/scripts/build.sh" --target ostrelle
exe="$build/Ostrelle.exe"
if [ "$OSTRELLE_ARCH" = x86_64 ]; then exe="$build/Ostrelle64.exe"; fi
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
"$root/scripts/wine-prefix.sh"
if [ -z "${DISPLAY:-}" ]; then
  echo "No DISPLAY: starting Ostrelle on a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$OSTRELLE_WINE" explorer /desktop=Ostrelle,1200x900 "$exe"
fi
cd "$build"
exec "$OSTRELLE_WINE" explorer /desktop=Ostrelle,1200x900 "$exe"
