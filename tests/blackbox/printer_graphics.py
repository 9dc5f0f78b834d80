"""Reads the graphics out of a printer-language stream, as the printer would
print them, from each language's own reference: ZPL's ^GF in ASCII hex with
its compression, EPL2's GW, TSPL's BITMAP and ESC/POS's GS v 0. Each returns
the pages as Bitmaps: rows of ceil(width / 8) bytes, leftmost dot in the high
bit, 1 a dot. Anything this reader does not expect fails the test."""

import re


class Bitmap:
    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, bytes(rows)
        assert len(self.rows) == (width + 7) // 8 * height

    def __eq__(self, other):
        return (self.width, self.height, self.rows) == (other.width, other.height, other.rows)

    def __repr__(self):
        return "Bitmap(%dx%d, %d dots)" % (self.width, self.height, sum(bin(b).count("1") for b in self.rows))

    def pbm(self):
        """The bitmap as a binary PBM (P4), whose 1 bits are black too."""
        return b"P4\n%d %d\n" % (self.width, self.height) + self.rows


def flipped(data):
    """Languages in which a 0 bit prints a dot: every bit flipped."""
    return bytes(b ^ 0xFF for b in data)


def zpl_hex_rows(data, stride):
    """ZPL's ASCII-hex graphic data: G..Y repeat the next digit 1..19 times,
    g..z 20..400 times (counts add up), ',' fills the row with 0, '!' with F,
    ':' repeats the row above."""
    width = 2 * stride
    rows, row, count = [], "", 0
    for c in data:
        if "G" <= c <= "Y":
            count += ord(c) - ord("F")
        elif "g" <= c <= "z":
            count += 20 * (ord(c) - ord("f"))
        elif c in ",!":
            assert count == 0, "a repeat count before %r" % c
            rows.append(row.ljust(width, "0" if c == "," else "F"))
            row = ""
        elif c == ":":
            assert row == "" and rows, "':' must start a row below another"
            rows.append(rows[-1])
        else:
            assert c in "0123456789ABCDEF", "not ZPL graphic data: %r" % c
            row += c * (count or 1)
            count = 0
            assert len(row) <= width, "a row longer than the graphic"
            if len(row) == width:
                rows.append(row)
                row = ""
    assert row == "" and count == 0
    return bytes.fromhex("".join(rows))


def read_zpl(stream):
    text = stream.decode("ascii")
    pages = []
    for label in re.findall(r"\^XA(.*?)\^XZ", text, re.S):
        graphics = re.findall(r"\^FO0,0\^GFA,(\d+),(\d+),(\d+),([^\^]*)\^FS", label)
        assert len(graphics) == 1, label[:200]
        total, field, stride, data = graphics[0]
        total, stride = int(total), int(stride)
        assert int(field) == total and total % stride == 0
        rows = zpl_hex_rows(data, stride)
        assert len(rows) == total
        pages.append(Bitmap(stride * 8, total // stride, rows))
    assert re.sub(r"\^XA.*?\^XZ\s*", "", text, flags=re.S) == "", "something besides labels"
    return pages


def read_inverted_commands(stream, at, command, trailer):
    """Pages of commands `command` (a pattern whose groups are x, y, bytes a
    row and rows), each followed by its rows, in which a 0 bit prints a dot,
    and by `trailer`, from `at` to the end of the stream."""
    pages = []
    while at < len(stream):
        m = command.match(stream, at)
        assert m, stream[at:at + 40]
        x, y, stride, height = (int(v) for v in m.groups())
        assert (x, y) == (0, 0)
        start = m.end()
        data = stream[start:start + stride * height]
        assert len(data) == stride * height
        end = start + len(data)
        assert stream[end:end + len(trailer)] == trailer
        pages.append(Bitmap(stride * 8, height, flipped(data)))
        at = end + len(trailer)
    return pages


def read_epl(stream):
    """EPL2: N clears the buffer, GW x,y,bytes,rows then the rows, P1 prints."""
    return read_inverted_commands(stream, 0, re.compile(rb"\nN\nGW(\d+),(\d+),(\d+),(\d+),"), b"\nP1\n")


def read_tspl(stream):
    """TSPL: SIZE once; then CLS, BITMAP x,y,bytes,rows,mode then the rows, PRINT."""
    size = re.match(rb"SIZE ([0-9.]+) mm,([0-9.]+) mm\r\n", stream)
    assert size, stream[:40]
    return read_inverted_commands(stream, size.end(), re.compile(rb"CLS\r\nBITMAP (\d+),(\d+),(\d+),(\d+),0,"),
                                  b"\r\nPRINT 1\r\n")


def read_escpos(stream):
    """ESC @, then GS v 0 bands printed one under the other: one long image."""
    assert stream[:2] == b"\x1b@"
    at, stride, rows = 2, None, bytearray()
    while at < len(stream):
        assert stream[at:at + 4] == b"\x1dv0\x00", stream[at:at + 8]
        x = stream[at + 4] | stream[at + 5] << 8
        y = stream[at + 6] | stream[at + 7] << 8
        assert stride in (None, x) and y > 0
        stride = x
        rows += stream[at + 8:at + 8 + x * y]
        at += 8 + x * y
    assert at == len(stream)
    return [Bitmap(stride * 8, len(rows) // stride, rows)]


READERS = {"zpl": read_zpl, "epl": read_epl, "tspl": read_tspl, "escpos": read_escpos}
