"""Printer descriptions and multi-page documents, end to end into the CUPS PDF
queues (through Wine's spooler in the Windows build). The printed pages are
read back with poppler-utils: the embedded images must be the submitted
pixels, unchanged, at the resolution the description reported."""

import base64
import glob
import os
import struct
import subprocess
import tempfile
import unittest
import uuid
import zlib

from host import PDF_DIR, TARGET, Host, RunningHost, frame, limits, request
from test_printing import assert_nothing_printed, pdf_pages, printed_once, wait_for_pdfs

WINDOWS = TARGET == "windows"
QUEUE = "Label_PDF"
MB = 1 << 20


def pattern_rows(width, height, seed):
    """RGB rows that differ from row to row and column to column, so a page
    moved, flipped, resampled or swapped with another does not compare equal."""
    base = bytes(((x * seed) & 255) if x % 3 == 0 else ((x * 7 + seed) & 255) for x in range(3 * width))
    return [base[(3 * y) % len(base):] + base[:(3 * y) % len(base)] for y in range(height)]


def rgb_png(rows, width, height, level=6):
    raw = b"".join(b"\x00" + r for r in rows)
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, level)) + chunk(b"IEND", b"")


def raster(png, width, height):
    return {"format": "png", "base64": base64.b64encode(png).decode(), "width_px": width, "height_px": height}


def document_payload(intent, pages, printer=QUEUE, copies=1, dpi=300):
    return {"intent_id": intent, "printer": printer, "title": intent, "copies": copies, "media": None, "dpi": dpi,
            "pages": pages}


def printed_images(path):
    """Every image of a printed PDF, in page order: (width, height, x ppi, RGB bytes)."""
    listing = subprocess.run(["pdfimages", "-list", path], capture_output=True, text=True, check=True).stdout
    ppis = [int(line.split()[12]) for line in listing.splitlines()[2:]]
    prefix = tempfile.mktemp()
    subprocess.run(["pdfimages", path, prefix], check=True)  # PPM: the samples as they are stored
    images = []
    for i, name in enumerate(sorted(glob.glob(prefix + "-*"))):
        data = open(name, "rb").read()
        os.remove(name)
        magic, dims, maxval, pixels = data.split(b"\n", 3)
        w, h = map(int, dims.split())
        images.append((w, h, ppis[i], pixels))
    return images


class DocumentTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()
        self.tag = uuid.uuid4().hex[:8]

    def tearDown(self):
        self.host.close()

    def test_a_page_of_the_described_printable_size_prints_one_to_one(self):
        described, unknown = self.host.ask(request("describe_printer", {"printer": QUEUE}),
                                           request("describe_printer", {"printer": "No_Such_Queue"}))
        self.assertEqual(unknown["error"]["code"], "PRINTER_UNAVAILABLE")
        d = described["result"]
        self.assertEqual((d["name"], d["state"], d["accepting_jobs"]), (QUEUE, "idle", True))
        self.assertEqual((d["dpi_x"], d["dpi_y"]), (300, 300))  # the queue's PPD resolution
        # A4, the queue's default; hundredths of a millimetre and device pixels agree.
        self.assertEqual(d["media"]["name"], "A4" if WINDOWS else "iso_a4_210x297mm")
        for axis, dpi in (("width", d["dpi_x"]), ("height", d["dpi_y"])):
            self.assertLessEqual(abs(d["media"][axis + "_hmm"] - (21000 if axis == "width" else 29700)), 20)
            self.assertLessEqual(abs(d["media"][axis + "_px"] - d["media"][axis + "_hmm"] * dpi / 2540), 1)
        area = d["printable_area"]
        width, height = area["width_px"], area["height_px"]

        intent = "exact-" + self.tag
        rows = pattern_rows(width, height, 11)
        reply = self.host.ask(request("submit", {
            "intent_id": intent, "printer": QUEUE, "title": intent, "copies": 1, "media": None, "dpi": d["dpi_x"],
            "payload": raster(rgb_png(rows, width, height), width, height)}), timeout=180)[0]
        self.assertTrue(reply["ok"], reply)
        files = wait_for_pdfs(intent, 1, timeout=120)
        self.assertEqual(len(files), 1)
        # The printed page is the described sheet, and the image is the PNG's
        # pixels at the device's resolution: nothing resampled.
        info = subprocess.run(["pdfinfo", files[0]], capture_output=True, text=True, check=True).stdout
        size = next(l for l in info.splitlines() if l.startswith("Page size:")).split()
        self.assertLessEqual(abs(float(size[2]) - d["media"]["width_hmm"] * 72 / 2540), 1)
        self.assertLessEqual(abs(float(size[4]) - d["media"]["height_hmm"] * 72 / 2540), 1)
        [(w, h, ppi, pixels)] = printed_images(files[0])
        self.assertEqual((w, h, ppi), (width, height, d["dpi_x"]))
        self.assertTrue(pixels == b"".join(rows), "the printed pixels differ from the PNG's")

    def test_pages_print_as_one_job_in_order_once(self):
        intent = "doc-" + self.tag
        sizes = [(600, 300, 3), (300, 600, 5), (400, 400, 9)]
        rows = [pattern_rows(w, h, seed) for w, h, seed in sizes]
        pages = [raster(rgb_png(r, w, h), w, h) for r, (w, h, _) in zip(rows, sizes)]
        swapped = [pages[1], pages[0], pages[2]]
        first, again, conflict, job = self.host.ask(
            request("submit_document", document_payload(intent, pages, copies=2)),
            request("submit_document", document_payload(intent, pages, copies=2)),
            request("submit_document", document_payload(intent, swapped, copies=2)),
            request("get_job", {"intent_id": intent}), timeout=120)
        self.assertTrue(first["ok"], first)
        self.assertEqual((first["result"]["state"], first["result"]["duplicate"]), ("SUBMITTED", False))
        self.assertEqual(again["result"], dict(first["result"], duplicate=True))
        self.assertEqual(conflict["error"]["code"], "INTENT_CONFLICT")
        self.assertEqual(job["result"]["os_job_id"], first["result"]["os_job_id"])
        files = wait_for_pdfs(intent, 1, timeout=60)
        self.assertEqual(len(files), 1)
        self.assertEqual(pdf_pages(files[0]), 6)  # two collated copies of three pages
        images = printed_images(files[0])
        expected = [(w, h, 300, b"".join(r)) for r, (w, h, _) in zip(rows, sizes)] * 2
        self.assertEqual([i[:3] for i in images], [e[:3] for e in expected])
        for n, (got, want) in enumerate(zip(images, expected)):
            self.assertTrue(got[3] == want[3], "page %d differs from what was sent" % (n + 1))
        printed_once(self, intent)

    def test_every_page_is_checked_before_anything_is_recorded(self):
        good = raster(rgb_png(pattern_rows(40, 20, 3), 40, 20), 40, 20)
        bad_size = dict(good, width_px=41)
        short = limits()["raster_min_px"]
        too_wide = raster(rgb_png(pattern_rows(4000, short, 3), 4000, short), 4000, short)
        most = limits()["max_document_pages"]
        pages_message = "A document has 1 to %d pages." % most
        cases = [
            ("no pages", [], "BAD_REQUEST", pages_message),
            ("one page too many", [good] * (most + 1), "BAD_REQUEST", pages_message),
            ("declared size", [good, bad_size], "BAD_REQUEST", "Page 2: Declared raster dimensions do not match the PNG."),
            ("not base64", [good, good, dict(good, base64="@@")], "BAD_REQUEST",
             "Page 3: The raster payload is not valid base64."),
            ("wider than the page", [good, too_wide], "MEDIA_MISMATCH", None),
        ]
        replies = self.host.ask(*[request("submit_document", document_payload("chk-%d-%s" % (i, self.tag), pages))
                                  for i, (_, pages, _, _) in enumerate(cases)], timeout=120)
        ledger = self.host.read_ledger()["jobs"]
        for i, ((name, _, code, message), reply) in enumerate(zip(cases, replies)):
            with self.subTest(name):
                self.assertEqual(reply["error"]["code"], code, reply)
                if message:
                    self.assertEqual(reply["error"]["message"], message)
                    self.assertNotIn("chk-%d-%s" % (i, self.tag), ledger)
                else:
                    self.assertTrue(reply["error"]["message"].startswith("Page 2: "), reply)
                    self.assertEqual(ledger["chk-%d-%s" % (i, self.tag)]["state"], "FAILED")
        assert_nothing_printed(self, lambda n: n.startswith("chk-") and n.endswith("-" + self.tag),
                               "a refused document printed")
        self.assertEqual(glob.glob(os.path.join(PDF_DIR, "chk-*-%s*" % self.tag)), [], "a refused document printed")


@unittest.skipIf(WINDOWS, "the peak memory of the native process")
class DocumentMemoryTest(unittest.TestCase):
    def test_fifty_pages_cost_one_page_raster(self):
        """Peak resident memory within the peak of a host that answered one
        hello + 8 MiB + one page's device raster + 4 x the body: pages are
        decoded, written and freed one at a time. The page's cost is its
        raster (4 bytes a pixel); its PostScript goes out row by row."""
        host = Host()
        try:
            host.ask(request("hello"))
            base = host.peak_rss
        finally:
            host.close()
        width, height = 1200, 1800  # 4 x 6 in at 300 dpi
        pages = [raster(rgb_png(pattern_rows(width, height, 2 * n + 1), width, height, level=9), width, height)
                 for n in range(50)]
        intent = "mem-" + uuid.uuid4().hex[:8]
        body = request("submit_document", document_payload(intent, pages, printer="Label_PDF_2"))
        self.assertLess(len(body), limits()["max_request_bytes"])
        # Held on a stopped queue, then withdrawn: the host sends the whole
        # document either way.
        subprocess.run(["cupsdisable", "Label_PDF_2"], check=True)
        host = Host()
        try:
            running = RunningHost(host)
            running.send(frame(body))
            [reply] = running.wait_for_responses(1, timeout=300)
            peak = running.peak_rss()
            running.finish()
        finally:
            subprocess.run(["cancel", "-a", "Label_PDF_2"])
            subprocess.run(["cupsenable", "Label_PDF_2"], check=True)
            host.close()
        self.assertTrue(reply["ok"], reply)
        if not peak or not base:
            self.skipTest("/proc does not tell this process's peak memory here")
        bound = base + 8 * MB + width * height * 4 + 4 * len(body)
        self.assertLessEqual(peak, bound, "peak %d MB over the bound %d MB (base %d MB, body %d KB)"
                             % (peak >> 20, bound >> 20, base >> 20, len(body) >> 10))


if __name__ == "__main__":
    unittest.main()
