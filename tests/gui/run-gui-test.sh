#!/bin/sh
# GUI test of the Windows program under wine on a private X server.
#   run-gui-test.sh <gui_driver.exe> <test program.exe> <artifacts folder> <wine-run> <work folder> <wine prefix> [bench program.exe]
# Runs each scenario of the driver; takes the screenshots it asks for
# (ImageMagick import of the whole screen) into the artifacts folder.
# Exit code: number of failed scenarios; 77 when no X server is available.
set -u
driver=$1 program=$2 artifacts=$3 winerun=$4 work=$5 bench=${7:-}
# A wine prefix of our own (booted on first use and kept): the other Windows
# tests share one without a display, and its desktop must not be ours.
ORVO_WINEPREFIX=$6
export ORVO_WINEPREFIX

command -v Xvfb >/dev/null 2>&1 || { echo "Xvfb is not installed"; exit 77; }
mkdir -p "$artifacts"
rm -rf "$work"
mkdir -p "$work"

# Xvfb picks a free display itself and writes its number.
# Wide enough for the dialog at 192 DPI (about 1,050 pixels).
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
shooter=""
cleanup() {
    [ -n "$shooter" ] && kill "$shooter" 2>/dev/null
    kill "$xvfb" 2>/dev/null
}
trap cleanup EXIT INT TERM

tries=0
while [ ! -s "$work/display" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 "$xvfb" 2>/dev/null; then
        echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1
    fi
    sleep 0.1
done
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY
echo "X server on $DISPLAY"

# No window manager runs here: let wine draw the captions of the program's
# windows itself (a setting for this program's name only).
for p in "$program" $bench; do
    exe=$(basename "$p")
    "$winerun" reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
done
scenarios="ready fail newer nodevice silent progress second dpi-96 dpi-192"
[ -n "$bench" ] && scenarios="$scenarios bench bench-progress"

failures=0
for scenario in $scenarios; do
    target=$program
    case $scenario in bench*) target=$bench;; esac
    (
        while :; do
            for flag in "$work"/*.flag; do
                [ -e "$flag" ] || continue
                name=$(basename "$flag" .flag)
                if command -v import >/dev/null 2>&1; then
                    import -window root "$artifacts/gui-$name.png" && echo "screenshot $artifacts/gui-$name.png"
                fi
                rm -f "$flag"
                : >"$work/$name.done"
            done
            sleep 0.1
        done
    ) &
    shooter=$!
    # The system's DPI for the programs started from now on: 96 but in the
    # scenarios named after another.
    run=$scenario dpi=96
    case $scenario in dpi-*) run=dpi dpi=${scenario#dpi-};; esac
    "$winerun" reg add "HKCU\\Control Panel\\Desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    ORVO_GUI_DPI=$dpi
    export ORVO_GUI_DPI
    echo "== scenario $scenario"
    if ! "$winerun" "$driver" "$run" "$target" "$work"; then
        failures=$((failures + 1))
        echo "== scenario $scenario FAILED"
    fi
    kill "$shooter" 2>/dev/null
    wait "$shooter" 2>/dev/null
    shooter=""
done
# The prefix is kept: leave it at the usual DPI.
"$winerun" reg add "HKCU\\Control Panel\\Desktop" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
exit $failures
