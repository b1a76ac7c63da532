#!/bin/sh
# The kernel tier's benchmarks, run inside the Debian guest (./run bench):
#   kernel-upgrade-overhead  a Tavik upgrade through the real kernel at time
#                            scale 1.0: wall time / the waits it had to make
#                            (the program's own pauses and polls, and the
#                            device's simulated transfer time)
#   kernel-dfu-ratio         a 1 MiB DFU download by our engine through libusb,
#                            usbfs and vhci-hcd / the device's least time
# and, for reference, the same two in the same guest without the kernel (the
# bench program's and the DFU engine's simulated USB world, in one process):
#   kernel-tcg-upgrade-overhead, kernel-tcg-dfu-ratio
# what the emulated processor (QEMU's TCG) costs our own code alone. The
# server's lines (each device's URBs and the time it took to answer them,
# with the system's monotonic time of each plug) show where the rest went.
# Usage: bench.sh BUILD_DIR (a linux-release build). Prints "name value" lines.
set -u
build=$1
server=$build/bin/orvo-usb-device
work=$(mktemp -d /tmp/kernel-bench.XXXXXX)
dev=/sys/bus/usb/devices/1-1
status=0

wait_for() {
    n=$(($1 * 10)); shift
    while [ $n -gt 0 ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; n=$((n - 1)); done
    return 1
}
present() { [ "$(cat "$dev/idVendor" 2>/dev/null):$(cat "$dev/idProduct" 2>/dev/null)" = "$1" ]; }
ms() { echo $(($(date +%s%N) / 1000000)); }
number() { grep -oE "$1 [0-9.]+" "$2" | tail -1 | awk '{print $NF}'; }

# A Tavik upgrade.
"$server" --port 0 >"$work/upgrade.server" 2>&1 &
spid=$!
wait_for 30 present 2c6d:3240 && udevadm settle -t 10
mkdir -p "$work/run/appdata"
start=$(ms)
(cd "$work/run" && XDG_DATA_HOME="$work/run/appdata" ORVO_TEST_WAITS_FILE="$work/waits" \
    "$build/bin/orvohidflash-testbuild" /S </dev/null >"$work/run/output.txt" 2>&1)
rc=$?
wall=$(($(ms) - start))
kill -TERM $spid; wait $spid
program=$(number waits "$work/waits")
device=$(number "own time" "$work/upgrade.server")
echo "upgrade: exit $rc, wall $wall ms, the program's waits ${program:-?} ms, the device's own time ${device:-?} ms"
grep -E 'plugged|unplugged' "$work/upgrade.server"
if [ $rc = 0 ] && [ -n "$program" ] && [ -n "$device" ]; then
    python3 -c "print('kernel-upgrade-overhead %.4f' % ($wall / ($program + $device)))"
else
    cat "$work/upgrade.server" "$work/run/output.txt"; status=1
fi

# A 1 MiB download by the DFU engine through libusb.
"$server" --port 0 --family dfu >"$work/dfu.server" 2>&1 &
spid=$!
wait_for 30 present 1209:2003 && udevadm settle -t 10
(cd "$work" && "$build/bin/bench-dfu-engine" --libusb 1209:2003 >"$work/dfu.txt" 2>&1)
rc=$?
kill -TERM $spid; wait $spid
measured=$(number dfu-measured-ms "$work/dfu.txt")
least=$(grep -oE 'least download time [0-9.]+' "$work/dfu.server" | awk '{print $NF}')
echo "dfu: exit $rc, measured ${measured:-?} ms, the device's least time ${least:-?} ms"
grep -E 'unplugged' "$work/dfu.server"
if [ $rc = 0 ] && [ -n "$measured" ] && [ -n "$least" ]; then
    python3 -c "print('kernel-dfu-ratio %.4f' % ($measured / $least))"
else
    cat "$work/dfu.server" "$work/dfu.txt"; status=1
fi
# The same without the kernel, in this guest.
(cd "$work/run" && "$build/bin/orvohidflash-bench" --time-scale 1 --instance-name kernel-bench /S >"$work/inproc.txt" 2>&1)
took=$(grep -oE 'run took [0-9]+ ms, waits it had to make [0-9]+' "$work/inproc.txt" | grep -oE '[0-9]+' | tr '\n' ' ')
set -- $took
if [ $# = 2 ] && [ "$2" -gt 0 ]; then
    echo "in-process upgrade: wall $1 ms, waits $2 ms"
    python3 -c "print('kernel-tcg-upgrade-overhead %.4f' % ($1 / $2))"
fi
(cd "$work" && "$build/bin/bench-dfu-engine" >"$work/dfu-inproc.txt" 2>&1) \
    && grep -E '^dfu-ratio ' "$work/dfu-inproc.txt" | sed 's/^dfu-ratio /kernel-tcg-dfu-ratio /'
rm -rf "$work"
exit $status
