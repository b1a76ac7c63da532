#!/usr/bin/env python3
"""Builds the synthetic firmware image that the program embeds.

The image is a DFU file: it starts with the eight characters "CSR-dfu2", then
a small header and a payload that states the firmware version, and ends with
the 16-byte USB DFU 1.1 suffix (bcdDevice, idProduct, idVendor, bcdDFU 0x0100,
"UFD", bLength 16, CRC-32 over everything before the CRC field).
"""

import argparse
import os
import struct
import sys
import zlib


def dfu_crc32(data: bytes) -> int:
    # DFU files keep the CRC register uninverted: the complement of zlib's CRC-32.
    return (~zlib.crc32(data)) & 0xFFFFFFFF


def build_image(version: str, payload_size: int, vendor: int, product: int, device: int) -> bytes:
    text = ("Firmware version %s\0" % version).encode("ascii")
    body = bytearray()
    body += b"CSR-dfu2"
    # Header: format revision, payload length, version text length.
    body += struct.pack("<HII", 1, payload_size, len(text))
    body += text
    # Deterministic filler standing in for the firmware itself.
    state = 0x1234567
    filler = bytearray(payload_size)
    for i in range(payload_size):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        filler[i] = (state >> 16) & 0xFF
    body += filler
    suffix = struct.pack("<HHHH", device, product, vendor, 0x0100) + b"UFD" + bytes([16])
    data = bytes(body) + suffix
    return data + struct.pack("<I", dfu_crc32(data))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--output", required=True)
    parser.add_argument("--version", default="1.05.4")
    parser.add_argument("--payload-size", type=int, default=48 * 1024)
    args = parser.parse_args()
    if len(args.version) != 6 or args.version[1] != "." or args.version[4] != ".":
        print("version must look like D.DD.D", file=sys.stderr)
        return 1
    image = build_image(args.version, args.payload_size, 0xFFFF, 0xFFFF, 0xFFFF)
    folder = os.path.dirname(args.output)
    if folder:
        os.makedirs(folder, exist_ok=True)
    temp = args.output + ".tmp"
    with open(temp, "wb") as out:
        out.write(image)
    os.replace(temp, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
