#!/bin/sh
# The packages of ./run package: what the Windows zip and the Debian package
# hold. Installing, running and purging the Debian package happens in the
# test guest, never on the machine that runs the tests (the kernel suite:
# tests/kernel/tavik-suite.sh).
# Usage: package-test.sh DEB ZIP
set -u
deb=$1
zip=$2
fail=0
check() {
    if ! "$@"; then
        echo "FAILED: $*"
        fail=1
    fi
}

echo "== contents of $(basename "$zip")"
check python3 - "$zip" <<'PY'
import sys, zipfile
names = [n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if "/" in n]
need = ["OrvoHIDFlash.exe", "Pellory64.exe", "Pellory32.exe",
        "Driver/Driver/win32/CSRBlueCoreUSB.inf", "Driver/Driver/win64/CSRBlueCoreUSB.inf"]
missing = [n for n in need if n not in names]
print("\n".join(sorted(names)))
if missing:
    print("missing:", missing)
sys.exit(1 if missing else 0)
PY

echo "== contents of $(basename "$deb")"
contents=$(dpkg-deb -c "$deb")
echo "$contents"
for f in ./opt/orvohidflash/orvohidflash ./opt/orvohidflash/pellory \
         ./opt/orvohidflash/Driver/Driver/linux/70-orvo-tavik.rules ./usr/lib/udev/rules.d/70-orvo-tavik.rules \
         ./usr/bin/orvohidflash ./usr/share/doc/orvohidflash/README.md; do
    check sh -c "printf '%s\n' \"\$1\" | grep -q -- \" $f\( \|\$\)\"" _ "$contents"
done

# Debian's policy checker, when it is installed: no errors. Its warnings are
# listed; the README names those a package in /opt cannot avoid.
if command -v lintian >/dev/null 2>&1; then
    echo "== lintian $(basename "$deb")"
    findings=$(lintian --allow-root --no-tag-display-limit "$deb" 2>&1)
    printf '%s\n' "$findings"
    check sh -c "! printf '%s\n' \"\$1\" | grep -q '^E: '" _ "$findings"
fi

[ $fail = 0 ] && echo "package test passed" && exit 0
echo "package test FAILED"
exit 1
