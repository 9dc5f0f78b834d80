"""Carriers' PDF labels as shippers get them (a Letter or A4 sheet with the
label in one part, A6, 102 x 152 mm, near-4 x 6 and exact 4 x 6 pages, mixed
sizes, grey marks), printed with the client library's defaults to a 203-dpi
4 x 6 in PostScript label printer: the client renders them (its own code, in
Node.js), the host prints them through CUPS (Windows build: through Wine's
spooler) to a queue made from our PPD, whose socket backend sends the bytes
to a loopback listener; ghostscript renders what arrives at 203 dpi, as the
printer would print it, and zbarimg reads every code."""

import json
import os
import subprocess
import tempfile
import unittest
import uuid

from host import Host, request, settled_jobs
from label_printers import FakeLabelPrinter, add_capture_queue, decode_barcodes, linear_barcodes, render_postscript

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_PDFS = os.path.join(HERE, "..", "browser", "make_carrier_pdfs.py")
CAPTURE = "Label_4x6_203"
MARGINS = "Label_4x6_203_Margins"  # 1.4 mm of hardware margin on every side
DOT = 25.4 / 203  # mm


class CarrierPdfTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.printer = FakeLabelPrinter()
        cls.printer.start()
        add_capture_queue(CAPTURE, cls.printer.port)
        add_capture_queue(MARGINS, cls.printer.port, margin_pt=4)
        cls.scratch = tempfile.mkdtemp(prefix="tph-carrier-")
        cls.tag = "C" + uuid.uuid4().hex[:6].upper()
        subprocess.run(["/usr/bin/python3", MAKE_PDFS, cls.scratch, cls.tag], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.printer.server.close()

    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def print_with_defaults(self, name, queue):
        """printPdf(name.pdf) with the defaults: the placements, and the pages as
        the printer prints them."""
        described = self.host.ask(request("describe_printer", {"printer": queue}))[0]["result"]
        described_path = os.path.join(self.scratch, "described-%s.json" % queue)
        with open(described_path, "w") as f:
            json.dump(described, f)
        intent = "carrier-%s-%s-%s" % (self.tag, name, queue)
        out = subprocess.run(["node", os.path.join(HERE, "client_pdf_document.mjs"),
                              os.path.join(self.scratch, name + ".pdf"), described_path, queue, intent],
                             check=True, capture_output=True, timeout=300)
        rendered = json.loads(out.stdout)
        before = len(self.printer.connections)
        for message in rendered["messages"]:
            reply = self.host.ask(json.dumps(message).encode(), timeout=300)[0]
            self.assertTrue(reply["ok"], reply)
        settled_jobs(intent, queue=queue, at_least=1)
        received = self.printer.connections[before:]
        self.assertEqual(len(received), 1, "one job, one connection")
        placements = [p for part in rendered["parts"] for p in part["placements"]]
        return placements, render_postscript(received[0], self.scratch)

    def test_every_label_prints_at_full_size_and_every_code_reads_with_two_dot_modules(self):
        rows = [  # PDF, queue, the rule that places each page
            ("exact", CAPTURE, ["page"]),
            ("exact", MARGINS, ["ink"]),
            ("near", CAPTURE, ["ink"]),
            ("102x152", CAPTURE, ["ink"]),
            ("a6", CAPTURE, ["ink"]),
            ("letter", CAPTURE, ["region"]),
            ("a4", CAPTURE, ["region"]),
            ("mixed", CAPTURE, ["page", "region", "ink"]),
        ]
        for name, queue, rules in rows:
            with self.subTest(name, queue=queue):
                placements, pages = self.print_with_defaults(name, queue)
                self.assertEqual([p["rule"] for p in placements], rules)
                self.assertEqual([p["scale"] for p in placements], [1] * len(rules))
                self.assertEqual(len(pages), len(rules))
                for n, page in enumerate(pages, start=1):
                    code = "%s-%s-%d" % (self.tag, name, n)
                    self.assertEqual(decode_barcodes(page, self.scratch), ["CODE-128:" + code, "QR-Code:Q" + code],
                                     "page %d" % n)
                    [scanlines] = linear_barcodes(page)
                    # 2-dot modules at 203 dpi: every narrowest bar and space is 2 dots.
                    self.assertEqual(set(scanlines), {(2, 2)}, "page %d: narrowest (bar, space) per scanline" % n)

    def test_grey_marks_print_as_dots_and_black_stays_exact(self):
        placements, [page] = self.print_with_defaults("grey", CAPTURE)
        self.assertEqual([(p["rule"], p["scale"]) for p in placements], [("page", 1)])
        code = "%s-grey-1" % self.tag
        self.assertEqual(decode_barcodes(page, self.scratch), ["CODE-128:" + code, "QR-Code:Q" + code])
        [scanlines] = linear_barcodes(page)
        self.assertEqual(set(scanlines), {(2, 2)})
        stride = (page.width + 7) // 8

        def black_share(left_in, top_in, width_in, height_in):
            x0, y0 = round(left_in * 203), round(top_in * 203)
            x1, y1 = round((left_in + width_in) * 203), round((top_in + height_in) * 203)
            black = sum((page.rows[y * stride + (x >> 3)] >> (7 - (x & 7))) & 1
                        for y in range(y0, y1) for x in range(x0, x1))
            return black / ((x1 - x0) * (y1 - y0))

        # The 1.5 mm 50 % grey line, 0.7 in from the top (inside its edges),
        # and the 50 %-alpha box 2.7 in from the top.
        line = black_share(0.6, 0.7 - 0.02, 2.8, 0.04)
        box = black_share(0.55, 2.75, 0.9, 0.9)
        self.assertTrue(0.3 <= line <= 0.7, line)
        self.assertTrue(0.3 <= box <= 0.7, box)


if __name__ == "__main__":
    unittest.main()
