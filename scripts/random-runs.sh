#!/usr/bin/env bash
# Runs many random whole runs: scripts/random-runs.sh [SEED] [COUNT].
# SEED defaults to the current time, COUNT to 2000.  Prints the seed, a
# summary, and for every failing case the command line that repeats it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
. "$root/scripts/wine-env.sh"
build="${OSTRELLE_BUILD:-$OSTRELLE_DEFAULT_BUILD}"
seed="${1:-$(date +%s)}"
count="${2:-2000}"
"$root/scripts/build.sh" --target test_random_runs
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
export OSTRELLE_SEED="$seed" OSTRELLE_CASES="$count"
out="$build/random-runs-$seed.txt"
echo "random runs: seed $seed, $count cases (full output in $out)"
rc=0
"$root/scripts/wine-run.sh" "$build/tests/test_random_runs.exe" --gtest_color=no >"$out" 2>&1 || rc=$?
grep -E "^random runs:|^  finished" "$out" || true
if [ "$rc" -ne 0 ]; then
  grep -E "^FAILED: " "$out" | sed 's/^FAILED: //' | while read -r line; do
    echo "failed: $line  (details in $out; repeat one case with: $line OSTRELLE_VERBOSE=1 $0 $seed)"
  done
  echo "seed $seed FAILED"
  exit 1
fi
echo "seed $seed passed"
