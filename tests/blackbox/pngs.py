"""Writes PNG files by hand (zlib + struct), so the tests can make exactly the
colour types, bit depths, interlacing and chunks they need."""

import struct
import zlib


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Adam7 passes: (x start, y start, x step, y step)
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def channels_of(colour_type: int) -> int:
    return {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]


def pack_row(samples, depth: int) -> bytes:
    """samples: flat list of integer samples of one row."""
    if depth == 8:
        return bytes(samples)
    if depth == 16:
        return b"".join(struct.pack(">H", s) for s in samples)
    out, acc, bits = bytearray(), 0, 0
    for s in samples:
        acc = (acc << depth) | s
        bits += depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


def encode(width, height, pixels, colour_type=6, depth=8, interlace=False, palette=None, trns=None, extra_chunks=()):
    """pixels[y][x] is a tuple of samples for the colour type."""
    ch = channels_of(colour_type)

    def scanlines(xs, ys):
        raw = bytearray()
        for y in ys:
            row = []
            for x in xs:
                row.extend(pixels[y][x])
            raw.append(0)
            raw += pack_row(row, depth)
        return bytes(raw)

    if interlace:
        raw = b""
        for x0, y0, dx, dy in ADAM7:
            xs, ys = list(range(x0, width, dx)), list(range(y0, height, dy))
            if xs and ys:
                raw += scanlines(xs, ys)
    else:
        raw = scanlines(list(range(width)), list(range(height)))
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 1 if interlace else 0)
    out = SIGNATURE + chunk(b"IHDR", ihdr)
    if palette is not None:
        out += chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    if trns is not None:
        out += chunk(b"tRNS", trns)
    for kind, data in extra_chunks:
        out += chunk(kind, data)
    out += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    assert ch
    return out


def rgba8(width, height, fn=None, interlace=False):
    """An 8-bit RGBA image; fn(x, y) -> (r, g, b, a)."""
    fn = fn or (lambda x, y: ((x * 7) & 255, (y * 5) & 255, (x + y) & 255, 255))
    pixels = [[fn(x, y) for x in range(width)] for y in range(height)]
    return encode(width, height, pixels, 6, 8, interlace)


def solid_rgb(width, height, rgb=(0, 0, 0)):
    """A plain 8-bit RGB image, compressed well even when large."""
    row = b"\x00" + bytes(rgb) * width
    raw = row * height
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return SIGNATURE + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def expected_device_raster(width, height, pixels, colour_type, depth, palette=None):
    """The BGRX bytes the host must produce: samples scaled to 8 bits, alpha dropped."""
    def scale(v):
        if depth == 16:
            return (v + 128) // 257
        if depth < 8:
            return v * 255 // ((1 << depth) - 1)
        return v

    out = bytearray()
    for y in range(height):
        for x in range(width):
            s = pixels[y][x]
            if colour_type == 3:
                r, g, b = palette[s[0]]
            elif colour_type in (0, 4):
                r = g = b = scale(s[0])
            else:
                r, g, b = scale(s[0]), scale(s[1]), scale(s[2])
            out += bytes((b, g, r, 255))
    return bytes(out)
