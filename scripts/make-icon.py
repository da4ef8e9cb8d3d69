#!/usr/bin/env python3
"""Draws the program's icon and writes app/orvpresd.ico: nine images, 256, 48, 32 and
16 px at 8 bits and 256, 64, 48, 32 and 16 px at 32 bits, as uncompressed DIBs."""
import math
import struct
import sys

BACKGROUND = (0x58, 0x65, 0xF2)   # a Discord-like blurple
SCREEN = (0x23, 0x27, 0x2A)
ACCENT = (0x57, 0xF2, 0x87)
WHITE = (0xFF, 0xFF, 0xFF)


def pixel(size, x, y):
    """RGBA of one pixel: a rounded square holding a phone screen and a play mark."""
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    r = 0.2
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if math.hypot(u - cx, v - cy) > r:
        return (0, 0, 0, 0)
    if 0.3 <= u <= 0.7 and 0.16 <= v <= 0.84:
        if 0.34 <= u <= 0.66 and 0.22 <= v <= 0.72:
            # play triangle on the screen
            tx = (u - 0.42) / 0.18
            ty = abs(v - 0.47) / 0.16
            if 0 <= tx <= 1 and ty <= 1 - tx:
                return ACCENT + (255,)
            return SCREEN + (255,)
        if 0.46 <= u <= 0.54 and 0.76 <= v <= 0.80:
            return WHITE + (255,)
        return WHITE + (255,)
    return BACKGROUND + (255,)


PALETTE = [(0, 0, 0), BACKGROUND, SCREEN, ACCENT, WHITE]


def rows(size):
    # DIBs are stored bottom-up
    return [[pixel(size, x, size - 1 - y) for x in range(size)] for y in range(size)]


def pad(data):
    return data + b"\0" * ((4 - len(data) % 4) % 4)


def and_mask(image, size):
    out = b""
    for row in image:
        bits = 0
        line = bytearray()
        for x, (_, _, _, a) in enumerate(row):
            bits = (bits << 1) | (1 if a == 0 else 0)
            if x % 8 == 7:
                line.append(bits)
                bits = 0
        if size % 8:
            line.append(bits << (8 - size % 8))
        out += pad(bytes(line))
    return out


def dib(size, depth):
    image = rows(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0, 0, 0, 0,
                         256 if depth == 8 else 0, 0)
    if depth == 32:
        xor = b"".join(bytes((b, g, r, a)) for row in image for (r, g, b, a) in row)
        return header + xor + and_mask(image, size)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in PALETTE) + b"\0" * 4 * (256 - len(PALETTE))
    xor = b"".join(pad(bytes(PALETTE.index((r, g, b)) if a else 0 for (r, g, b, a) in row)) for row in image)
    return header + palette + xor + and_mask(image, size)


def main(path):
    images = [(s, 8) for s in (256, 48, 32, 16)] + [(s, 32) for s in (256, 64, 48, 32, 16)]
    blobs = [dib(s, d) for s, d in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, depth), blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, depth, len(blob), offset)
        offset += len(blob)
    out += b"".join(blobs)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "app/orvpresd.ico")
