#!/usr/bin/env bash
# Creates (once) the Wine prefix named by $WINEPREFIX (32- or 64-bit, see
# wine-env.sh), Japanese font
# mapped for the dialog fonts, no crash dialog.  Safe to call from many
# processes at once.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must be set}"
. "$(dirname "$0")/wine-env.sh"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$WINEPREFIX/.ostrelle-ready" ] && [ -f "$WINEPREFIX/.ostrelle-look-3" ] && exit 0

if [ ! -f "$WINEPREFIX/.ostrelle-ready" ]; then
wineboot -i >/dev/null 2>&1 || true
wineserver -w || true
reg=$(mktemp --suffix=.reg)
cat >"$reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Tahoma"="VL Gothic"
"MS Shell Dlg"="VL Gothic"
"MS Shell Dlg 2"="VL Gothic"
"MS UI Gothic"="VL Gothic"
"Segoe UI"="VL Gothic"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
wine regedit "$reg" >/dev/null 2>&1 || true
rm -f "$reg"
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
[ -f /usr/share/wine/fonts/marlett.ttf ] && cp -f /usr/share/wine/fonts/marlett.ttf "$fonts/"
wineserver -w || true
touch "$WINEPREFIX/.ostrelle-ready"
fi

# How windows look, applied to new and existing prefixes alike.
# - A virtual desktop: with bare Xvfb (no window manager) every top-level
#   window that is hidden waits about 2 s for an X state change that never
#   comes; inside a virtual desktop it closes at once.
# - Dialog fonts as on a Japanese Windows: "MS Shell Dlg 2" is Tahoma (from
#   fonts-wine), with the Japanese glyphs linked in from VL Gothic.  Tahoma's
#   Latin metrics set the dialog units, so layouts come out as designed;
#   VL Gothic alone (half-width Latin, bitmap strikes) clips captions and
#   draws the title bar in a pixel font.  Linked glyphs do not reach bold
#   Tahoma, so title bars (Japanese captions of dialogs and message boxes)
#   use VL Gothic bold.  Marlett draws the caption buttons.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
for f in marlett.ttf tahoma.ttf tahomabd.ttf; do
  if [ -f "/usr/share/wine/fonts/$f" ]; then cp -f "/usr/share/wine/fonts/$f" "$fonts/"; fi
done
reg=$(mktemp --suffix=.reg)
cat >"$reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1280x1024"
REG
if [ -f "$fonts/tahoma.ttf" ]; then
  cat >>"$reg" <<'REG'

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Tahoma"=-
"MS Shell Dlg"=-
"MS Shell Dlg 2"=-

[HKEY_CURRENT_USER\Control Panel\Desktop\WindowMetrics]
"CaptionFont"=hex:f4,ff,ff,ff,00,00,00,00,00,00,00,00,00,00,00,00,bc,02,00,00,00,00,00,01,\
  00,00,00,00,56,00,4c,00,20,00,47,00,6f,00,74,00,68,00,69,00,63,00,00,00,\
  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\
  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00
"SmCaptionFont"=hex:f4,ff,ff,ff,00,00,00,00,00,00,00,00,00,00,00,00,bc,02,00,00,00,00,00,01,\
  00,00,00,00,56,00,4c,00,20,00,47,00,6f,00,74,00,68,00,69,00,63,00,00,00,\
  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\
  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00
REG
fi
wine regedit "$reg" >/dev/null 2>&1 || true
rm -f "$reg"
if [ -f "$fonts/tahoma.ttf" ]; then
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Tahoma /t REG_MULTI_SZ /d 'VL-Gothic-Regular.ttf,VL Gothic' /f >/dev/null 2>&1 || true
fi
wineserver -w || true
touch "$WINEPREFIX/.ostrelle-look-3"
