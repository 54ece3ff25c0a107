#!/usr/bin/env bash
# Builds the benchmark and runs it under Wine in the build's private prefix.
#   bench/run.sh                    everything: copy runs, worker sweep, slow
#                                   volume, gathering again, single calls and
#                                   scale mode
#   bench/run.sh --only sweep,slow  some parts; any other options of the program
#                                   (see bench/README.md) are passed through
# The data sets go to $OSTRELLE_BENCH_DATA (default /tmp/ostrelle-bench) and
# are reused by later runs with the same parameters.  The report is also kept
# in <build>/bench/last-run.txt.  A failed check of the benchmark's own
# results ends it with exit code 1.
#
# The slow-volume part needs FUSE: the script builds bench/slowfs.c natively,
# mounts it over <data>/slow-backing at <data>/slow-volume (Z:\... for Wine)
# and unmounts it when it ends.  When it cannot mount, the report says why.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
. "$root/scripts/wine-env.sh"
build="${OSTRELLE_BUILD:-$OSTRELLE_DEFAULT_BUILD}"
data="${OSTRELLE_BENCH_DATA:-/tmp/ostrelle-bench}"

# Which parts run, and the slow volume's delay.
slow=1
delay=1
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --only) [[ ",${args[i + 1]:-}," == *,slow,* ]] || slow=0 ;;
    --slow-delay-ms) delay="${args[i + 1]:-1}" ;;
  esac
done

"$root/scripts/build.sh" --target ostrelle_bench
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$root/scripts/wine-prefix.sh"
mkdir -p "$data" "$build/bench"

slow_args=()
slowfs_pid=""
mnt="$data/slow-volume"
# /proc/mounts rather than a stat of the folder: a mount whose server died
# (an interrupted run) no longer answers one.
mounted() { awk -v m="$mnt" '$2 == m { found = 1 } END { exit !found }' /proc/mounts; }
unmount_slow() {
  if mounted; then
    fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -u -z "$mnt" 2>/dev/null || umount -l "$mnt"
  fi
  if [ -n "$slowfs_pid" ]; then
    wait "$slowfs_pid" 2>/dev/null || true
    slowfs_pid=""
  fi
}
if ((slow)); then
  trap unmount_slow EXIT
  trap 'exit 130' INT TERM
  why=""
  if [ ! -c /dev/fuse ]; then
    modprobe fuse >/dev/null 2>&1 || true
    [ -c /dev/fuse ] || why="/dev/fuse does not exist and 'modprobe fuse' did not create it"
  fi
  if [ -z "$why" ]; then
    slowfs="$build/bench/slowfs"
    # shellcheck disable=SC2046
    gcc -O2 -Wall -Wextra -o "$slowfs" "$root/bench/slowfs.c" $(pkg-config --cflags --libs fuse3) ||
      why="bench/slowfs.c did not build (gcc's messages above)"
  fi
  if [ -z "$why" ]; then
    unmount_slow  # left over from an interrupted run
    mkdir -p "$data/slow-backing" "$mnt"
    "$slowfs" --delay-ms "$delay" "$data/slow-backing" "$mnt" -f 2>"$build/bench/slowfs.log" &
    slowfs_pid=$!
    for _ in $(seq 50); do
      mounted && break
      kill -0 "$slowfs_pid" 2>/dev/null || break
      sleep 0.2
    done
    if ! mounted; then
      why="slowfs could not mount $mnt: $(tr '\n' ' ' <"$build/bench/slowfs.log")"
      kill "$slowfs_pid" 2>/dev/null || true
      wait "$slowfs_pid" 2>/dev/null || true
      slowfs_pid=""
    fi
  fi
  if [ -n "$why" ]; then
    echo "slow volume: $why" >&2
    slow_args=(--slow-missing "$why")
  else
    slow_args=(--slow-data "$mnt" --slow-delay-ms "$delay")
  fi
fi

# The report goes through a file: Wine's helper processes that outlive the
# program would otherwise hold a pipe to the caller open.
report="$build/bench/last-run.txt"
wine "$build/bench/ostrelle_bench.exe" --data "$data" "${slow_args[@]}" "$@" </dev/null \
  >"$report" 2>&1 &
pid=$!
tail --pid="$pid" -n +1 -f "$report"
rc=0
wait "$pid" || rc=$?
# Wine's server may still hold files on the slow volume for a moment.
if ((slow)) && [ -n "$slowfs_pid" ]; then
  timeout 20 wineserver -w 2>/dev/null || true
fi
exit "$rc"
