#!/bin/sh
# The kernel suite, in the Debian guest with the package installed. Two
# guests share it: part 1 runs the enumerations and the Avnera upgrades and
# the Tavik upgrades and other hosts; part 2 the Tavik run without a device
# (two minutes of the real program's waits) beside the chips that carry no
# Tavik identity (cxaudio, the Python package, BCSP), then the rest of the
# Tavik checks, which end by purging the package.
# Usage: suite.sh BUILD_DIR [1|2] (both when left out)
here=$(dirname "$0")
part=${2:-all}
status=0
# The firmware's last words on the console ("Booting from ROM..") end without
# a new line: the suite's first check starts on a line of its own.
echo
if [ "$part" != 2 ]; then
    "$here/families-suite.sh" "$1" upgrades || status=1
    "$here/tavik-suite.sh" "$1" 1 || status=1
fi
if [ "$part" != 1 ]; then
    "$here/tavik-suite.sh" "$1" no-device &
    nodevice=$!
    "$here/families-suite.sh" "$1" chips || status=1
    wait $nodevice || status=1
    "$here/tavik-suite.sh" "$1" 2 || status=1
fi
exit $status
