#!/bin/sh
# The kernel suite's Tavik part, run inside the Debian guest (./run vm
# --package) as root: the package is installed, systemd-udevd runs, and
# orvo-usb-device attaches the simulated headset to the real kernel through
# vhci-hcd. The installed program runs as the user tester (group plugdev)
# through hidraw, usbfs (libusb) and sysfs, as on a user's PC.
#
# Usage: tavik-suite.sh BUILD_DIR [PART]  (the linux-release build with
#        orvo-usb-device and generated/BC_05_USB.dfu; PART 1 or 2 runs half of
#        the checks, so that two guests share the work: 1 the upgrades and the
#        other hosts, 2 the rest and the purge; no-device only the run without
#        a device, which may go on beside checks that plug in no Tavik
#        identity)
# Prints one line per check ("kernel tavik NAME: ok|FAILED") and ends with
# "N passed, N failed".
set -u
build=$1
part=${2:-all}
server=$build/bin/orvo-usb-device
image=$build/generated/BC_05_USB.dfu
work=$(mktemp -d /tmp/kernel-suite.XXXXXX)
chmod 755 "$work"
passed=0 failed=0
spid=""
port=0
dev=/sys/bus/usb/devices/1-1
use_port() { port=$1; dev=/sys/bus/usb/devices/1-$((port + 1)); }

say() { echo "kernel tavik $*"; }
pass() { say "$1: ok${2:+ ($2)}"; passed=$((passed + 1)); }
fail() { say "$1: FAILED: $2"; failed=$((failed + 1)); }
# The firmware the server must end up with: the image without its DFU suffix.
python3 - "$image" "$work/payload.bin" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
assert data[-8:-5] == b"UFD", "no DFU suffix"
open(sys.argv[2], "wb").write(data[:len(data) - data[-5]])
PY

wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
    n=$(($1 * 10)); shift
    while [ $n -gt 0 ]; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1; n=$((n - 1))
    done
    return 1
}
present() { [ "$(cat "$dev/idVendor" 2>/dev/null):$(cat "$dev/idProduct" 2>/dev/null)" = "$1" ]; }

start_server() { # start_server TAG ARGS...
    tag=$1; shift
    "$server" --port $port --firmware-out "$work/$tag.fw" "$@" >"$work/$tag.server" 2>&1 &
    spid=$!
}
gone() { [ ! -e "$1/idVendor" ]; }
stop_server() {
    [ -n "$spid" ] || return 0
    kill -TERM "$spid" 2>/dev/null
    wait "$spid" 2>/dev/null
    spid=""
    # The kernel lets go of the ports a moment later: the next device must not
    # be mistaken for this one.
    wait_for 10 gone /sys/bus/usb/devices/1-1
    wait_for 10 gone /sys/bus/usb/devices/1-2
}
settle() { udevadm settle -t 10 >/dev/null 2>&1 || true; }

# run_program TAG [USER]: the installed program, silent, in a folder of its own.
run_program() {
    tag=$1 user=${2:-$as}
    dir=$work/$tag.run
    mkdir -p "$dir/appdata"
    chown -R "$user" "$dir" 2>/dev/null
    start=$(date +%s)
    (cd "$dir" && runuser -u "$user" -- env XDG_DATA_HOME="$dir/appdata" ORVO_TIME_SCALE=0.001 timeout 600 orvohidflash /S \
        </dev/null >"$dir/output.txt" 2>&1)
    rc=$?
    took=$(($(date +%s) - start))
    echo "  $tag: exit $rc after ${took}s" >&2
    return $rc
}
same_file() { cmp -s "$1" "$2"; }
show() { # the server's and the program's words, for a failed check
    sed 's/^/    server: /' "$work/$1.server" >&2
    cat "$work/$1.run"/Upgrade-*.log 2>/dev/null | tr -d '\r' | grep -v '^$' | tail -25 | sed 's/^/    log: /' >&2
}

# Who runs the program: tester, in plugdev, which the installed rules give the
# devices (TAG+="uaccess" alone grants nothing without a seat).
as=tester

if [ "$part" = no-device ]; then
# --- no device, as the user without root: the real program's waits (two
# minutes and more; the shipped program ignores ORVO_TIME_SCALE, which every
# run here sets to 0.001), and the driver tool that cannot get root
run_program no-device tester; rc=$?
if [ $rc = 129 ] && [ "$took" -ge 30 ] && grep -qs 'code\[0x80000001\] success\[0\]' "$work"/no-device.run/Upgrade-*.log; then
    pass no-device "exit 129 after ${took}s, the log kept"
else
    fail no-device "exit $rc after ${took}s, expected 129 after the real waits"
fi
rm -rf "$work"
echo "kernel tavik: $passed passed, $failed failed"
[ $failed = 0 ]
exit
fi

# --- the package, installed by the guest with dpkg -i
check_installed() {
    for f in /usr/bin/orvohidflash /opt/orvohidflash/orvohidflash /opt/orvohidflash/pellory \
             /usr/lib/udev/rules.d/70-orvo-tavik.rules; do
        [ -e "$f" ] || { fail package-installed "$f missing"; return; }
    done
    pass package-installed
}
check_installed
for f in 70-orvo-tavik 71-orvo-avnera 72-orvo-conexant; do
    if ! grep -q 'GROUP="plugdev"' "/usr/lib/udev/rules.d/$f.rules" 2>/dev/null; then
        fail rules-grant-plugdev "$f.rules gives the group plugdev nothing"
        break
    fi
done

if [ "$part" != 2 ]; then
# --- an upgrade through hidraw and libusb
start_server upgrade
if wait_for 20 present 2c6d:3240; then
    settle
    node=$(ls "$dev"/*/*/hidraw 2>/dev/null | head -1)
    if [ -n "$node" ] && udevadm info -q all -n "/dev/$node" 2>/dev/null | grep -q 'uaccess'; then
        pass udev-rules-applied "hidraw node tagged by the package's rules"
    else
        fail udev-rules-applied "the package's rules were not applied to the headset's hidraw node (${node:-none})"
    fi
    run_program upgrade; rc=$?
    stop_server
    if [ $rc = 0 ] && same_file "$work/upgrade.fw" "$work/payload.bin" && grep -q 'headset runs 1.05.4' "$work/upgrade.server"; then
        pass upgrade-as-tester "exit 0, the headset holds the image and runs 1.05.4"
    else
        fail upgrade-as-tester "exit $rc; firmware $(stat -c %s "$work/upgrade.fw" 2>/dev/null) bytes"; show upgrade
    fi
else
    stop_server; fail upgrade-as-tester "the headset did not appear"; show upgrade
fi

# --- versions
for case in same:1 newer:2; do
    scenario=${case%:*} want=${case#*:}
    start_server "$scenario" --scenario "$scenario"
    wait_for 20 present 2c6d:3240; settle
    run_program "$scenario"; rc=$?
    stop_server
    if [ $rc = "$want" ] && [ ! -s "$work/$scenario.fw" ]; then
        pass "$scenario" "exit $rc, nothing written"
    else
        fail "$scenario" "exit $rc, expected $want"; show "$scenario"
    fi
done

# --- pulled out in the middle of the download (the socket closes), then a second run
start_server unplug --fault unplug-at-block=20
wait_for 20 present 2c6d:3240; settle
run_program unplug; rc=$?
if [ $rc = 135 ]; then
    pass unplug-mid-download "exit 135"
else
    fail unplug-mid-download "exit $rc, expected 135"; show unplug
fi
kill -USR1 "$spid"
wait_for 20 present 2c6d:3240; settle
run_program unplug-again; rc=$?
stop_server
if [ $rc = 0 ] && same_file "$work/unplug.fw" "$work/payload.bin"; then
    pass unplug-recovered "the second run: exit 0, the image in place"
else
    fail unplug-recovered "exit $rc"; show unplug
fi

# --- a STALL during the download: the run fails; the next one finds the device in DFU mode
start_server stall --fault dfu-stall-at-block=10
wait_for 20 present 2c6d:3240; settle
run_program stall; rc=$?
if [ $rc = 135 ]; then
    pass dfu-stall "exit 135"
else
    fail dfu-stall "exit $rc, expected 135"; show stall
fi
run_program stall-again; rc=$?
stop_server
if [ $rc = 0 ] && same_file "$work/stall.fw" "$work/payload.bin"; then
    pass dfu-stall-recovered "the second run, from DFU mode: exit 0, the image in place"
else
    fail dfu-stall-recovered "exit $rc"; show stall
fi

# --- a DNLOAD the device never answers: the host's time-out takes the request
# back (an unlink); the run fails, the next one finds the device in DFU mode
start_server no-answer --fault no-answer-at-block=10
wait_for 20 present 2c6d:3240; settle
run_program no-answer; first=$?
run_program no-answer-again; rc2=$?
stop_server
rc=$first
if [ $rc = 135 ] && grep -qE '0A12:0001 unplugged .* [1-9][0-9]* unlinked' "$work/no-answer.server"; then
    pass no-answer "exit 135, the request unlinked by the host's time-out"
else
    fail no-answer "exit $rc, expected 135 after an unlink"; show no-answer
fi
if [ $rc2 = 0 ] && same_file "$work/no-answer.fw" "$work/payload.bin"; then
    pass no-answer-recovered "the second run, from DFU mode: exit 0, the image in place"
else
    fail no-answer-recovered "exit $rc2"; show no-answer
fi

# --- hosts we did not write: lsusb -v and dfu-util against our devices
start_server hosts --scenario dfu-mode --fault second-dfu-device
if wait_for 20 present 0a12:0001 && wait_for 20 test -e /sys/bus/usb/devices/1-$((port + 2))/idVendor; then
    settle
    lsusb -v -d 0a12:0001 >"$work/lsusb-dfu.txt" 2>"$work/lsusb.err"; rc1=$?
    lsusb -v -d 1209:2003 >"$work/lsusb-other.txt" 2>>"$work/lsusb.err"; rc2=$?
    if [ $rc1 = 0 ] && [ $rc2 = 0 ] && [ ! -s "$work/lsusb.err" ] && grep -q 'bInterfaceClass *254' "$work/lsusb-dfu.txt"; then
        pass lsusb-dfu "both DFU devices read without complaint"
    else
        fail lsusb-dfu "lsusb exit $rc1/$rc2: $(head -3 "$work/lsusb.err")"
    fi
    if dfu-util -l 2>/dev/null | grep -q '0a12:0001'; then
        pass dfu-util-list
    else
        fail dfu-util-list "dfu-util does not list 0a12:0001"
    fi
    # The other device declares upload: down, reset, up again, unchanged.
    head -c 70000 /dev/urandom >"$work/random.bin"
    cp "$work/random.bin" "$work/random.dfu"
    dfu-suffix -a "$work/random.dfu" -v 1209 -p 2003 >/dev/null 2>&1
    dfu-util -d 1209:2003,1209:2003 -D "$work/random.dfu" -R >"$work/dfu-down.txt" 2>&1; rc=$?
    wait_for 20 test -e /sys/bus/usb/devices/1-$((port + 2))/idVendor; settle
    dfu-util -d 1209:2003,1209:2003 -U "$work/uploaded.bin" >"$work/dfu-up.txt" 2>&1; rc2=$?
    if [ $rc = 0 ] && [ $rc2 = 0 ] && same_file "$work/random.bin" "$work/uploaded.bin"; then
        pass dfu-util-download-upload "70,000 bytes down and back up unchanged"
    else
        fail dfu-util-download-upload "download exit $rc, upload exit $rc2"
        sed 's/^/    dfu-util: /' "$work/dfu-down.txt" "$work/dfu-up.txt" | tail -30 >&2
    fi
    # The headset's DFU mode takes the image from dfu-util too and restarts into it.
    # dfu-util resets the device after manifestation; the headset comes back
    # as another device (its HID mode), which dfu-util 0.11 reports as an I/O
    # error (74) after "Done!", as it would with the real headset.
    dfu-util -d 0a12:0001,0a12:0001 -D "$image" -R >"$work/dfu-tavik.txt" 2>&1; rc=$?
    wait_for 20 present 2c6d:3240
    stop_server
    if { [ $rc = 0 ] || { [ $rc = 74 ] && grep -q '^Done!' "$work/dfu-tavik.txt"; }; } \
        && same_file "$work/hosts.fw" "$work/payload.bin" && grep -q 'headset runs 1.05.4' "$work/hosts.server"; then
        pass dfu-util-tavik "exit $rc; the headset holds the image and runs 1.05.4"
    else
        fail dfu-util-tavik "dfu-util exit $rc"; sed 's/^/    dfu-util: /' "$work/dfu-tavik.txt" | tail -20 >&2; show hosts
    fi
else
    stop_server; fail dfu-util "the DFU devices did not appear"; show hosts
fi

fi

if [ "$part" != 1 ]; then
# --- a device that is not manifestation tolerant and leaves the bus as manifestation starts
start_server leaves --fault manifest-leaves-bus
wait_for 20 present 2c6d:3240; settle
run_program leaves; rc=$?
stop_server
if [ $rc = 0 ] && same_file "$work/leaves.fw" "$work/payload.bin"; then
    pass manifest-leaves-bus "exit 0, the image in place"
else
    fail manifest-leaves-bus "exit $rc"; show leaves
fi

# --- a slow re-enumeration (3.5 s each way, within the upgrader's 5 s)
start_server slow --fault slow-reenumeration=3500
wait_for 20 present 2c6d:3240; settle
run_program slow; rc=$?
stop_server
if [ $rc = 0 ] && same_file "$work/slow.fw" "$work/payload.bin"; then
    pass slow-reenumeration "exit 0, the image in place"
else
    fail slow-reenumeration "exit $rc"; show slow
fi

# --- the right device only: another vendor's device that comes up in DFU
# mode on the port before the headset's as the headset switches (the newest
# DFU device) is never written
use_port 1
start_server other --fault second-dfu-device
wait_for 20 present 2c6d:3240; settle
run_program other; rc=$?
stop_server
use_port 0
if [ $rc = 0 ] && same_file "$work/other.fw" "$work/payload.bin" && grep -q 'DFU device received 0 blocks' "$work/other.server"; then
    pass right-device-only "exit 0, the headset holds the image, the other vendor's DFU device got nothing"
else
    fail right-device-only "exit $rc, $(grep -o 'other vendor.*received [0-9]* blocks' "$work/other.server")"; show other
fi

# --- a user without access is told so, and how to grant it, on the console
# and in the log; never "not connected" (129: the headset refuses at the start)
# access TAG USER: the run as USER with the headset plugged in
access() {
    start_server "$1"
    wait_for 20 present 2c6d:3240; settle
    run_program "$1" "$2"; rc=$?
    stop_server
    log=$(cat "$work/$1.run"/Upgrade-*.log 2>/dev/null | tr -d '\r')
}
useradd -M -s /bin/sh outsider 2>/dev/null
access outsider outsider
advice='sudo usermod -aG plugdev outsider'
if [ $rc = 129 ] && grep -qF "$advice" "$work/outsider.run/output.txt" && echo "$log" | grep -qF "$advice" \
    && ! grep -qi 'not connected' "$work/outsider.run/output.txt" && ! echo "$log" | grep -qi 'not connected'; then
    pass no-access-not-in-group "exit 129; console and log: access missing, $advice"
else
    fail no-access-not-in-group "exit $rc"; sed 's/^/    output: /' "$work/outsider.run/output.txt" >&2
fi
# The Tavik rules removed (the package's file moved away and udev told so):
# the headset's HID interface still opens (its vendor collection is the host
# interface's, which the Avnera rules give plugdev), its DFU mode does not:
# 135, and the tester is told which rules are missing.
mv /usr/lib/udev/rules.d/70-orvo-tavik.rules "$work/70-orvo-tavik.rules.away"
udevadm control --reload >/dev/null 2>&1
access no-rules tester
mv "$work/70-orvo-tavik.rules.away" /usr/lib/udev/rules.d/70-orvo-tavik.rules
udevadm control --reload >/dev/null 2>&1
out=$work/no-rules.run/output.txt
if [ $rc = 135 ] && grep -qF 'Access to the headset in USB DFU mode (0A12:0001) is missing' "$out" \
    && grep -qF '(70-orvo-tavik.rules, to the group plugdev' "$out" && grep -qF 'are not installed' "$out" \
    && echo "$log" | grep -qF 'are not installed' && ! grep -qi 'not connected' "$out" \
    && ! echo "$log" | grep -qi 'not connected'; then
    pass no-access-rules-removed "exit 135; console and log: the DFU mode's rules are not installed, how to install them"
else
    fail no-access-rules-removed "exit $rc"; sed 's/^/    output: /' "$work/no-rules.run/output.txt" >&2
fi

# --- without udevd (containers, minimal and live systems): no daemon gives
# the nodes to plugdev nor tells libusb of the DFU device that comes up, so
# the run is root's
pkill -x systemd-udevd 2>/dev/null
wait_for 5 sh -c '! pgrep -x systemd-udevd'
start_server no-udevd
wait_for 20 present 2c6d:3240
run_program no-udevd root; rc=$?
stop_server
if [ $rc = 0 ] && same_file "$work/no-udevd.fw" "$work/payload.bin" && ! pgrep -x systemd-udevd >/dev/null; then
    pass upgrade-without-udevd "exit 0, the headset holds the image"
else
    fail upgrade-without-udevd "exit $rc"; show no-udevd
fi

# --- the package removed: nothing of it stays behind
udevd=$(command -v systemd-udevd || ls /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd 2>/dev/null | head -1)
"$udevd" --daemon >/dev/null 2>&1
dpkg --purge orvohidflash >"$work/purge.txt" 2>&1; rc=$?
"$(dirname "$0")/list-root" >"$work/after.list"
left=$(comm -13 /run/orvo-before.list "$work/after.list")
if [ $rc = 0 ] && [ -z "$left" ] && ! /usr/bin/python3 -c 'import orvohostapi' 2>/dev/null; then
    pass package-purge "dpkg --purge leaves no file behind; python3 no longer imports orvohostapi"
else
    fail package-purge "dpkg --purge exit $rc; left: $(echo $left | head -c 300)"
fi

# --- installed while the headset is plugged in: the maintainer scripts make
# udev apply the new rules to it at once
rm -f /etc/udev/rules.d/7[0-9]-orvo-*.rules
udevadm control --reload >/dev/null 2>&1
start_server reinstall
wait_for 20 present 2c6d:3240; settle
node=$(ls "$dev"/*/*/hidraw 2>/dev/null | head -1)
tagged() { udevadm info -q all -n "/dev/$node" 2>/dev/null | grep -q uaccess; }
before=no; [ -n "$node" ] && tagged && before=yes
dpkg -i "$(cat "$ORVO_GUEST_RUN/package")" >"$work/reinstall.txt" 2>&1; rc=$?
settle
if [ $rc = 0 ] && [ -n "$node" ] && [ $before = no ] && wait_for 10 tagged; then
    pass package-scripts-apply-rules "the plugged-in headset's hidraw node tagged by the rules dpkg -i brought"
else
    fail package-scripts-apply-rules "dpkg -i exit $rc, node ${node:-none}, tagged before: $before"
fi
stop_server
dpkg --purge orvohidflash >/dev/null 2>&1
fi

rm -rf "$work"
echo "kernel tavik: $passed passed, $failed failed"
[ $failed = 0 ]
