#!/bin/sh
# The kernel suite, in the Debian guest with the package installed. Two
# guests share it: part 1 runs the other families (they need the package's
# rules) and the Tavik upgrades, part 2 the rest of the Tavik checks, which
# end by purging the package. Usage: suite.sh BUILD_DIR [1|2] (both when left out)
here=$(dirname "$0")
part=${2:-all}
status=0
if [ "$part" != 2 ]; then
    "$here/families-suite.sh" "$1" || status=1
fi
"$here/tavik-suite.sh" "$1" "$part" || status=1
exit $status
