#!/usr/bin/env python3
"""Checks a vendor's firmware image before a build embeds it.

The image must be a USB DFU 1.1 file: the 16-byte suffix at its end (bcdDevice,
idProduct, idVendor, bcdDFU 0x0100/0x0110/0x011A, the signature "UFD" stored as
'U','F','D', bLength of at least 16) and a CRC-32 (reflected, polynomial
0xEDB88320, initial value 0xFFFFFFFF, no final inversion) over every byte but
the CRC field that matches the one stored. The suffix's device fields must
fit the Tavik chip in DFU mode (0A12:0001) or be 0xFFFF (any). Prints one line
about the image; exit status 1 and the reason when it is refused.
"""

import struct
import sys
import zlib

DFU_VENDOR, DFU_PRODUCT, ANY = 0x0A12, 0x0001, 0xFFFF


def check(data: bytes) -> str:
    if len(data) < 16:
        raise ValueError("%d bytes: shorter than a DFU suffix" % len(data))
    bcd_device, product, vendor, bcd_dfu = struct.unpack_from("<HHHH", data, len(data) - 16)
    signature = data[-8:-5]
    length = data[-5]
    (crc,) = struct.unpack_from("<I", data, len(data) - 4)
    if signature != b"UFD":
        raise ValueError("no DFU suffix (the signature UFD is missing)")
    if length < 16 or length > len(data):
        raise ValueError("bad suffix length %d" % length)
    if bcd_dfu not in (0x0100, 0x0110, 0x011A):
        raise ValueError("unsupported DFU version 0x%04X" % bcd_dfu)
    expected = (~zlib.crc32(data[:-4])) & 0xFFFFFFFF
    if crc != expected:
        raise ValueError("CRC mismatch: the suffix says 0x%08X, the file gives 0x%08X" % (crc, expected))
    if vendor not in (ANY, DFU_VENDOR) or product not in (ANY, DFU_PRODUCT):
        raise ValueError("made for %04X:%04X, not for the Tavik chip (%04X:%04X)" % (vendor, product, DFU_VENDOR,
                                                                                  DFU_PRODUCT))
    payload = len(data) - length
    if payload == 0:
        raise ValueError("the file holds no firmware, only a suffix")
    return "%d bytes of firmware, DFU suffix for %04X:%04X (bcdDevice %04X), CRC 0x%08X" % (
        payload, vendor, product, bcd_device, crc)


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: check_dfu_image.py IMAGE", file=sys.stderr)
        return 2
    path = sys.argv[1]
    try:
        with open(path, "rb") as f:
            data = f.read()
        print("%s: %s" % (path, check(data)))
        return 0
    except (OSError, ValueError) as e:
        print("%s: refused: %s" % (path, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
