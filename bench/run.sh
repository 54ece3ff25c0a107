#!/usr/bin/env bash
# Builds the benchmark and runs it under Wine in the build's private prefix.
#   bench/run.sh                    everything: copy benchmark and scale mode
#   bench/run.sh --only scale       one part; any other options of the program
#                                   (see bench/README.md) are passed through
# The data sets go to $OSTRELLE_BENCH_DATA (default /tmp/ostrelle-bench) and
# are reused by later runs with the same parameters.  The report is also kept
# in <build>/bench/last-run.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
. "$root/scripts/wine-env.sh"
build="${OSTRELLE_BUILD:-$OSTRELLE_DEFAULT_BUILD}"
data="${OSTRELLE_BENCH_DATA:-/tmp/ostrelle-bench}"

"$root/scripts/build.sh" --target ostrelle_bench
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$root/scripts/wine-prefix.sh"
mkdir -p "$data"

# The report goes through a file: Wine's helper processes that outlive the
# program would otherwise hold a pipe to the caller open.
report="$build/bench/last-run.txt"
wine "$build/bench/ostrelle_bench.exe" --data "$data" "$@" </dev/null >"$report" 2>&1 &
pid=$!
tail --pid="$pid" -n +1 -f "$report"
rc=0
wait "$pid" || rc=$?
exit "$rc"
