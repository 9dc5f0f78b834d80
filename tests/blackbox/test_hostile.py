"""Hostile and broken input against the real process: requests shaped to cost
memory or time, PNGs that inflate far beyond their size, malformed bytes,
ambiguous fingerprints, a state folder with things planted in it, and memory
that runs out. The host must answer, stay within its bounds and lose nothing.

Memory bounds (native build, peak resident memory of the host process): a
request costs at most FIXED + 4 x its body, and a submit at most FIXED + its
device raster + 4 x its body. FIXED is the peak of a host that answered one
`hello`, plus 8 MiB for the code and library state a submit touches that a
`hello` does not (PNG and zlib decoders, SHA-256, the ledger). 4 x the body:
the body itself, the tokenizer's buffer for its longest string (which grows
by doubling) and the kept copy of that string."""

import hashlib
import json
import os
import stat
import struct
import subprocess
import time
import unittest
import zlib

import pngs
from host import TARGET, Host, frame, limits, request, submit_payload

NATIVE = TARGET == "native"
MB = 1 << 20


def streamed_png(width, height, colour_type, depth, interlace=False, extra_chunks=()):
    """A uniform PNG of any size, compressed row by row so that building it
    never holds the raw image."""
    bits = pngs.channels_of(colour_type) * depth
    comp = zlib.compressobj(9)
    idat = []

    def rows(w, h):
        line = b"\x00" + bytes([0x40]) * ((w * bits + 7) // 8)
        for _ in range(h):
            idat.append(comp.compress(line))

    if interlace:
        for x0, y0, dx, dy in pngs.ADAM7:
            w, h = len(range(x0, width, dx)), len(range(y0, height, dy))
            if w and h:
                rows(w, h)
    else:
        rows(width, height)
    idat.append(comp.flush())
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 1 if interlace else 0)
    out = pngs.SIGNATURE + pngs.chunk(b"IHDR", ihdr)
    for kind, data in extra_chunks:
        out += pngs.chunk(kind, data)
    return out + pngs.chunk(b"IDAT", b"".join(idat)) + pngs.chunk(b"IEND", b"")


def deflate_bomb(size):
    """zlib data that inflates to `size` bytes, built without holding them."""
    comp = zlib.compressobj(9)
    block = bytes(MB)
    parts = [comp.compress(block) for _ in range(size // MB)]
    return b"".join(parts) + comp.flush()


def legacy_fingerprint(png, printer, media, dpi, copies):
    """The fingerprint layout of records written before fields had lengths."""
    return hashlib.sha256(png + printer.encode() + (media or "").encode() + struct.pack("<IH", dpi, copies)).hexdigest()


class BoundedMemoryTest(unittest.TestCase):
    """A fresh host per test, and the memory bound of the module's docstring."""

    @classmethod
    def setUpClass(cls):
        host = Host()
        try:
            host.ask(request("hello"))
            cls.base = host.peak_rss
        finally:
            host.close()

    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def assert_within(self, body_bytes, extra=0):
        if NATIVE:
            if not self.host.peak_rss or not self.base:
                self.skipTest("/proc does not tell this process's peak memory here")
            bound = self.base + 8 * MB + extra + 4 * body_bytes
            self.assertLessEqual(self.host.peak_rss, bound,
                                 "peak %d MB over the bound %d MB" % (self.host.peak_rss >> 20, bound >> 20))


class HostileRequestTest(BoundedMemoryTest):

    def test_shapes_that_used_to_cost_memory_or_time(self):
        long_key = "k" * MB
        cases = {
            # A long member name over an object with many repeated names.
            "repeats under a long key": '{"protocol":1,"request_id":"r","type":"hello","%s":{%s}}'
                                        % (long_key, ",".join(['"a":1'] * 3000)),
            # A long member name over very many containers.
            "containers under a long key": '{"protocol":1,"request_id":"r","type":"hello","%s":[%s]}'
                                           % ("k" * (4 * MB), ",".join(["{}"] * 200000)),
            # Deep and wide inside a member the host ignores.
            "nesting and width": '{"protocol":1,"request_id":"r","type":"hello","x":%s%s%s}'
                                 % ("[" * 120, ",".join(["[]"] * 500000), "]" * 120),
            "long strings inside the payload": '{"protocol":1,"request_id":"r","type":"hello","payload":{"%s":"%s"}}'
                                               % ("p" * (3 * MB), "v" * (3 * MB)),
        }
        # Number literals of absurd length are refused before the tokenizer
        # converts them (an 8 MiB integer used to cost 84 MB).
        most = limits()["max_request_bytes"]
        refused = {
            "an integer as long as a request": '{"protocol":1,"request_id":"r","type":"hello","x":%s}' % ("7" * (most - 64)),
            "a fraction as long as a request": '{"protocol":1,"request_id":"r","type":"hello","x":0.%s}'
                                               % ("7" * (most - 64)),
        }
        for name, body in list(cases.items()) + list(refused.items()):
            with self.subTest(name):
                data = body.encode()
                self.assertLessEqual(len(data), most)
                reply = self.host.ask(data, timeout=120)[0]
                if name in refused:
                    self.assertEqual(reply["error"]["code"], "BAD_REQUEST", reply)
                else:
                    self.assertTrue(reply["ok"], reply)
                    self.assertEqual(reply["result"]["protocol"], 1)
                self.assert_within(len(data))

    def test_a_nul_byte_is_never_json(self):
        hello = b'{"protocol":1,"request_id":"a","type":"hello"}'
        for body in (hello + b"\x00garbage", hello + b"\x00", b'{"protocol":1,"request_id":"a\x00","type":"hello"}'):
            with self.subTest(body=body):
                reply = self.host.ask(body)[0]
                self.assertEqual((reply["request_id"], reply["error"]["code"]), ("", "BAD_REQUEST"))

    def test_repeated_names_inside_ignored_members_are_not_the_requests(self):
        png = pngs.rgba8(40, 20)
        plain = submit_payload("plain-1", png)
        odd = dict(submit_payload("odd-1", png))
        body = json.dumps({"protocol": 1, "request_id": "r", "type": "submit", "payload": odd})
        # An ignored member whose name looks like a path, holding a repeated key.
        body = body[:-2] + ',"payload/payload":{"x":1,"x":2}}}'
        first, second = self.host.ask(request("submit", plain), body.encode())
        self.assertEqual(first["error"]["code"], second["error"]["code"])
        self.assertFalse(second["error"]["message"].startswith("The print job does not match protocol"), second)
        # A known member given twice is still refused.
        twice = json.dumps({"protocol": 1, "request_id": "r", "type": "submit", "payload": plain})
        twice = twice[:-2] + ',"intent_id":"other"}}'
        self.assertEqual(self.host.ask(twice.encode())[0]["error"]["message"],
                         "The print job does not match protocol 1: payload names intent_id twice.")


class HostilePngTest(BoundedMemoryTest):
    def submit(self, intent, png, **kw):
        body = request("submit", submit_payload(intent, png, **kw))
        reply = self.host.ask(body, timeout=300)[0]
        return reply, len(body)

    def test_compressed_ancillary_chunks_are_never_inflated(self):
        bomb = deflate_bomb(1000 * MB)
        self.assertLess(len(bomb), 1200 * 1024)
        for kind, data in ((b"zTXt", b"Comment\x00\x00" + bomb), (b"iTXt", b"Comment\x00\x01\x00\x00\x00" + bomb),
                           (b"iCCP", b"profile\x00\x00" + bomb)):
            with self.subTest(kind=kind):
                png = streamed_png(40, 20, 6, 8, extra_chunks=[(kind, data)] * 4)
                reply, body = self.submit("bomb-" + kind.decode(), png)
                # Accepted as a label: what happens next is the queue's answer.
                self.assertEqual(reply["error"]["code"], "PRINTER_UNAVAILABLE", reply)
                self.assert_within(body)

    def test_large_images_cost_their_raster_and_no_more(self):
        side = limits()["raster_max_px"]
        cases = [("16-bit interlaced RGBA", streamed_png(side, 6710, 6, 16, interlace=True)),
                 ("8-bit RGB", streamed_png(side, side, 2, 8))]
        for name, png in cases:
            with self.subTest(name):
                width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
                reply, body = self.submit("big-%d" % height, png)
                self.assertEqual(reply["error"]["code"], "PRINTER_UNAVAILABLE", reply)
                self.assert_within(body, extra=width * height * 4)

    def test_both_builds_take_the_same_decisions(self):
        good = streamed_png(40, 20, 0, 8)
        ihdr, rest = good[:33], good[33:]
        raw = (b"\x00" + bytes([0x40]) * 40) * 20
        no_trailer = ihdr + pngs.chunk(b"IDAT", zlib.compress(raw)[:-4]) + pngs.chunk(b"IEND", b"")
        many_text = ihdr + b"".join(pngs.chunk(b"tEXt", b"k\x00v") for _ in range(300000)) + rest
        # Four palette entries, pixels naming entries 4 to 255.
        past_palette = pngs.encode(16, 16, [[(4 + (x + 16 * y) % 252,) for x in range(16)] for y in range(16)], 3, 8,
                                   palette=[(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255)])
        cases = [("no Adler-32 trailer", no_trailer, "The raster payload is not a valid PNG image."),
                 ("palette indices past the palette", past_palette, "The raster payload is not a valid PNG image."),
                 ("300,000 text chunks", many_text, None)]
        for name, png, message in cases:
            with self.subTest(name):
                self.assertLessEqual(len(png), limits()["max_png_bytes"])
                reply, _ = self.submit("same-%d" % len(png), png)
                if message:
                    self.assertEqual(reply["error"]["message"], message)
                else:
                    self.assertEqual(reply["error"]["code"], "PRINTER_UNAVAILABLE", reply)


class FingerprintTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def test_printer_and_media_cannot_trade_bytes(self):
        png = pngs.rgba8(40, 20)
        first, second = self.host.ask(
            request("submit", submit_payload("trade-1", png, printer="Label_PDF_2")),
            request("submit", submit_payload("trade-1", png, printer="Label_PDF", media="_2")))
        self.assertNotEqual(first["error"]["code"] if not first["ok"] else "", "INTENT_CONFLICT")
        self.assertEqual(second["error"]["code"], "INTENT_CONFLICT")

    def test_records_of_the_older_layout_are_still_recognised(self):
        png = pngs.rgba8(40, 20)

        def record(intent, printer, fingerprint):
            return {"intent_id": intent, "payload_sha256": fingerprint, "state": "SUBMITTED", "printer": printer,
                    "os_job_id": "7", "created_at_ms": int(time.time() * 1000),
                    "updated_at_ms": int(time.time() * 1000), "error_code": "", "error_message": ""}

        jobs = {"old-1": record("old-1", "Label_PDF", legacy_fingerprint(png, "Label_PDF", None, 300, 1)),
                "old-2": record("old-2", "Label_PDF_2", legacy_fingerprint(png, "Label_PDF_2", None, 300, 1))}
        self.host.write_ledger_bytes(json.dumps({"schema": 1, "updated_at_ms": 1, "jobs": jobs}, indent=2).encode())
        same, traded, other = self.host.ask(
            request("submit", submit_payload("old-1", png, printer="Label_PDF")),
            request("submit", submit_payload("old-2", png, printer="Label_PDF", media="_2")),
            request("submit", submit_payload("old-1", png, printer="Label_PDF", copies=2)))
        self.assertEqual(same["result"], {"duplicate": True, "intent_id": "old-1", "os_job_id": "7",
                                          "printer": "Label_PDF", "state": "SUBMITTED"})
        self.assertEqual(traded["error"]["code"], "INTENT_CONFLICT")
        self.assertEqual(other["error"]["code"], "INTENT_CONFLICT")


class StateFolderTest(unittest.TestCase):
    """Things planted in the state folder by another program."""

    def setUp(self):
        self.host = Host()
        os.makedirs(self.host.folder, exist_ok=True)

    def tearDown(self):
        self.host.close()

    def test_a_ledger_with_bytes_after_a_nul_is_corrupt(self):
        valid = json.dumps({"schema": 1, "updated_at_ms": 1, "jobs": {}}).encode()
        self.host.write_ledger_bytes(valid + b"\x00garbage")
        raw, err, status = self.host.run(frame(request("hello")))
        self.assertEqual((raw, err, status), (b"", b"tavelin-print-host: STATE_CORRUPT\n", 1))
        self.assertEqual(open(self.host.ledger_path, "rb").read(), valid + b"\x00garbage")

    def test_unknown_members_of_a_record_may_hold_anything(self):
        rec = {"intent_id": "a", "payload_sha256": "b" * 64, "state": "FAILED", "printer": "p", "os_job_id": "",
               "created_at_ms": int(time.time() * 1000), "updated_at_ms": int(time.time() * 1000),
               "error_code": "", "error_message": ""}
        text = json.dumps({"schema": 1, "updated_at_ms": 1, "jobs": {"a": rec}})
        text = text.replace('"error_message": ""', '"error_message": "", "jobs/a": {"x": 1, "x": 2}')
        self.host.write_ledger_bytes(text.encode())
        reply = self.host.ask(request("get_job", {"intent_id": "a"}))[0]
        self.assertEqual(reply["result"]["state"], "FAILED")

    @unittest.skipUnless(NATIVE, "POSIX special files")
    def test_a_ledger_that_is_not_a_regular_file_is_refused_at_once(self):
        for name, plant in (("fifo", lambda p: os.mkfifo(p)), ("zero", lambda p: os.symlink("/dev/zero", p)),
                            ("folder", lambda p: os.mkdir(p))):
            with self.subTest(name):
                self.host.reset_state()
                os.makedirs(self.host.folder)
                plant(self.host.ledger_path)
                raw, err, status = self.host.run(frame(request("hello")), timeout=30)
                self.assertEqual((raw, err, status), (b"", b"tavelin-print-host: STATE_UNAVAILABLE\n", 1))

    def assert_start_up_within(self, size):
        """Native: the host's peak is within a fixed part and twice the ledger's `size`."""
        if not NATIVE:
            return
        host = Host()
        try:
            host.ask(request("hello"))
            bound = host.peak_rss + 8 * MB + 2 * size
        finally:
            host.close()
        self.assertLessEqual(self.host.peak_rss, bound, "start-up peak %d MB over %d MB for a %d MB ledger"
                             % (self.host.peak_rss >> 20, bound >> 20, size >> 20))

    def write_ledger_of(self, count, message_bytes, path=None):
        """A valid ledger of `count` FAILED records, streamed to disk; its size."""
        now = int(time.time() * 1000)
        with open(path or self.host.ledger_path, "w") as f:
            f.write('{\n  "schema": 1,\n  "updated_at_ms": %d,\n  "jobs": {' % now)
            for i in range(count):
                f.write('%s\n    "r%07d": {"intent_id": "r%07d", "payload_sha256": "%s", "state": "FAILED", '
                        '"printer": "Label_PDF", "os_job_id": "", "created_at_ms": %d, "updated_at_ms": %d, '
                        '"error_code": "PRINTER_UNAVAILABLE", "error_message": "%s"}'
                        % ("," if i else "", i, i, "a" * 64, now, now, "m" * message_bytes))
            f.write("\n  }\n}")
            return f.tell()

    def test_ledger_bounds_at_start_up(self):
        # The largest ledger a run can leave: every record kept, in memory
        # proportional to the file (native: peak within FIXED + 2 x the file).
        size = self.write_ledger_of(8000, 1024)
        reply = self.host.ask(request("get_job", {"intent_id": "r0007999"}), timeout=120)[0]
        self.assertEqual(reply["result"]["state"], "FAILED")
        self.assert_start_up_within(size)
        # A text longer than this host ever writes: not a ledger of ours.
        self.write_ledger_of(1, 1025)
        raw, err, status = self.host.run(frame(request("hello")), timeout=60)
        self.assertEqual((raw, err, status), (b"", b"tavelin-print-host: STATE_CORRUPT\n", 1))

    def test_a_ledger_of_unknown_member_names_costs_what_its_file_does(self):
        # 50 MiB of short member names none of ours: each is kept only as
        # far as a repeat must be refused (it used to cost 7 times the file).
        with open(self.host.ledger_path, "w") as f:
            f.write('{"schema": 1, "updated_at_ms": 1, ')
            i = 0
            while f.tell() < 50 * MB:
                f.write('"%x":0,' % i)
                i += 1
            f.write('"jobs": {}}')
            size = f.tell()
        reply = self.host.ask(request("get_job", {"intent_id": "none"}), timeout=120)[0]
        self.assertEqual(reply["error"]["code"], "JOB_NOT_FOUND")
        self.assert_start_up_within(size)

    @unittest.skipUnless(NATIVE, "an address-space limit on the native process")
    def test_a_huge_valid_ledger_is_a_start_up_error_not_an_abort(self):
        # 250 MiB of small valid records used to take 2 GB and abort.
        size = self.write_ledger_of(826953, 0)
        self.assertGreater(size, 240 * MB)
        running = self.host.start_limited(300 * MB)
        status, err = running.finish(60)
        self.assertEqual((status, err), (1, b"tavelin-print-host: STATE_CORRUPT\n"))

    @unittest.skipUnless(NATIVE, "POSIX special files")
    def test_a_ledger_larger_than_any_valid_one_is_corrupt(self):
        with open(self.host.ledger_path, "wb") as f:
            f.truncate(257 * MB)  # sparse: costs no disk
        raw, err, status = self.host.run(frame(request("hello")), timeout=30)
        self.assertEqual((raw, err, status), (b"", b"tavelin-print-host: STATE_CORRUPT\n", 1))

    @unittest.skipUnless(NATIVE, "POSIX links")
    def test_a_planted_temporary_link_is_replaced_not_followed(self):
        victim = os.path.join(self.host.scratch, "victim")
        with open(victim, "wb") as f:
            f.write(b"precious")
        # Links where the host writes its temporary files, planted before it starts.
        script = ('ln -s "$VICTIM" "$FOLDER/.ledger.json.tmp"; ln -s "$VICTIM" "$FOLDER/.bridge-status.json.tmp"; '
                  'exec "$@"')
        env = dict(self.host.env, VICTIM=victim, FOLDER=self.host.folder)
        body = frame(request("submit", submit_payload("link-1", pngs.rgba8(40, 20))))
        p = subprocess.run(["sh", "-c", script, "sh"] + self.host.command, input=body, env=env,
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(open(victim, "rb").read(), b"precious")
        self.assertEqual(self.host.read_ledger()["jobs"]["link-1"]["state"], "FAILED")
        self.assertTrue(stat.S_ISREG(os.lstat(self.host.ledger_path).st_mode))


@unittest.skipUnless(NATIVE, "an address-space limit on the native process")
class OutOfMemoryTest(unittest.TestCase):
    def test_a_raster_that_cannot_be_had_is_answered_and_recorded(self):
        host = Host()
        try:
            side = limits()["raster_max_px"]
            png = streamed_png(side, side, 2, 8)
            replies = host.ask(request("submit", submit_payload("oom-1", png)),
                               request("hello", request_id="after"),
                               request("get_job", {"intent_id": "oom-1"}),
                               address_space_limit=350 * MB, timeout=120)
            submit, hello, job = replies
            self.assertEqual(submit["error"], {
                "code": "PAYLOAD_TOO_LARGE",
                "message": "The request needs more memory than the print helper can get."})
            self.assertTrue(hello["ok"])
            self.assertEqual((job["result"]["state"], job["result"]["error_code"]), ("FAILED", "PAYLOAD_TOO_LARGE"))
        finally:
            host.close()


if __name__ == "__main__":
    unittest.main()
