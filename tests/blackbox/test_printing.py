"""Printing end to end into the CUPS PDF queues, with the printed pages
measured by poppler-utils. Windows build: through Wine's spooler. Native
build: through CUPS itself."""

import base64
import glob
import json
import os
import subprocess
import tempfile
import time
import unittest
import uuid

import pngs
from host import (PDF_DIR, TARGET, Host, exchange_deadline, frame, kill_between_saves, request, scheduler_jobs,
                  settled_jobs)
from host import submit_payload as host_submit_payload

WINDOWS = TARGET == "windows"
QUEUE = "Label_PDF"
SYSTEM = "Windows" if WINDOWS else "CUPS"
URI = "winspool" if WINDOWS else "cups"


def submit_payload(intent, png, printer=QUEUE, **fields):
    return host_submit_payload(intent, png, printer=printer, **fields)


def pdfs_titled(title):
    # cups-pdf names each file after the document title (ours are [a-z0-9-]).
    return sorted(glob.glob(os.path.join(PDF_DIR, title + "*.pdf")))


def wait_for_pdfs(title, count, timeout=180):
    """The PDFs printed for the jobs named `title`, once the scheduler holds
    at least `count` such jobs and none of them is still to print: a
    completed cups-pdf job's file is written, so the list is final."""
    settled_jobs(title, at_least=count, timeout=timeout)
    return pdfs_titled(title)


def printed_once(test, title):
    """Asserts that the scheduler took exactly one job named `title` (on any
    queue) and that it printed exactly one PDF, once nothing named so is
    still to print. Asked after the host answered every request that might
    have printed it again: each job is in the scheduler before its answer."""
    jobs = settled_jobs(title, at_least=1)
    test.assertEqual([j["state"] for j in jobs], ["completed"], "a repeat printed again: %r" % jobs)
    test.assertEqual(len(pdfs_titled(title)), 1, "one job, one PDF")


def assert_nothing_printed(test, match, message):
    """No job whose name `match`es is in the scheduler, on any queue, nor any
    PDF of one. Asked after the host answered the refusals: a job it made
    would be in the scheduler by then (it is handed over before the answer)."""
    test.assertEqual(scheduler_jobs(match), [], message)


def pdf_pages(path):
    out = subprocess.run(["pdfinfo", path], capture_output=True, text=True, check=True).stdout
    return int(next(l.split()[1] for l in out.splitlines() if l.startswith("Pages:")))


def ink_box(path, page=1, dpi=300):
    """The bounding box of non-white pixels of a page rendered at `dpi`, and the page size."""
    prefix = tempfile.mktemp()
    subprocess.run(["pdftoppm", "-r", str(dpi), "-gray", "-f", str(page), "-l", str(page), path, prefix], check=True)
    image = glob.glob(prefix + "*.pgm")[0]
    data = open(image, "rb").read()
    os.remove(image)
    header, _, rest = data.partition(b"\n")
    dims, _, rest = rest.partition(b"\n")
    _, _, pixels = rest.partition(b"\n")
    w, h = map(int, dims.split())
    x0, y0, x1, y1 = w, h, -1, -1
    for y in range(h):
        row = pixels[y * w:(y + 1) * w]
        if row.count(255) == w:
            continue
        inked = [i for i, v in enumerate(row) if v < 250]
        if inked:
            x0, x1, y0, y1 = min(x0, inked[0]), max(x1, inked[-1]), min(y0, y), max(y1, y)
    return (x0, y0, x1 + 1, y1 + 1), (w, h)


def label_png(width, height):
    # Dark everywhere, so the whole label shows as ink.
    return pngs.rgba8(width, height, lambda x, y: ((x * 3) % 120, (y * 5) % 120, 60, 255))


class PrintingTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()
        self.tag = uuid.uuid4().hex[:8]

    def tearDown(self):
        self.host.close()

    def test_list_printers_shows_the_cups_queues(self):
        result = self.host.ask(request("list_printers"))[0]["result"]
        names = [p["name"] for p in result["printers"]]
        self.assertIn("Label_PDF", names)
        self.assertIn("Label_PDF_2", names)
        self.assertEqual(names, sorted(names, key=lambda n: n.encode()))
        self.assertEqual(result["default_printer"], "Label_PDF")
        for p in result["printers"]:
            self.assertEqual(p["uri"], URI)
            self.assertEqual(p["enabled"], p["state"] in ("idle", "printing"))

    def test_disabled_and_rejecting_queues_are_listed_as_not_enabled(self):
        for stop, start, state in ((["cupsdisable"], ["cupsenable"], "paused"),
                                   (["cupsreject"], ["cupsaccept"], "error")):
            with self.subTest(stop[0]):
                subprocess.run(stop + ["Label_PDF_2"], check=True)
                try:
                    result = self.host.ask(request("list_printers"))[0]["result"]
                finally:
                    subprocess.run(start + ["Label_PDF_2"], check=True)
                entry = next(p for p in result["printers"] if p["name"] == "Label_PDF_2")
                if WINDOWS:
                    # Wine's spooler reports no status bits for a stopped or
                    # rejecting CUPS queue, so the entry reads "idle"; the
                    # status mapping itself is unit-tested.
                    self.assertEqual((entry["state"], entry["enabled"]), ("idle", True))
                else:
                    self.assertEqual((entry["state"], entry["enabled"]), (state, False))

    def test_a_queue_name_must_name_a_queue_that_exists(self):
        png = label_png(400, 200)
        names = ["Label_PDF/no-such-instance", "Label_PDF/../Label_PDF_2", "Label_PDF/"]
        replies = self.host.ask(*[request("submit", submit_payload("inst-%d-%s" % (i, self.tag), png, printer=name))
                                  for i, name in enumerate(names)])
        for name, reply in zip(names, replies):
            self.assertEqual(reply["error"]["code"], "PRINTER_UNAVAILABLE", name)
        assert_nothing_printed(self, lambda n: n.startswith("inst-") and n.endswith("-" + self.tag),
                               "printed on another queue")
        self.assertEqual(glob.glob(os.path.join(PDF_DIR, "inst-*-%s*" % self.tag)), [], "printed on another queue")

    def test_label_prints_at_physical_size_centred(self):
        intent = "size-" + self.tag
        reply = self.host.ask(request("submit", submit_payload(intent, label_png(600, 300))))[0]
        self.assertTrue(reply["ok"], reply)
        self.assertEqual((reply["result"]["state"], reply["result"]["duplicate"]), ("SUBMITTED", False))
        files = wait_for_pdfs(intent, 1)
        self.assertEqual(len(files), 1)
        self.assertEqual(pdf_pages(files[0]), 1)
        listing = subprocess.run(["pdfimages", "-list", files[0]], capture_output=True, text=True).stdout
        row = listing.splitlines()[2].split()
        self.assertEqual((row[3], row[4], row[12], row[13]), ("600", "300", "300", "300"))
        (x0, y0, x1, y1), (w, h) = ink_box(files[0])
        self.assertLessEqual(abs((x1 - x0) - 600), 1)  # 2 inches at 300 device pixels per inch
        self.assertLessEqual(abs((y1 - y0) - 300), 1)  # 1 inch
        self.assertLessEqual(abs((x0 + x1) - w), 2)  # centred: within one device pixel
        self.assertLessEqual(abs((y0 + y1) - h), 2)

    def test_copies_repeats_and_conflicts(self):
        intent = "copies-" + self.tag
        png = label_png(400, 200)
        first = self.host.ask(request("submit", submit_payload(intent, png, copies=3)))[0]
        self.assertTrue(first["ok"], first)
        files = wait_for_pdfs(intent, 1)
        self.assertEqual([pdf_pages(f) for f in files], [3])
        again, conflict, job = self.host.ask(
            request("submit", submit_payload(intent, png, copies=3, title=intent)),
            request("submit", submit_payload(intent, png, copies=2)),
            request("get_job", {"intent_id": intent}))
        self.assertEqual(again["result"], dict(first["result"], duplicate=True))
        self.assertEqual(conflict["error"]["code"], "INTENT_CONFLICT")
        self.assertEqual(job["result"]["os_job_id"], first["result"]["os_job_id"])
        self.assertIn(job["result"]["state"], ("SUBMITTED", "OBSERVED", "COMPLETED"))
        printed_once(self, intent)

    def test_a_label_wider_than_the_page_is_shrunk_or_refused(self):
        # A4 at 300 device pixels per inch is about 2480 pixels wide: a 3000
        # pixel label at 300 dpi is shrunk to fit (above three quarters of its
        # size), a 4000 pixel one would fall below and is refused.
        wide, too_wide = "wide-" + self.tag, "toowide-" + self.tag
        shrunk, refused = self.host.ask(request("submit", submit_payload(wide, label_png(3000, 300))),
                                        request("submit", submit_payload(too_wide, label_png(4000, 300))))
        self.assertTrue(shrunk["ok"], shrunk)
        self.assertEqual(refused["error"]["code"], "MEDIA_MISMATCH")
        files = wait_for_pdfs(wide, 1)
        self.assertEqual(len(files), 1)
        (x0, _, x1, _), (w, _) = ink_box(files[0])
        self.assertGreaterEqual(x1 - x0, 0.75 * 3000)
        self.assertLessEqual(x1 - x0, w)
        assert_nothing_printed(self, too_wide, "a refused label printed")
        self.assertEqual(pdfs_titled(too_wide), [])

    def test_refusals_are_recorded(self):
        png = label_png(400, 200)
        unknown = "queue-" + self.tag
        media = "media-" + self.tag
        replies = self.host.ask(
            request("submit", submit_payload(unknown, png, printer="No_Such_Queue")),
            request("submit", submit_payload(unknown, png, printer="No_Such_Queue")),
            request("submit", submit_payload(media, png, media="na_index-4x6_4x6in")),
            request("get_job", {"intent_id": "never-" + self.tag}))
        self.assertEqual([r["error"]["code"] for r in replies],
                         ["PRINTER_UNAVAILABLE", "ATTEMPT_FAILED", "MEDIA_UNSUPPORTED", "JOB_NOT_FOUND"])
        self.assertTrue(replies[0]["error"]["message"].startswith(SYSTEM + " could not open the selected print queue: "),
                        replies[0])
        self.assertEqual(self.host.read_ledger()["jobs"][media]["state"], "FAILED")
        assert_nothing_printed(self, lambda n: n in (unknown, media), "a refused label printed")
        self.assertEqual(pdfs_titled(unknown) + pdfs_titled(media), [])


@unittest.skipUnless(TARGET == "native", "the Linux build's requests to the CUPS scheduler")
class SchedulerRequestsTest(unittest.TestCase):
    """What a label costs the scheduler: its IPP requests, each an HTTP POST
    the host writes, counted with strace on the real process."""

    def test_a_label_asks_the_queue_once_creates_and_sends(self):
        host = Host()
        tag = uuid.uuid4().hex[:8]
        page = {"format": "png", "base64": base64.b64encode(label_png(40, 20)).decode(), "width_px": 40, "height_px": 20}
        cases = [
            ("submit", request("submit", submit_payload("req-" + tag, label_png(40, 20))), 3),
            ("submit_document", request("submit_document", {
                "intent_id": "reqdoc-" + tag, "printer": QUEUE, "title": "reqdoc-" + tag, "dpi": 300,
                "pages": [page, page]}), 3),
            ("describe_printer", request("describe_printer", {"printer": QUEUE}), 2),  # its media, then its state
            ("list_printers", request("list_printers"), 2),  # one destination list: the queues, the default
        ]
        try:
            for name, body, expected in cases:
                with self.subTest(name):
                    log = os.path.join(host.scratch, name + ".strace")
                    p = subprocess.run(["strace", "-f", "-qq", "-e", "trace=write,sendto,sendmsg,writev", "-s", "32",
                                        "-o", log] + host.command, input=frame(body), env=host.env,
                                       capture_output=True, timeout=120)
                    self.assertIn(b'"ok":true', p.stdout)
                    posts = [line for line in open(log) if '"POST ' in line]
                    self.assertEqual(len(posts), expected, "".join(posts))
        finally:
            host.close()


class CrashDuringPrintTest(unittest.TestCase):
    """The host dies after recording an attempt and before recording its
    outcome: the ledger is watched until it holds the DISPATCHING record, and
    the process is killed right then, while it decodes and prints."""

    def test_attempt_cut_short_is_unknown_and_never_reprinted(self):
        host = Host()
        try:
            png = label_png(2400, 3000) if WINDOWS else pngs.solid_rgb(10000, 8000, (20, 20, 20))
            for attempt in range(5):
                intent = "crash-%s-%d" % (uuid.uuid4().hex[:6], attempt)
                if not kill_between_saves(host, request("submit", submit_payload(intent, png))):
                    continue
                job, repeat = host.ask(request("get_job", {"intent_id": intent}),
                                       request("submit", submit_payload(intent, png)))
                self.assertEqual((job["result"]["state"], job["result"]["error_code"]), ("UNKNOWN", "HOST_RESTARTED"))
                self.assertEqual(repeat["error"]["code"], "UNKNOWN_OUTCOME")
                # Whatever reached the scheduler before the kill, and only
                # that, prints: at most one job, and a PDF for each that completed.
                jobs = settled_jobs(intent)
                self.assertLessEqual(len(jobs), 1, jobs)
                self.assertEqual(len(pdfs_titled(intent)), sum(j["state"] == "completed" for j in jobs), jobs)
                return
            self.fail("never caught the host between its two saves")
        finally:
            host.close()


@unittest.skipIf(WINDOWS, "Wine's spooler does not report CUPS job states")
class JobObservationTest(unittest.TestCase):
    """get_job follows the real CUPS job: held in a stopped queue, printed once
    the queue runs again, or cancelled."""

    def setUp(self):
        self.host = Host()
        self.tag = uuid.uuid4().hex[:8]
        subprocess.run(["cupsdisable", "Label_PDF_2"], check=True)

    def tearDown(self):
        subprocess.run(["cupsenable", "Label_PDF_2"], check=True)
        self.host.close()

    def state_of(self, intent):
        return self.host.ask(request("get_job", {"intent_id": intent}))[0]["result"]["state"]

    def wait_for_state(self, intent, wanted, timeout=None):
        """The state once it is `wanted` or the time is up; when it is not,
        it carries each poll's answer and duration, which tell a scheduler
        that did not answer from a job it did not show. The time allowed
        outlasts one get_job whose exchange with the scheduler runs to its bound."""
        deadline = time.time() + (timeout or exchange_deadline())
        polls, state = [], None
        while time.time() < deadline:
            started = time.time()
            state = self.state_of(intent)
            polls.append("%s in %.1f s" % (state, time.time() - started))
            if state == wanted:
                return state
            time.sleep(0.5)
        return "%s (polls: %s)" % (state, ", ".join(polls))

    def test_held_printed_and_cancelled_jobs(self):
        png = label_png(400, 200)
        held, cancelled = "held-" + self.tag, "cancel-" + self.tag
        first, second = self.host.ask(request("submit", submit_payload(held, png, printer="Label_PDF_2")),
                                      request("submit", submit_payload(cancelled, png, printer="Label_PDF_2")))
        self.assertEqual((first["result"]["state"], second["result"]["state"]), ("SUBMITTED", "SUBMITTED"))
        self.assertEqual(self.state_of(held), "OBSERVED")
        subprocess.run(["cancel", "Label_PDF_2-" + second["result"]["os_job_id"]], check=True)
        self.assertEqual(self.wait_for_state(cancelled, "UNKNOWN"), "UNKNOWN")
        subprocess.run(["cupsenable", "Label_PDF_2"], check=True)
        self.assertEqual(self.wait_for_state(held, "COMPLETED"), "COMPLETED")
        self.assertEqual(len(wait_for_pdfs(held, 1)), 1)
        self.assertEqual([j["state"] for j in settled_jobs(cancelled, at_least=1)], ["canceled"])
        self.assertEqual(pdfs_titled(cancelled), [])


    @unittest.skipIf(WINDOWS, "job ids of the native build's own CUPS jobs")
    def test_a_job_id_counts_only_on_its_queue_and_after_its_record(self):
        intent = "scope-" + self.tag
        reply = self.host.ask(request("submit", submit_payload(intent, label_png(400, 200))))[0]
        self.assertEqual(self.wait_for_state(intent, "COMPLETED"), "COMPLETED")
        ledger = self.host.read_ledger()
        mine = ledger["jobs"][intent]
        # Records a scheduler that lost its spool would confuse with this job:
        # the same id, on another queue, from before the job was made, or of
        # another attempt on the same queue at the same time (the job's uuid
        # is this attempt's). The attempt's own record follows it.
        rows = {"other-queue-" + self.tag: ("Label_PDF_2", mine["created_at_ms"], "SUBMITTED"),
                "older-job-" + self.tag: ("Label_PDF", mine["created_at_ms"] + 5000, "SUBMITTED"),
                "other-attempt-" + self.tag: ("Label_PDF", mine["created_at_ms"], "SUBMITTED"),
                intent: ("Label_PDF", mine["created_at_ms"], "COMPLETED")}
        for key, (printer, created, _) in rows.items():
            ledger["jobs"][key] = dict(mine, intent_id=key, printer=printer, state="SUBMITTED", created_at_ms=created,
                                       updated_at_ms=created)
        with open(self.host.ledger_path, "w") as f:
            json.dump(ledger, f)
        answers = self.host.ask(*[request("get_job", {"intent_id": key}) for key in rows])
        for (key, (_, _, wanted)), answer in zip(rows.items(), answers):
            self.assertEqual((answer["result"]["os_job_id"], answer["result"]["state"]),
                             (reply["result"]["os_job_id"], wanted), key)


if __name__ == "__main__":
    unittest.main()
