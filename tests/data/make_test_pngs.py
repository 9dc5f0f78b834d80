#!/usr/bin/env python3
"""Writes the PNG test set: every colour type and bit depth the PNG standard
allows, interlaced and not, with palette transparency, plus damaged files.
Each image X.png comes with X.bgrx, the device raster the host must produce.
Run from this folder; the files are committed."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "blackbox"))
import pngs  # noqa: E402

W, H = 19, 13
DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}


def sample(x, y, c, depth):
    top = (1 << depth) - 1
    return (x * 37 + y * 101 + c * 59 + x * y * 7) % (top + 1)


def make(colour_type, depth, interlace):
    ch = pngs.channels_of(colour_type)
    palette = None
    trns = None
    if colour_type == 3:
        n = 1 << depth
        palette = [((i * 73) % 256, (i * 151 + 7) % 256, (i * 29 + 200) % 256) for i in range(n)]
        trns = bytes((i * 97) % 256 for i in range(min(n, 5)))
    pixels = [[tuple(sample(x, y, c, depth) for c in range(ch)) for x in range(W)] for y in range(H)]
    if colour_type == 3:
        pixels = [[(p[0] % len(palette),) for p in row] for row in pixels]
    data = pngs.encode(W, H, pixels, colour_type, depth, interlace, palette, trns)
    raster = pngs.expected_device_raster(W, H, pixels, colour_type, depth, palette)
    return data, raster


def main():
    for colour_type, depths in DEPTHS.items():
        for depth in depths:
            for interlace in (False, True):
                name = "ct%d_d%d%s" % (colour_type, depth, "_i" if interlace else "")
                data, raster = make(colour_type, depth, interlace)
                open(name + ".png", "wb").write(data)
                open(name + ".bgrx", "wb").write(raster)
    # Grey and truecolour with a tRNS colour key: transparency is dropped.
    pixels = [[(x * 13 % 256, y * 17 % 256, 9) for x in range(W)] for y in range(H)]
    data = pngs.encode(W, H, pixels, 2, 8, False, trns=bytes([0, 0, 0, 0, 0, 9]))
    open("ct2_d8_trns.png", "wb").write(data)
    open("ct2_d8_trns.bgrx", "wb").write(pngs.expected_device_raster(W, H, pixels, 2, 8))
    # Damaged files: refused by both builds.
    good = pngs.rgba8(W, H)
    idat = good.index(b"IDAT")
    bad_crc = bytearray(good)
    bad_crc[idat + 4 + 10] ^= 0xFF  # a data byte: the stored CRC no longer matches
    open("bad_crc.png", "wb").write(bytes(bad_crc))
    compressed = pngs.zlib.compress(b"\x00" * 10, 9)
    short = pngs.SIGNATURE + pngs.chunk(b"IHDR", pngs.struct.pack(">IIBBBBB", W, H, 8, 6, 0, 0, 0)) + \
        pngs.chunk(b"IDAT", compressed) + pngs.chunk(b"IEND", b"")
    open("short_idat.png", "wb").write(short)


if __name__ == "__main__":
    main()


def labels():
    """Two small, distinct labels for the attempt tests."""
    open("label_40x20.png", "wb").write(pngs.rgba8(40, 20))
    open("label_40x20_b.png", "wb").write(pngs.rgba8(40, 20, lambda x, y: (x, y, 0, 255)))


labels()
