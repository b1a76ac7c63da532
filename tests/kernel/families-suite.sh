#!/bin/sh
# The kernel suite's part for the other families, run inside the Debian guest
# with the package installed (./run vm --package): every product the server
# carries enumerates on the real kernel with descriptors lsusb reads without
# a complaint and a hidraw node; then, as the user tester (the package's rules
# give plugdev the devices), each family's upgrade or download through the
# kernel, the server's memory afterwards equal to what was written, and each
# pulled out in the middle (the socket closes) and recovered by a second run:
# the AV7300 (also from its ROM), AV7201, AV6201 and AV6302 upgraders (the
# bench program's --real-usb), cxaudio's patch on a CX2070x, the installed
# Python package on the host interface's two HID faces, and a DFU download
# over BCSP to the BlueCore chip behind its HID bridge (bench-bcsp-dfu
# --system-hid).
#
# Usage: families-suite.sh BUILD_DIR [PART] (PART upgrades: the enumerations
# and the AV7300, AV7201 and AV6302 upgrades; chips: the AV6201 upgrade,
# cxaudio, the Python package and BCSP; both when left out; the chips use
# ports 0 and 1 and no Tavik identity, so they may run beside the Tavik
# part's no-device run). Prints "kernel families NAME: ok|FAILED"
# lines and ends with "kernel families: N passed, N failed".
set -u
build=$1
part=${2:-all}
server=$build/bin/orvo-usb-device
bench=$build/bin/orvohidflash-bench
imagegen=$build/bin/orvo-imagegen
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
present() { # present PORT VID:PID (- for any device)
    id="$(cat "/sys/bus/usb/devices/1-$1/idVendor" 2>/dev/null):$(cat "/sys/bus/usb/devices/1-$1/idProduct" 2>/dev/null)"
    [ "$id" = "$2" ] || { [ "$2" = - ] && [ "$id" != : ]; }
}

gone() { [ ! -e "/sys/bus/usb/devices/1-$1/idVendor" ]; }

if [ "$part" != chips ]; then
# --- every device the server carries on the kernel at once, one port each
# (the controller's 15): the Tavik headset, the Avnera products and faces,
# every Conexant chip and the BlueCore bridge
head -c 131072 /dev/zero | tr '\000' '\377' >"$work/erased.bin"
set -- "tavik::2c6d:3240" "av7300::2c6d:3240" "av7300:--device-image $work/erased.bin:170d:0300" \
       "av7201::2c6d:3240" "av6201::2c6d:3226" "av6302::2c6d:3240" "avnera-generic::2c6d:7300" \
       "avnera-vendor::170d:fe00" "cx20562::0572:1402" "cx2070x::0572:1500" "cx2076x::0572:1460" \
       "cx2077x::0572:1600" "cx20805::0572:1700" "cx1410::0572:1410" "bluecore::0a12:1004"
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
for port in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do wait_for 10 gone $port; done
fi

# The server on port 0, its memory written to $work/TAG.fw when it ends.
spid=""
start_server() { # start_server TAG ARGS...
    tag=$1; shift
    "$server" --port 0 --firmware-out "$work/$tag.fw" "$@" >"$work/$tag.server" 2>&1 &
    spid=$!
}
stop_server() {
    [ -n "$spid" ] || return 0
    kill -TERM "$spid" 2>/dev/null; wait "$spid" 2>/dev/null; spid=""
    wait_for 10 gone 1
}
settle() { udevadm settle -t 10 >/dev/null 2>&1 || true; }
show() { # the server's and the program's last words, for a failed check
    tail -4 "$work/$1.server" | sed 's/^/    server: /' >&2
    [ -f "$work/$1.out" ] && tail -8 "$work/$1.out" | sed 's/^/    program: /' >&2
    return 0
}
# as_tester TAG COMMAND...: in a folder of its own, output to $work/TAG.out.
as_tester() {
    tag=$1; shift
    mkdir -p "$work/$tag.run"; chown tester "$work/$tag.run"
    t0=$(date +%s)
    (cd "$work/$tag.run" && runuser -u tester -- "$@" </dev/null >"$work/$tag.out" 2>&1)
    status=$?
    echo "  $tag: exit $status after $(($(date +%s) - t0))s" >&2
    return $status
}
# holds FW EXPECTED [FROM]: the memory holds the expected bytes from offset
# FROM (default 0) to their end.
holds() {
    python3 - "$@" <<'PY'
import sys
memory = open(sys.argv[1], "rb").read()
expected = open(sys.argv[2], "rb").read()
start = int(sys.argv[3]) if len(sys.argv) > 3 else 0
sys.exit(0 if len(memory) >= len(expected) and memory[start:len(expected)] == expected[start:] else 1)
PY
}

# --- every Avnera upgrader through the kernel (the bench program's --real-usb
# on hidraw and sysfs, as tester), then pulled out in the middle of its
# writes (the socket closes) and a second run from what the memory held then.
# The images are small (every report crosses the emulated kernel, a few
# milliseconds each under TCG) and product and upgrader keep a quarter of
# real time (the upgraders' fixed pauses), the same on both sides.
ts=0.25
"$imagegen" av7300 --part 31 --minor 5 --no-secondary --out "$work/av7300.img" >/dev/null
"$imagegen" av7300 --part 31 --minor 5 --no-secondary --binary --out "$work/av7300.bin" >/dev/null
for f in av7201:2048 av6201:4096 av6302:2048; do
    "$imagegen" "${f%:*}" --size "${f#*:}" --out "$work/${f%:*}.img" >/dev/null
    "$imagegen" "${f%:*}" --size "${f#*:}" --binary --out "$work/${f%:*}.bin" >/dev/null
done
# upgrade TAG FAMILY ID [SERVER ARGS...]: exit 0 and the memory holds the image
upgrade() {
    tag=$1 family=$2 id=$3; shift 3
    switches=/S; [ "$family" = av6201 ] || [ "$family" = av6302 ] && switches="/F /S" # no version to compare
    from=0; [ "$family" = av7201 ] && from=128 # the EEPROM's first 128 bytes are the headset's own
    start_server "$tag" --family "$family" --time-scale $ts "$@"
    if ! wait_for 30 present 1 "$id"; then
        stop_server; fail "$tag" "$id did not appear"; show "$tag"; return 1
    fi
    settle
    # shellcheck disable=SC2086
    as_tester "$tag" "$bench" --real-usb --time-scale $ts --family "$family" --image "$work/$family.img" \
        --instance-name "$tag" $switches
    rc=$?
    stop_server
    if [ $rc = 0 ] && holds "$work/$tag.fw" "$work/$family.bin" $from; then
        pass "$tag" "exit 0, the memory holds the image"
    else
        fail "$tag" "exit $rc, $(stat -c %s "$work/$tag.fw" 2>/dev/null) bytes of memory"; show "$tag"
    fi
}
# interrupted TAG FAMILY ID BLOCK ID2: pulled out at the BLOCKth write: the run
# fails; a second run on the memory it left (the product then ID2) recovers.
interrupted() {
    tag=$1 family=$2 id=$3 block=$4 again=$5
    switches=/S; [ "$family" = av6201 ] || [ "$family" = av6302 ] && switches="/F /S"
    start_server "$tag" --family "$family" --time-scale $ts --fault "unplug-at-block=$block"
    wait_for 30 present 1 "$id"; settle
    # shellcheck disable=SC2086
    as_tester "$tag" "$bench" --real-usb --time-scale $ts --family "$family" --image "$work/$family.img" \
        --instance-name "$tag" $switches
    rc=$?
    stop_server
    if [ $rc = 135 ] && grep -qE 'unplugged \((it|the device) left the bus\)' "$work/$tag.server" && ! holds "$work/$tag.fw" "$work/$family.bin"; then
        pass "$tag-unplugged" "exit 135 with the memory half written"
    else
        fail "$tag-unplugged" "exit $rc, expected 135"; show "$tag"
    fi
    cp "$work/$tag.fw" "$work/$tag.left"
    upgrade "$tag-recovered" "$family" "$again" --device-image "$work/$tag.left"
}

if [ "$part" != chips ]; then
upgrade av7300-upgrade av7300 2c6d:3240
# The ROM path: a memory without a valid header boots the ROM (170D:0300),
# which the upgrader switches into flash mode (a re-enumeration on the port).
upgrade av7300-rom-upgrade av7300 170d:0300 --device-image "$work/erased.bin"
interrupted av7300 av7300 2c6d:3240 10 170d:0300
upgrade av7201-upgrade av7201 2c6d:3240
interrupted av7201 av7201 2c6d:3240 100 -
upgrade av6302-upgrade av6302 2c6d:3240
interrupted av6302 av6302 2c6d:3240 3 -

fi

if [ "$part" != upgrades ]; then
# The AV6201 headset (2C6D:3226) carries no Tavik identity: it goes with the chips.
upgrade av6201-upgrade av6201 2c6d:3226
interrupted av6201 av6201 2c6d:3226 3 -

# --- cxaudio patch --write --verify on a CX2070x, as tester
start_server cx0 --family cx2070x
wait_for 30 present 1 0572:1500
stop_server
python3 - "$work/cx0.fw" "$work/patch.s37" "$work/expected.bin" <<'PY'
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
cxaudio() { # cxaudio TAG [SERVER ARGS...]
    tag=$1; shift
    start_server "$tag" --family cx2070x "$@"
    if wait_for 30 present 1 0572:1500; then
        settle
        as_tester "$tag" "$build/bin/cxaudio" patch "$work/patch.s37" --write --verify
        rc=$?
    else
        rc=none
    fi
    stop_server
}
cxaudio cx --device-image "$work/cx0.fw"
if [ "$rc" = 0 ] && cmp -s "$work/cx.fw" "$work/expected.bin"; then
    pass cxaudio-patch-as-tester "exit 0, the EEPROM holds the patch"
else
    fail cxaudio-patch-as-tester "exit $rc"; show cx
fi
# Pulled out in the middle of the write (its 40th report), then a second run.
cxaudio cx-unplug --device-image "$work/cx0.fw" --fault unplug-at-request=40
if [ "$rc" = 20 ] || [ "$rc" = 21 ]; then
    pass cxaudio-unplugged "exit $rc"
else
    fail cxaudio-unplugged "exit $rc, expected 20 or 21"; show cx-unplug
fi
cxaudio cx-recovered --device-image "$work/cx-unplug.fw"
if [ "$rc" = 0 ] && cmp -s "$work/cx-recovered.fw" "$work/expected.bin"; then
    pass cxaudio-recovered "the second run: exit 0, the EEPROM holds the patch"
else
    fail cxaudio-recovered "exit $rc"; show cx-recovered
fi

# --- the installed Python package (Debian's python3, /usr/lib/python3/dist-packages)
# driving the installed host-interface library over hidraw, as tester: the
# chip on its generic-HID face (type 0) and on its vendor face (type 1)
"$server" --family avnera-generic --port 0 --firmware-out "$work/av0.fw" >"$work/av0.server" 2>&1 &
p0=$!
"$server" --family avnera-vendor --port 1 --firmware-out "$work/av1.fw" >"$work/av1.server" 2>&1 &
p1=$!
if wait_for 30 present 1 2c6d:7300 && wait_for 30 present 2 170d:fe00; then
    settle
    cat >"$work/hostapi.py" <<'PY'
import importlib.metadata, sys
import orvohostapi as h
print("module", h.__file__)
print("version", importlib.metadata.version("orvohostapi"))
# The vendor face's collection is the generic one too: the generic face by
# its identity (vendor << 16 | product); the vendor face lists only itself.
for kind in (h.GENERIC_HID, h.VENDOR_HID):
    print(kind, "lists", ["%08X" % i for _, i in h.list_devices(kind)])
    index = h.find_device(kind, ident=0x2C6D7300) if kind == h.GENERIC_HID else 0
    with h.open_device(kind, index) as d:
        print(kind, hex(d.device_version()), d.version_app_name())
        data = bytes((i * 13 + kind) & 0xFF for i in range(1024))
        d.eeprom_write(0x100, data)
        assert d.eeprom_read(0x100, len(data)) == data
        print(kind, "wrote", len(data))
print("library", [l.split()[-1] for l in open("/proc/self/maps") if "liborvohostapi" in l][0])
PY
    as_tester python env -u ORVO_HOSTAPI_LIBRARY -u PYTHONPATH /usr/bin/python3 "$work/hostapi.py"
    rc=$?
    version=$(dpkg-query -W -f '${Version}' orvohidflash)
    kill -TERM $p0 $p1; wait $p0 $p1
    if [ $rc = 0 ] && [ "$(grep -c "^[01] 0x105 .*HeadsetApp" "$work/python.out")" = 2 ] \
        && python3 -c '
import sys
for kind, path in ((0, sys.argv[1]), (1, sys.argv[2])):
    memory = open(path, "rb").read()
    assert memory[0x100:0x500] == bytes((i * 13 + kind) & 0xFF for i in range(1024)), path
' "$work/av0.fw" "$work/av1.fw" \
        && grep -q '^module /usr/lib/python3/dist-packages/orvohostapi/__init__.py$' "$work/python.out" \
        && grep -qx "version ${version%%-*}" "$work/python.out" \
        && grep -qE '^library /usr/lib/(x86_64-linux-gnu/)?liborvohostapi\.so\.1' "$work/python.out"; then
        pass python-host-interface-as-tester "the installed package $version and library: generic and vendor HID, the EEPROMs hold what was written"
    else
        fail python-host-interface-as-tester "exit $rc"; sed 's/^/    python: /' "$work/python.out" >&2
    fi
else
    kill -TERM $p0 $p1; wait $p0 $p1
    fail python-host-interface-as-tester "the Avnera chips did not appear"
fi
wait_for 10 gone 1; wait_for 10 gone 2
# The generic face pulled out in the middle of a write to its EEPROM (the
# socket closes): an error, never a success; a second run writes it whole.
cat >"$work/hostapi-write.py" <<'PY'
import orvohostapi as h
data = bytes(range(256)) * 8
with h.open_device(h.GENERIC_HID, 0) as d:
    d.eeprom_write(0, data)
    assert d.eeprom_read(0, len(data)) == data
print("wrote", len(data))
PY
start_server python-unplug --family avnera-generic --fault unplug-at-request=30
wait_for 30 present 1 2c6d:7300; settle
as_tester python-unplug /usr/bin/python3 "$work/hostapi-write.py"; rc=$?
stop_server
start_server python-again --family avnera-generic
wait_for 30 present 1 2c6d:7300; settle
as_tester python-again /usr/bin/python3 "$work/hostapi-write.py"; rc2=$?
stop_server
if [ $rc != 0 ] && grep -q 'HostApiError' "$work/python-unplug.out" && [ $rc2 = 0 ] \
    && grep -qx 'wrote 2048' "$work/python-again.out" \
    && python3 -c 'import sys; assert open(sys.argv[1], "rb").read()[:2048] == bytes(range(256)) * 8' "$work/python-again.fw"; then
    pass python-unplugged "HostApiError when pulled out mid-write; the second run's EEPROM holds the data"
else
    fail python-unplugged "exit $rc then $rc2"; tail -n 4 "$work/python-unplug.out" "$work/python-again.out" | sed 's/^/    /' >&2
fi

# --- a DFU download over BCSP to the BlueCore chip behind its HID bridge,
# through hidraw as tester (the bridge's vendor collection is the host
# interface's, which the Avnera rules give plugdev)
head -c 6000 /dev/urandom >"$work/bluecore.bin"
bcsp() { # bcsp TAG [SERVER ARGS...]
    tag=$1; shift
    start_server "$tag" --family bluecore "$@"
    if wait_for 30 present 1 0a12:1004; then
        settle
        as_tester "$tag" "$build/bin/bench-bcsp-dfu" --system-hid 0a12:1004 --image "$work/bluecore.bin"
        rc=$?
    else
        rc=none
    fi
    stop_server
}
# Pulled out as the download starts (it took a minute to fail while the DFU
# layer asked the dead link for the chip's status again and again, 6 s each).
bcsp bcsp-unplug --fault unplug-at-request=40
if [ "$rc" = 1 ] && ! cmp -s "$work/bcsp-unplug.fw" "$work/bluecore.bin"; then
    pass bcsp-dfu-unplugged "exit 1, the chip does not hold the image"
else
    fail bcsp-dfu-unplugged "exit $rc, expected 1"; show bcsp-unplug
fi
bcsp bcsp
if [ "$rc" = 0 ] && cmp -s "$work/bcsp.fw" "$work/bluecore.bin"; then
    pass bcsp-dfu-download "exit 0, the chip holds the image"
else
    fail bcsp-dfu-download "exit $rc"; show bcsp
fi

fi

rm -rf "$work"
echo "kernel families: $passed passed, $failed failed"
[ $failed = 0 ]
