#!/usr/bin/env python3
"""The configure-time check of a vendor's firmware image (-DORVO_FIRMWARE_IMAGE):
a valid DFU file passes, and every way a file can be wrong is refused with
its reason. Usage: check_dfu_image_test.py CHECKER GENERATOR WORKDIR"""

import importlib.util
import os
import subprocess
import sys


def load(path, name):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> int:
    checker, generator, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    gen = load(generator, "make_firmware_image")
    good = gen.build_image("1.06.1", 4096, 0xFFFF, 0xFFFF, 0xFFFF)
    ours = gen.build_image("1.06.1", 4096, 0x0A12, 0x0001, 0x0100)
    bad_crc = bytearray(good)
    bad_crc[100] ^= 0x01
    no_suffix = bytearray(good)
    no_suffix[-7] = ord("X")
    cases = {
        "good.dfu": (good, True, "4"),
        "ours.dfu": (ours, True, "0A12:0001"),
        "bad-crc.dfu": (bytes(bad_crc), False, "CRC mismatch"),
        "no-suffix.dfu": (bytes(no_suffix), False, "no DFU suffix"),
        "other-device.dfu": (gen.build_image("1.06.1", 64, 0x1234, 0x5678, 0), False, "not for the Tavik chip"),
        "short.dfu": (b"CSR", False, "shorter than a DFU suffix"),
        "suffix-only.dfu": (good[-16:-4] + (0).to_bytes(4, "little"), False, ""),
    }
    failures = 0
    for name, (data, accepted, words) in cases.items():
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        r = subprocess.run([sys.executable, checker, path], capture_output=True, text=True)
        text = r.stdout + r.stderr
        if (r.returncode == 0) != accepted or (words and words not in text):
            print("FAILED %s: exit %d, %s" % (name, r.returncode, text.strip()))
            failures += 1
        else:
            print("ok %s: %s" % (name, text.strip()))
    r = subprocess.run([sys.executable, checker, os.path.join(work, "missing.dfu")], capture_output=True, text=True)
    if r.returncode != 1:
        print("FAILED missing file: exit %d" % r.returncode)
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
