#!/bin/sh
# The kernel suite's part for the other families, run inside the Debian guest
# after the Tavik part (./run vm --package): every product the server carries
# enumerates on the real kernel with descriptors lsusb reads without a
# complaint and a hidraw node; and cxaudio writes and verifies an S37 patch
# into a CX2070x's EEPROM as the user tester (the Conexant rules give plugdev
# the chips), the server's memory then equal to what was written.
#
# Usage: families-suite.sh BUILD_DIR. Prints "kernel families NAME: ok|FAILED"
# lines and ends with "kernel families: N passed, N failed".
set -u
build=$1
server=$build/bin/orvo-usb-device
work=$(mktemp -d /tmp/kernel-families.XXXXXX)
chmod 755 "$work"
passed=0 failed=0

say() { echo "kernel families $*"; }
pass() { say "$1: ok${2:+ ($2)}"; passed=$((passed + 1)); }
fail() { say "$1: FAILED: $2"; failed=$((failed + 1)); }
wait_for() {
    n=$(($1 * 10)); shift
    while [ $n -gt 0 ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; n=$((n - 1)); done
    return 1
}
present() { [ "$(cat "/sys/bus/usb/devices/1-$1/idVendor" 2>/dev/null):$(cat "/sys/bus/usb/devices/1-$1/idProduct" 2>/dev/null)" = "$2" ]; }

# --- every product on the kernel at once, one port each
head -c 131072 /dev/zero | tr '\000' '\377' >"$work/erased.bin"
set -- "av7300::2c6d:3240" "av7300:--device-image $work/erased.bin:170d:0300" "av7201::2c6d:3240" \
       "av6201::2c6d:3226" "av6302::2c6d:3240" "cx20562::0572:1402" "cx2070x::0572:1500" "bluecore::0a12:1004"
pids="" port=0
for p in "$@"; do
    family=${p%%:*} rest=${p#*:}
    args=${rest%%:*}
    # shellcheck disable=SC2086
    "$server" --family "$family" $args --port $port >"$work/server-$port.txt" 2>&1 &
    pids="$pids $!"
    port=$((port + 1))
done
port=0
for p in "$@"; do
    family=${p%%:*} rest=${p#*:} id=${p#*:*:}
    label=$family
    [ -n "${rest%%:*}" ] && label=$family-rom
    if wait_for 30 present $((port + 1)) "$id"; then
        udevadm settle -t 10 >/dev/null 2>&1
        hidraw=$(ls /sys/bus/usb/devices/1-$((port + 1))/*/*/hidraw 2>/dev/null | head -1)
        if lsusb -v -s "$(cat /sys/bus/usb/devices/1-$((port + 1))/busnum):$(cat /sys/bus/usb/devices/1-$((port + 1))/devnum)" \
                >"$work/lsusb-$port.txt" 2>"$work/lsusb-$port.err" && [ ! -s "$work/lsusb-$port.err" ] && [ -n "$hidraw" ]; then
            pass "enumerates-$label" "$id, $hidraw, lsusb -v without a complaint"
        else
            fail "enumerates-$label" "$id: hidraw ${hidraw:-none}; lsusb: $(head -2 "$work/lsusb-$port.err")"
        fi
    else
        fail "enumerates-$label" "$id did not appear: $(tail -2 "$work/server-$port.txt")"
    fi
    port=$((port + 1))
done
for pid in $pids; do kill -TERM "$pid" 2>/dev/null; done
for pid in $pids; do wait "$pid" 2>/dev/null; done
gone() { [ ! -e "/sys/bus/usb/devices/1-$1/idVendor" ]; }
for port in 1 2 3 4 5 6 7 8; do wait_for 10 gone $port; done

# --- cxaudio patch --write --verify on a CX2070x, as tester
"$server" --family cx2070x --port 0 --firmware-out "$work/before.bin" >"$work/cx0.txt" 2>&1 &
pid=$!
wait_for 30 present 1 0572:1500
kill -TERM $pid; wait $pid
wait_for 10 gone 1
python3 - "$work/before.bin" "$work/patch.s37" "$work/expected.bin" <<'PY'
import sys
image = bytearray(open(sys.argv[1], "rb").read())
for i in range(0x200, 0x600):
    image[i] = (i * 7 + 3) & 0xFF
lines = []
for at in range(0, len(image), 32):
    data = image[at:at + 32]
    count = len(data) + 5
    body = bytes([count]) + at.to_bytes(4, "big") + data
    lines.append("S3" + body.hex().upper() + "%02X" % (0xFF - (sum(body) & 0xFF)))
lines.append("S70500000000FA")
open(sys.argv[2], "w").write("\n".join(lines) + "\n")
open(sys.argv[3], "wb").write(image)
PY
"$server" --family cx2070x --device-image "$work/before.bin" --port 0 --firmware-out "$work/after.bin" >"$work/cx.txt" 2>&1 &
pid=$!
if wait_for 30 present 1 0572:1500; then
    udevadm settle -t 10 >/dev/null 2>&1
    (cd "$work" && runuser -u tester -- "$build/bin/cxaudio" patch "$work/patch.s37" --write --verify \
        >"$work/cxaudio.txt" 2>&1)
    rc=$?
    kill -TERM $pid; wait $pid
    if [ $rc = 0 ] && cmp -s "$work/after.bin" "$work/expected.bin"; then
        pass cxaudio-patch-as-tester "exit 0, the EEPROM holds the patch"
    else
        fail cxaudio-patch-as-tester "exit $rc: $(tail -3 "$work/cxaudio.txt")"
    fi
else
    kill -TERM $pid; wait $pid
    fail cxaudio-patch-as-tester "the CX2070x did not appear"
fi

# --- the Python package through the installed host-interface library, over
# hidraw: the chip on its generic-HID face (type 0) and on its vendor face (type 1)
tree=$(dirname "$(dirname "$(cd "$(dirname "$0")" && pwd)")")
"$server" --family avnera-generic --port 0 >"$work/av0.txt" 2>&1 &
p0=$!
"$server" --family avnera-vendor --port 1 >"$work/av1.txt" 2>&1 &
p1=$!
if wait_for 30 present 1 2c6d:7300 && wait_for 30 present 2 170d:fe00; then
    udevadm settle -t 10 >/dev/null 2>&1
    PYTHONPATH="$tree/python" ORVO_HOSTAPI_LIBRARY=/usr/lib/liborvohostapi.so python3 - >"$work/python.txt" 2>&1 <<'PY'
import orvohostapi as h
for kind in (h.GENERIC_HID, h.VENDOR_HID):
    found = h.list_devices(kind)
    assert found, "no device of type %d" % kind
    with h.open_device(kind, 0) as d:
        print(kind, hex(d.device_version()), d.version_app_name())
PY
    rc=$?
    if [ $rc = 0 ] && [ "$(grep -c "^[01] 0x105 .*HeadsetApp" "$work/python.txt")" = 2 ]; then
        pass python-host-interface "generic and vendor HID answer version 0x105 and the app name"
    else
        fail python-host-interface "exit $rc: $(tail -3 "$work/python.txt" | tr '\n' ' ')"
    fi
else
    fail python-host-interface "the Avnera chips did not appear"
fi
kill -TERM $p0 $p1; wait $p0 $p1

rm -rf "$work"
echo "kernel families: $passed passed, $failed failed"
[ $failed = 0 ]
