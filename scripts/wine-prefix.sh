#!/usr/bin/env bash
# Creates (once) the Wine prefix named by $WINEPREFIX: 32-bit, Japanese font
# mapped for the dialog fonts, no crash dialog.  Safe to call from many
# processes at once.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$WINEPREFIX/.ostrelle-ready" ] && [ -f "$WINEPREFIX/.ostrelle-desktop" ] && exit 0

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

# Windows live in a virtual desktop.  With bare Xvfb (no window manager) every
# top-level window that is hidden waits about 2 s for an X state change that
# never comes; inside a virtual desktop it closes at once.
reg=$(mktemp --suffix=.reg)
cat >"$reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1280x1024"
REG
wine regedit "$reg" >/dev/null 2>&1 || true
rm -f "$reg"
wineserver -w || true
touch "$WINEPREFIX/.ostrelle-desktop"
