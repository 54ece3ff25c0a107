# Sourced by the other scripts: which Windows build runs here, under which Wine.
#
# Ostrelle is a 32-bit program, and 32-bit Wine is a 32-bit Linux program.
# Some kernels have 32-bit programs switched off (ia32_emulation); there the
# suite and the benchmark run a 64-bit build of the same sources under 64-bit
# Wine, and the 32-bit program is still built beside it.  OSTRELLE_ARCH
# (i686 or x86_64) overrides the choice.
_ostrelle_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${OSTRELLE_ARCH:-}" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    OSTRELLE_ARCH=i686
  else
    OSTRELLE_ARCH=x86_64
  fi
fi
if [ "$OSTRELLE_ARCH" = i686 ]; then
  OSTRELLE_WINE=/usr/lib/wine/wine
  OSTRELLE_DEFAULT_BUILD="$_ostrelle_root/build"
  export WINEARCH=win32
else
  OSTRELLE_WINE=/usr/lib/wine/wine64
  OSTRELLE_DEFAULT_BUILD="$_ostrelle_root/build-x64"
  export WINEARCH=win64
fi
OSTRELLE_TOOLCHAIN="$_ostrelle_root/cmake/mingw-$OSTRELLE_ARCH.cmake"
export OSTRELLE_ARCH OSTRELLE_WINE
wine() { "$OSTRELLE_WINE" "$@"; }
wineboot() { "$OSTRELLE_WINE" wineboot "$@"; }
