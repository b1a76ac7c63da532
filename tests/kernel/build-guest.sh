#!/usr/bin/env bash
# Builds the QEMU guests of the kernel tier from Debian's packages, into
# build/guest/ (nothing from outside is kept in the repository):
#
#   build-guest.sh kernel    Debian's kernel package unpacked with dpkg -x, its
#                            uncompressed vmlinux (booted through PVH), and a
#                            busybox initramfs with the USB/IP, HID, 9p, virtio
#                            block and ext4 modules
#   build-guest.sh debian    a Debian root made by debootstrap (udev, kmod,
#                            usbutils, dfu-util, python3 and what the package
#                            needs), with the user tester in plugdev, as an
#                            ext4 image the guest boots from (snapshot: every
#                            boot starts from the same root)
#
# Each part is rebuilt only when its inputs change: the kernel package's
# version, the package lists below, this script and the guest's init.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
OUT="$ROOT/build/guest"
HERE="$ROOT/tests/kernel"
mkdir -p "$OUT"

# Modules the initramfs loads (with what they depend on), in this order.
MODULES=(virtio_pci 9pnet_virtio 9p virtio_blk ext4 usbcore vhci-hcd usbhid hid-generic)
# The Debian guest's packages besides minbase.
DEBIAN_PACKAGES=(udev kmod usbutils dfu-util python3 libhidapi-hidraw0 libusb-1.0-0 libudev1 procps)
SUITE=bookworm

log() { printf '== guest: %s\n' "$*" >&2; }

mirror() {
    # The machine's configured Debian package source.
    local uri
    uri=$(grep -hsE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -v security | head -1 || true)
    [ -n "$uri" ] || uri=$(grep -hsE '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | grep -v security | head -1 || true)
    echo "${uri:-http://deb.debian.org/debian}"
}

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}

build_kernel() {
    local pkg version stamp
    pkg=$(kernel_package)
    if [ -z "$pkg" ]; then
        apt-get update -q >/dev/null
        pkg=$(kernel_package)
    fi
    [ -n "$pkg" ] || { echo "no linux-image-amd64 in the package lists" >&2; return 1; }
    version=$(apt-cache policy "$pkg" | awk '/Candidate:/ {print $2}')
    stamp="$pkg $version $(cat "$0" "$HERE/initramfs-init" | sha256sum | cut -c1-16) $(sha256sum /bin/busybox | cut -c1-16)"
    if [ -f "$OUT/kernel.stamp" ] && [ "$(cat "$OUT/kernel.stamp")" = "$stamp" ] && [ -f "$OUT/vmlinux" ] \
        && [ -f "$OUT/initramfs.cpio" ]; then
        return 0
    fi
    log "kernel from $pkg $version"
    rm -rf "$OUT/kernel" "$OUT/initramfs"
    mkdir -p "$OUT/kernel"
    (cd "$OUT/kernel" && apt-get download -q "$pkg" >/dev/null 2>&1) || { echo "apt-get download $pkg failed" >&2; return 1; }
    dpkg -x "$OUT"/kernel/"$pkg"_*.deb "$OUT/kernel/root"
    local kver
    kver=$(ls "$OUT/kernel/root/lib/modules" | head -1)
    depmod -b "$OUT/kernel/root" "$kver"

    # The bzImage's payload is xz: decompress from its magic to the ELF vmlinux.
    local bz="$OUT/kernel/root/boot/vmlinuz-$kver" offset
    offset=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(b"\xfd7zXZ\x00"))' "$bz")
    [ "$offset" -ge 0 ] || { echo "no xz payload in $bz" >&2; return 1; }
    tail -c +"$((offset + 1))" "$bz" | xz -dc -q >"$OUT/vmlinux.tmp" 2>/dev/null || true
    head -c 4 "$OUT/vmlinux.tmp" | grep -q ELF || { echo "no ELF vmlinux in $bz" >&2; return 1; }
    mv "$OUT/vmlinux.tmp" "$OUT/vmlinux"

    # The initramfs: busybox, the modules in load order, the init.
    local ird="$OUT/initramfs"
    mkdir -p "$ird"/{bin,dev,proc,sys,newroot,modules}
    cp /bin/busybox "$ird/bin/busybox"
    cp "$HERE/initramfs-init" "$ird/init"
    chmod 755 "$ird/init"
    local seen=" " m line path n=0
    : >"$ird/modules/order"
    for m in "${MODULES[@]}"; do
        while read -r line; do
            case $line in
                insmod*) path=$(awk '{print $2}' <<<"$line");;
                *) continue;;
            esac
            case $seen in *" $path "*) continue;; esac
            seen="$seen$path "
            n=$((n + 1))
            cp "$path" "$ird/modules/$(printf '%02d' $n)-$(basename "$path")"
            echo "$(printf '%02d' $n)-$(basename "$path")" >>"$ird/modules/order"
        done < <(modprobe -d "$OUT/kernel/root" -S "$kver" --show-depends "$m")
    done
    (cd "$ird" && find . | cpio -o -H newc --quiet >"$OUT/initramfs.cpio")
    echo "$stamp" >"$OUT/kernel.stamp"
    log "vmlinux and initramfs ($(du -h "$OUT/initramfs.cpio" | cut -f1)) ready"
}

build_debian() {
    local stamp
    stamp="$SUITE ${DEBIAN_PACKAGES[*]} $(sha256sum "$0" | cut -c1-16)"
    if [ -f "$OUT/debian.stamp" ] && [ "$(cat "$OUT/debian.stamp")" = "$stamp" ] && [ -f "$OUT/debian.ext4" ]; then
        return 0
    fi
    [ "$(id -u)" = 0 ] || { echo "the Debian guest is made by debootstrap, which needs root" >&2; return 1; }
    log "debootstrap $SUITE (about two minutes)"
    local dir="$OUT/debian-root"
    rm -rf "$dir" "$OUT/debian.ext4"
    local packages
    packages=$(IFS=,; echo "${DEBIAN_PACKAGES[*]}")
    debootstrap --variant=minbase --include="$packages" "$SUITE" "$dir" "$(mirror)" >"$OUT/debootstrap.log" 2>&1 \
        || { tail -20 "$OUT/debootstrap.log" >&2; return 1; }
    chroot "$dir" /usr/sbin/groupadd -f plugdev
    chroot "$dir" /usr/sbin/useradd -m -s /bin/sh -G plugdev tester
    echo orvo-guest >"$dir/etc/hostname"
    rm -rf "$dir"/var/cache/apt/archives/*.deb "$dir"/var/lib/apt/lists/*
    mkfs.ext4 -q -F -L orvo-root -d "$dir" "$OUT/debian.ext4" 1G
    rm -rf "$dir"
    echo "$stamp" >"$OUT/debian.stamp"
    log "Debian root ready ($(du -h "$OUT/debian.ext4" | cut -f1) used)"
}

case "${1:-all}" in
    kernel) build_kernel ;;
    debian) build_debian ;;
    all) build_kernel; build_debian ;;
    *) echo "usage: build-guest.sh kernel|debian|all" >&2; exit 2 ;;
esac
