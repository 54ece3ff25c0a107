#!/usr/bin/env bash
# Configures and builds Ostrelle (and its tests) into build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
build="${OSTRELLE_BUILD:-$OSTRELLE_DEFAULT_BUILD}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$OSTRELLE_TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$(nproc)" "$@"
