#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the whole test suite headless.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
. "$root/scripts/wine-env.sh"
build="${OSTRELLE_BUILD:-$OSTRELLE_DEFAULT_BUILD}"
"$root/scripts/build.sh"
xp_exe="$build/Ostrelle.exe"
if [ "$OSTRELLE_ARCH" != i686 ]; then
  # The tests run on the 64-bit build here; the program itself is 32-bit.
  OSTRELLE_ARCH=i686 OSTRELLE_BUILD="$root/build" "$root/scripts/build.sh" --target ostrelle
  xp_exe="$root/build/Ostrelle.exe"
fi

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
"$root/scripts/wine-prefix.sh"

# A private X server for the dialog tests.
xvfb_pid=""
if [ -z "${OSTRELLE_KEEP_DISPLAY:-}" ]; then
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    break
  done
  sleep 1
fi
# A small file system of its own for the disk-full tests, a second volume
# for moves across volumes in the kill test, and a read-only volume for a
# program folder nobody may write to (mounting needs root; without it those
# tests skip or stay on one volume).
diskfull="$build/diskfull"
diskfull_mounted=""
othervolume="$build/othervolume"
othervolume_mounted=""
readonly_volume="$build/readonly"
readonly_mounted=""
if [ "$(id -u)" = 0 ]; then
  mkdir -p "$diskfull" "$othervolume"
  mountpoint -q "$diskfull" && umount "$diskfull" 2>/dev/null || true
  if mount -t tmpfs -o size=4m tmpfs "$diskfull" 2>/dev/null; then
    diskfull_mounted=1
    export OSTRELLE_DISKFULL="$diskfull"
  fi
  mountpoint -q "$othervolume" && umount "$othervolume" 2>/dev/null || true
  if mount -t tmpfs -o size=256m tmpfs "$othervolume" 2>/dev/null; then
    othervolume_mounted=1
    export OSTRELLE_OTHER_VOLUME="$othervolume"
  fi
  mkdir -p "$readonly_volume"
  mountpoint -q "$readonly_volume" && umount "$readonly_volume" 2>/dev/null || true
  if mount -t tmpfs -o size=64k tmpfs "$readonly_volume" 2>/dev/null; then
    readonly_mounted=1
    # A program folder holding the settings of a copy that was moved there
    # (Wine gives the login name as the user's name).
    mkdir "$readonly_volume/with-settings"
    printf '[OPTION]\r\nSUB_DIR=1\r\nTHREADS=3\r\n[DST_DIR_LOG]\r\nPATH_1=D:\\carried\r\n' \
      >"$readonly_volume/with-settings/$(id -un)_ostrelle.ini"
    if mount -o remount,ro "$readonly_volume" 2>/dev/null; then
      export OSTRELLE_READONLY_FOLDER="$readonly_volume"
    fi
  fi
fi
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "$diskfull_mounted" ] && umount "$diskfull" 2>/dev/null || true
  [ -n "$othervolume_mounted" ] && umount "$othervolume" 2>/dev/null || true
  [ -n "$readonly_mounted" ] && umount "$readonly_volume" 2>/dev/null || true
}
trap cleanup EXIT
# One wineserver for the whole suite instead of one per test program.
wineserver -p 2>/dev/null || true
wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true

cd "$build"
status=0
ctest --output-on-failure "$@" || status=$?
# The 32-bit program must start on Windows XP SP3: it may import only what XP has.
"$root/scripts/check-xp-imports.sh" "$xp_exe" || status=1
# Each program keeps its hardening, manifest, Japanese resources and version.
programs=("$xp_exe")
if [ "$OSTRELLE_ARCH" = x86_64 ]; then programs+=("$build/Ostrelle64.exe"); fi
for program in "${programs[@]}"; do
  "$root/scripts/check-exe.sh" "$program" || status=1
done
exit "$status"
