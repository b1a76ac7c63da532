#!/usr/bin/env python3
"""Draws the program icon (resource 144): a chip with an upward arrow, in
16x16 and 32x32, 32-bit colour. Run it to regenerate OrvoHIDFlash.ico."""
import struct
import sys


def pixel(size, x, y):
    """BGRA of one pixel; y counts from the top."""
    s = size / 32.0
    # Rounded blue square as the chip body with small pins.
    body = 4 * s <= x < 28 * s and 4 * s <= y < 28 * s
    pin = ((1 * s <= x < 4 * s or 28 * s <= x < 31 * s) and int(y / (4 * s)) % 2 == 1 and 6 * s <= y < 26 * s) or \
          ((1 * s <= y < 4 * s or 28 * s <= y < 31 * s) and int(x / (4 * s)) % 2 == 1 and 6 * s <= x < 26 * s)
    cx = 16 * s
    # White arrow: head triangle and shaft.
    head = 7 * s <= y < 16 * s and abs(x + 0.5 - cx) <= (y - 7 * s) + 0.5
    shaft = 16 * s <= y < 25 * s and abs(x + 0.5 - cx) <= 3 * s
    if body and (head or shaft):
        return (255, 255, 255, 255)
    if body:
        return (176, 96, 24, 255)
    if pin:
        return (160, 160, 160, 255)
    return (0, 0, 0, 0)


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up
        rows.append(b"".join(bytes(pixel(size, x, y)) for x in range(size)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytes(mask_row * size)  # alpha decides transparency
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = [16, 32]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "OrvoHIDFlash.ico")
