"""Raw printer-language labels end to end: a fake network label printer (a TCP
listener on a loopback port that records every connection's bytes) behind a
CUPS raw queue, Label_Raw. Both builds: the Windows one sends a RAW spooler
document through Wine's spooler, the native one a raw CUPS job."""

import base64
import json
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import uuid

import pngs
from label_printers import FakeLabelPrinter, add_queue, make_raw_only_under_wine
from printer_graphics import READERS, Bitmap
from host import TARGET, WINEPREFIX, Host, frame, kill_between_saves, limits, request, scheduler_bound, settled_jobs

QUEUE = "Label_Raw"
HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_LABEL_PDF = os.path.join(HERE, "..", "browser", "make_label_pdf.py")
NATIVE = TARGET == "native"
SPOOL = "/var/spool/cups"


def label_pdf(path, prefix):
    """Three shipping labels (4 x 6 in, 4 x 6 in, 6 x 4 in), each with a
    Code 128 barcode of "<prefix>-<n>"."""
    subprocess.run(["/usr/bin/python3", MAKE_LABEL_PDF, path, prefix], check=True)
    return path


def client_rendered(pdf, language, dpi=203, width_mm=101.6, height_mm=152.4):
    """What the client library's printPdf sends for the target, and the
    bitmaps it rendered (each as wide as its rows' bytes)."""
    out = subprocess.run(["node", os.path.join(HERE, "client_raw_label.mjs"), pdf, language, str(dpi), str(width_mm),
                          str(height_mm)], check=True, capture_output=True, timeout=300)
    r = json.loads(out.stdout)
    assert r["language"] == language, r["language"]
    return base64.b64decode(r["data"]), [Bitmap((p["width"] + 7) // 8 * 8, p["height"], base64.b64decode(p["rows"]))
                                         for p in r["pages"]]


def barcodes(bitmap, scratch):
    path = os.path.join(scratch, "page-%s.pbm" % uuid.uuid4().hex)
    with open(path, "wb") as f:
        f.write(bitmap.pbm())
    out = subprocess.run(["zbarimg", "-q", "--raw", path], capture_output=True, text=True)
    return out.stdout.split()


def zpl(marker):
    return ("^XA^FO50,50^ADN,36,20^FD%s^FS^FO50,120^BY3^BCN,100,Y,N,N^FD>;1234567890^FS^XZ\n" % marker).encode()


def raw_payload(intent, data, printer=QUEUE, copies=1, language="zpl", title=None):
    return {"intent_id": intent, "printer": printer, "title": title or intent, "copies": copies,
            "language": language, "base64": base64.b64encode(data).decode()}


class RawLabelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.printer = FakeLabelPrinter()
        cls.printer.start()
        add_queue(QUEUE, "socket://127.0.0.1:%d" % cls.printer.port)
        if not NATIVE:
            make_raw_only_under_wine(QUEUE)

    @classmethod
    def tearDownClass(cls):
        cls.printer.server.close()

    def setUp(self):
        self.host = Host()
        self.tag = uuid.uuid4().hex[:10]

    def tearDown(self):
        self.host.close()

    def test_bytes_arrive_exactly_and_copies_in_one_job(self):
        one, three = zpl("one-" + self.tag), zpl("three-" + self.tag)
        first, second = self.host.ask(request("submit_raw", raw_payload("raw-one-" + self.tag, one)),
                                      request("submit_raw", raw_payload("raw-three-" + self.tag, three, copies=3)))
        self.assertEqual((first["result"]["state"], first["result"]["duplicate"]), ("SUBMITTED", False), first)
        self.assertTrue(second["ok"], second)
        self.assertEqual(self.printer.deliveries(one, "raw-one-" + self.tag), [one])
        self.assertEqual(self.printer.deliveries(three, "raw-three-" + self.tag), [three * 3])

    def test_queues_are_described_as_they_are(self):
        """A raw queue knows no resolution or label, and says so; a driven one
        describes its media; a driven socket queue whose every job would first
        wait on an SNMP look-up says so, with the device URI that avoids it."""
        port = self.printer.port
        rows = [  # queue, raw, resolution and media known, notice codes
            (QUEUE, True, False, ["RAW_QUEUE"]),
            ("Label_PDF", False, True, []),
        ]
        if NATIVE:
            add_queue("Label_Socket_Slow", "socket://127.0.0.1:%d" % port, "drv:///sample.drv/generic.ppd")
            add_queue("Label_Socket_Fast", "socket://127.0.0.1:%d/?snmp=false" % port, "drv:///sample.drv/generic.ppd")
            rows += [("Label_Socket_Slow", False, True, ["SNMP_LOOKUP_DELAY"]),
                     ("Label_Socket_Fast", False, True, [])]
        try:
            replies = self.host.ask(request("list_printers"),
                                    *[request("describe_printer", {"printer": row[0]}) for row in rows])
            listed = {p["name"]: p["raw"] for p in replies[0]["result"]["printers"]}
            for (queue, raw, known, codes), reply in zip(rows, replies[1:]):
                with self.subTest(queue):
                    d = reply["result"]
                    self.assertEqual((d["name"], d["raw"], listed[queue]), (queue, raw, raw))
                    self.assertEqual([n["code"] for n in d["notices"]], codes)
                    if known:
                        self.assertGreater(d["dpi_x"], 0)
                        self.assertGreater(d["media"]["width_px"], 0)
                        self.assertGreater(d["printable_area"]["height_hmm"], 0)
                    else:
                        self.assertEqual((d["dpi_x"], d["dpi_y"], d["media"], d["printable_area"]),
                                         (None, None, None, None))
            if NATIVE:
                slow = replies[3]["result"]["notices"][0]["message"]
                self.assertIn("lpadmin -p Label_Socket_Slow -v 'socket://127.0.0.1:%d/?snmp=false'" % port, slow)
        finally:
            if NATIVE:
                for queue in ("Label_Socket_Slow", "Label_Socket_Fast"):
                    subprocess.run(["lpadmin", "-x", queue], capture_output=True)

    def test_pdf_labels_the_client_renders_print_dot_for_dot_in_every_language(self):
        """printPdf's bytes for each printer language, through the host and the
        raw queue: one job and one connection an attempt, whose graphic reads
        back as the bitmaps the client rendered, every barcode readable. A
        repeat sends nothing; a changed label is INTENT_CONFLICT."""
        scratch = tempfile.mkdtemp()
        prefix = "RAW" + self.tag.upper()
        pdf = label_pdf(os.path.join(scratch, "labels.pdf"), prefix)
        changed = label_pdf(os.path.join(scratch, "changed.pdf"), prefix + "X")
        for language, read in READERS.items():
            with self.subTest(language):
                data, rendered = client_rendered(pdf, language)
                other, _ = client_rendered(changed, language)
                intent = "client-%s-%s" % (language, self.tag)
                first, repeat, conflict = self.host.ask(
                    request("submit_raw", raw_payload(intent, data, language=language)),
                    request("submit_raw", raw_payload(intent, data, language=language)),
                    request("submit_raw", raw_payload(intent, other, language=language)))
                self.assertEqual((first["result"]["state"], first["result"]["duplicate"]), ("SUBMITTED", False), first)
                self.assertTrue(repeat["result"]["duplicate"], repeat)
                self.assertEqual(conflict["error"]["code"], "INTENT_CONFLICT")
                self.assertEqual(len(settled_jobs(intent, queue=QUEUE, at_least=1)), 1)
                received = self.printer.matching(data)
                self.assertEqual(received, [data])
                pages = read(received[0])
                if language == "escpos":  # one long image: the pages one under the other
                    rendered = [Bitmap(rendered[0].width, sum(p.height for p in rendered),
                                       b"".join(p.rows for p in rendered))]
                self.assertEqual(pages, rendered)
                codes = sorted(code for page in pages for code in barcodes(page, scratch))
                self.assertEqual(codes, ["%s-%d" % (prefix, n) for n in (1, 2, 3)])
                self.assertEqual(self.printer.matching(other), [])

    def test_repeats_conflicts_and_refusals(self):
        data = zpl("repeat-" + self.tag)
        intent = "raw-repeat-" + self.tag
        png = pngs.rgba8(40, 20)
        replies = self.host.ask(
            request("submit_raw", raw_payload(intent, data)),
            request("submit_raw", raw_payload(intent, data, title="another title " + self.tag)),
            request("submit_raw", raw_payload(intent, data + b"^XA^XZ")),
            request("submit", {"intent_id": intent, "printer": QUEUE, "title": "png " + self.tag, "copies": 1,
                               "dpi": 203,
                               "payload": {"format": "png", "base64": base64.b64encode(png).decode(),
                                           "width_px": 40, "height_px": 20}}),
            request("submit_raw", raw_payload("raw-nowhere-" + self.tag, data, printer="No_Such_Queue")),
            request("get_job", {"intent_id": intent}))
        first, repeat, other, png_reply, nowhere, job = replies
        self.assertTrue(first["ok"], first)
        self.assertEqual(repeat["result"], dict(first["result"], duplicate=True))
        self.assertEqual(other["error"]["code"], "INTENT_CONFLICT")
        # The conflict names the attempt that first used the id, from its record.
        record = self.host.read_ledger()["jobs"][intent]
        self.assertEqual(other["error"]["earlier_attempt"],
                         {"printer": QUEUE, "created_at_ms": record["created_at_ms"], "state": "SUBMITTED"})
        self.assertEqual(png_reply["error"]["code"], "INTENT_CONFLICT")
        self.assertEqual(nowhere["error"]["code"], "PRINTER_UNAVAILABLE")
        self.assertEqual(self.host.read_ledger()["jobs"]["raw-nowhere-" + self.tag]["state"], "FAILED")
        self.assertEqual(job["result"]["os_job_id"], first["result"]["os_job_id"])
        # Every job of this test's, whatever its title: the first one only.
        mine = lambda name: self.tag in name
        self.assertEqual([j["name"] for j in settled_jobs(mine, queue=QUEUE, at_least=1)], [intent])
        self.assertEqual(self.printer.deliveries(data, mine), [data], "a repeat sends nothing")

    def test_killed_between_the_saves_is_unknown_and_sent_at_most_once(self):
        # The largest label, ten times over: long enough to catch the host
        # with the attempt recorded and the bytes on their way.
        for attempt in range(5):
            intent = "raw-kill-%s-%d" % (self.tag, attempt)
            marker = intent.encode()
            data = marker + b" " * (limits()["max_raw_bytes"] - len(marker) - 1) + b"\n"
            if not kill_between_saves(self.host, request("submit_raw", raw_payload(intent, data, copies=10))):
                continue
            job, repeat = self.host.ask(request("get_job", {"intent_id": intent}),
                                        request("submit_raw", raw_payload(intent, data, copies=10)))
            self.assertEqual((job["result"]["state"], job["result"]["error_code"]), ("UNKNOWN", "HOST_RESTARTED"))
            self.assertEqual(repeat["error"]["code"], "UNKNOWN_OUTCOME")
            # What reached the scheduler before the kill, and only that, is
            # sent: at most one job, and one connection for each that completed.
            jobs = settled_jobs(intent, queue=QUEUE)
            self.assertLessEqual(len(jobs), 1, jobs)
            self.assertEqual(len(self.printer.matching(marker)), sum(j["state"] == "completed" for j in jobs), jobs)
            return
        self.fail("never caught the host between its two saves")

    # Wine's spooler copies the CUPS queue's default options onto every job
    # whose document carries no job ticket, and reads no DEVMODE for it: no
    # Windows program under Wine can print one copy on such a queue. The
    # Windows build's own fix (a one-copy DEVMODE for every job) is for the
    # driver defaults of real Windows queues.
    @unittest.skipUnless(NATIVE, "Wine applies a CUPS queue's default copies itself")
    def test_a_queue_default_of_more_copies_prints_once(self):
        twice = "Label_Raw_Twice"
        add_queue(twice, "socket://127.0.0.1:%d" % self.printer.port)
        subprocess.run(["lpadmin", "-p", twice, "-o", "copies-default=2", "-o", "media-default=na_index-4x6_4x6in"],
                       check=True, capture_output=True)
        try:
            one, two = zpl("default-one-" + self.tag), zpl("default-two-" + self.tag)
            bodies = [request("submit_raw", raw_payload("dflt-1-" + self.tag, one, printer=twice)),
                      request("submit_raw", raw_payload("dflt-2-" + self.tag, two, printer=twice, copies=2))]
            if NATIVE:
                png = pngs.rgba8(40, 20)
                bodies.append(request("submit", {
                    "intent_id": "dflt-png-" + self.tag, "printer": twice, "title": "dflt-png-" + self.tag,
                    "copies": 1, "dpi": 203,
                    "payload": {"format": "png", "base64": base64.b64encode(png).decode(), "width_px": 40,
                                "height_px": 20}}))
            for reply in self.host.ask(*bodies):
                self.assertEqual(reply["result"]["state"], "SUBMITTED", reply)
            self.assertEqual(self.printer.deliveries(one, "dflt-1-" + self.tag, queue=twice), [one])
            self.assertEqual(self.printer.deliveries(two, "dflt-2-" + self.tag, queue=twice), [two * 2])
            if NATIVE:
                # The label's PostScript document, sent through the raw queue
                # as it is: once, not once per default copy.
                documents = self.printer.deliveries(b"%!PS-Adobe", "dflt-png-" + self.tag, queue=twice)
                self.assertEqual([d.count(b"%!PS-Adobe") for d in documents], [1])
        finally:
            subprocess.run(["lpadmin", "-x", twice], check=True)

    @unittest.skipUnless(NATIVE, "the native build's own exchanges with the CUPS scheduler")
    def test_a_frozen_scheduler_is_answered_within_the_bound(self):
        # One exchange, the cancel of a job left unfinished, and the host's own time.
        bound = scheduler_bound("kExchangeTimeoutSeconds") + scheduler_bound("kCancelAfterTimeoutSeconds") + 2
        cupsd = int(subprocess.check_output(["pidof", "cupsd"]).split()[0])
        os.kill(cupsd, signal.SIGSTOP)
        try:
            started = time.time()
            listing = self.host.ask(request("list_printers"), timeout=120)[0]
            took = time.time() - started
        finally:
            os.kill(cupsd, signal.SIGCONT)
        self.assertLess(took, bound)
        self.assertEqual(listing["error"]["code"], "PRINT_SYSTEM_UNAVAILABLE")
        self.assertIn("timed out", listing["error"]["message"])
        self.assertNotIn("Success", listing["error"]["message"])
        # Frozen while the document streams: the attempt's outcome is unknown,
        # it still names its job, and the host goes on serving.
        for attempt in range(5):
            intent = "raw-frozen-%s-%d" % (self.tag, attempt)
            data = intent.encode() + b" " * (limits()["max_raw_bytes"] - len(intent))
            running = self.host.start()
            seen = set(os.listdir(SPOOL))
            running.send(frame(request("submit_raw", raw_payload(intent, data, copies=10))))
            stopped = None
            deadline = time.time() + 30
            while time.time() < deadline and not running.output():
                # The scheduler spools a document under a temporary name while
                # it arrives (control files are c*).
                if any(not n.startswith("c") and n not in seen for n in os.listdir(SPOOL)):
                    os.kill(cupsd, signal.SIGSTOP)
                    stopped = time.time()
                    break
                time.sleep(0.001)
            try:
                reply = running.wait_for_responses(1, timeout=120)[0]
                took = time.time() - (stopped or time.time())
            finally:
                os.kill(cupsd, signal.SIGCONT)
            if not stopped or reply["ok"]:
                running.finish()
                self.assertTrue(reply["ok"], reply)
                continue  # the document was through before the scheduler stopped
            running.send(frame(request("get_job", {"intent_id": intent}, request_id="after")))
            job = running.wait_for_responses(2)[1]
            self.assertEqual(running.finish()[0], 0)
            # The job whose document never ended waits in the queue for more
            # until the scheduler gives up on it; take it out for the tests after.
            subprocess.run(["cancel", "%s-%s" % (QUEUE, job["result"]["os_job_id"])], capture_output=True)
            self.assertLess(took, bound)
            self.assertEqual(reply["error"]["code"], "UNKNOWN_OUTCOME", reply)
            self.assertIn("timed out", reply["error"]["message"])
            self.assertEqual(job["result"]["state"], "UNKNOWN")
            self.assertRegex(job["result"]["os_job_id"], r"^[1-9][0-9]*$")
            self.assertTrue(self.host.ask(request("hello"))[0]["ok"])
            return
        self.fail("never caught the scheduler while the document streamed")


if __name__ == "__main__":
    unittest.main()
