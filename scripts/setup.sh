#!/usr/bin/env bash
# Installs what building and testing Ostrelle needs on a Debian machine.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  NEED_UPDATE=1
fi

for p in g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix \
         binutils-mingw-w64-x86-64 cmake make googletest wine wine32:i386 wine64 \
         xvfb xauth fonts-vlgothic fonts-wine imagemagick x11-utils python3 \
         libfuse3-dev fuse3 pkg-config zip; do
  have "$p" || need+=("$p")
done

if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
