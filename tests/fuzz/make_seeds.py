#!/usr/bin/env python3
"""Writes the hostile seeds of the fuzz corpora: shapes that once cost memory
or time out of proportion to their size (long member names, deep nesting,
many repeated names, compressed chunks that inflate far beyond their size)
and bytes that once slipped through (a NUL after a document). Each seed is
small enough for the fuzzers' -max_len."""

import json
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
import pngs  # noqa: E402


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def bomb(size):
    return zlib.compress(bytes(size), 9)


def archive_record(intent, created, state="COMPLETED", fingerprint="a" * 64, printer="Label_PDF", job="7"):
    """One record of archive.log, as the host appends it."""
    packed = len(fingerprint) == 64 and all(c in "0123456789abcdef" for c in fingerprint)
    body = struct.pack("<BBQQ", 1, 1 if packed else 0, created, created + 5)
    for text in (intent.encode(), bytes.fromhex(fingerprint) if packed else fingerprint.encode(), state.encode(),
                 printer.encode(), job.encode(), b"", b""):
        body += struct.pack("<H", len(text)) + text
    return struct.pack("<II", len(body), zlib.crc32(body)) + body


def archive_commit(batch_start):
    body = struct.pack("<BQ", 2, batch_start)
    return struct.pack("<II", len(body), zlib.crc32(body)) + body


def intent_hash(intent):
    h = 0xcbf29ce484222325
    for b in intent.encode():
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def archive_seed(log, index=b""):
    return struct.pack("<I", len(log)) + log + index


def archive_seeds():
    """Logs of committed batches, with and without an index, a torn tail, a
    batch without its mark, and a bit flipped inside a committed record."""
    batch = b"".join(archive_record("order-%d" % i, 1000 + i) for i in range(5))
    log = batch + archive_commit(0)
    second = archive_record("order-1", 2000, "UNKNOWN") + archive_record("other", 3000, fingerprint="legacy")
    log2 = log + second + archive_commit(len(log))
    entries, at = [], 0
    for i in range(5):
        entries.append((intent_hash("order-%d" % i), at))
        at += len(archive_record("order-%d" % i, 1000 + i))
    entries.sort()
    header = b"TPHAIX01" + struct.pack("<QQ", len(log), len(entries))
    def entry(h, o):
        fields = struct.pack("<QQ", h, o)
        return fields + struct.pack("<II", zlib.crc32(fields), 0)
    index = header + struct.pack("<II", zlib.crc32(header), 0) + b"".join(entry(h, o) for h, o in entries)
    flipped = bytearray(log2)
    flipped[30] ^= 0x10
    return {
        "committed": archive_seed(log),
        "indexed": archive_seed(log2, index),
        "torn-tail": archive_seed(log2[:-7], index),
        "unmarked-batch": archive_seed(log + second),
        "flipped-bit": archive_seed(bytes(flipped)),
        "zeros": archive_seed(log + bytes(64)),
    }


def main():
    for name, data in archive_seeds().items():
        write("fuzz_archive", name, data)
    hello = b'{"protocol":1,"request_id":"r","type":"hello"'
    png = pngs.rgba8(16, 16)
    submit = {"intent_id": "i", "printer": "p", "title": "t", "copies": 1, "media": None, "dpi": 300,
              "payload": {"format": "png", "base64": __import__("base64").b64encode(png).decode(),
                          "width_px": 16, "height_px": 16}}
    requests = {
        "long-key-repeats": hello + b',"' + b"k" * 20000 + b'":{' + b",".join([b'"a":1'] * 2000) + b"}}",
        "long-key-containers": hello + b',"' + b"k" * 20000 + b'":[' + b",".join([b"{}"] * 10000) + b"]}",
        "deep": hello + b',"x":' + b"[" * 126 + b"]" * 126 + b"}",
        "nul-after": hello + b"}\x00garbage",
        "path-like-name": json.dumps({"protocol": 1, "request_id": "r", "type": "submit",
                                      "payload": dict(submit, **{"payload/payload": {"x": 1}})}).encode()[:-2]
        + b',"payload/payload":{"x":1,"x":2}}}',
    }
    raw = {"intent_id": "r-1", "printer": "Label_Raw", "title": "t", "copies": 2, "language": "zpl",
           "base64": __import__("base64").b64encode(b"^XA^FDlabel^FS^XZ").decode()}
    requests["submit-raw"] = json.dumps({"protocol": 1, "request_id": "r", "type": "submit_raw",
                                         "payload": raw}).encode()
    requests["submit-raw-array"] = json.dumps({"protocol": 1, "request_id": "r", "type": "submit_raw",
                                               "payload": list(raw.values())}).encode()
    for name, data in requests.items():
        write("fuzz_request", name, data)
    write("fuzz_submit", "repeats", json.dumps(submit).encode()[:-1] + b',' + b",".join([b'"z":1'] * 3000) + b"}")
    write("fuzz_submit", "array-form", json.dumps(list(submit.values())[:6] + [list(submit["payload"].values())]).encode())

    record = {"intent_id": "a", "payload_sha256": "b" * 64, "state": "SUBMITTED", "printer": "p", "os_job_id": "1",
              "created_at_ms": 1, "updated_at_ms": 1, "error_code": "", "error_message": ""}
    ledger = json.dumps({"schema": 1, "updated_at_ms": 1, "jobs": {"a": record}}).encode()
    write("fuzz_ledger", "nul-after", ledger + b"\x00{}")
    write("fuzz_ledger", "long-message", ledger.replace(b'"error_message": ""', b'"error_message": "' + b"m" * 1025 + b'"'))
    write("fuzz_ledger", "long-number", ledger.replace(b'"updated_at_ms": 1,', b'"updated_at_ms": ' + b"9" * 5000 + b","))
    write("fuzz_ledger", "unknown-member-repeats",
          ledger.replace(b'"error_message": ""', b'"error_message": "", "' + b"u" * 5000 + b'": {' +
                         b",".join([b'"a":1'] * 2000) + b"}"))

    ihdr, rest = png[:33], png[33:]
    for kind, prefix in ((b"zTXt", b"c\x00\x00"), (b"iTXt", b"c\x00\x01\x00\x00\x00"), (b"iCCP", b"p\x00\x00")):
        write("fuzz_label_payload", "bomb-" + kind.decode(), ihdr + pngs.chunk(kind, prefix + bomb(50 << 20)) + rest)
    raw = (b"\x00" + bytes(64)) * 16
    no_trailer = ihdr + pngs.chunk(b"IDAT", zlib.compress(raw)[:-4]) + pngs.chunk(b"IEND", b"")
    write("fuzz_label_payload", "no-adler", no_trailer)
    write("fuzz_label_payload", "many-text", ihdr + b"".join(pngs.chunk(b"tEXt", b"k\x00v") for _ in range(2000)) + rest)
    # Pixels that name entries past a four-entry palette, plain and interlaced.
    for interlace in (False, True):
        write("fuzz_label_payload", "past-palette" + ("-interlaced" if interlace else ""),
              pngs.encode(16, 16, [[((x * 7 + y) % 16,) for x in range(16)] for y in range(16)], 3, 4, interlace,
                          palette=[(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255)]))
    write("fuzz_request", "long-number", hello + b',"x":' + b"7" * 5000 + b"}")
    wide = struct.pack(">IIBBBBB", 300, 200, 16, 6, 0, 0, 1)
    write("fuzz_label_payload", "wide-interlaced", pngs.SIGNATURE + pngs.chunk(b"IHDR", wide) +
          pngs.chunk(b"IDAT", zlib.compress(bytes(300 * 200 * 8 + 2000), 9)) + pngs.chunk(b"IEND", b""))


if __name__ == "__main__":
    main()
