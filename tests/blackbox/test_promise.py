"""The promise where it used to leak: an attempt pruned from the ledger long
ago, a ledger another host wrote while this one held its lock, a document
whose end never reached the scheduler, a scheduler that answers a byte at a
time, a queue named outside ASCII, and another program's job that got our
job's id."""

import base64
import json
import os
import re
import shutil
import socket
import subprocess
import threading
import time
import unittest
import uuid

import pngs
from host import TARGET, Host, exchange_deadline, frame, request, scheduler_bound, submit_payload

NATIVE = TARGET == "native"
WINDOWS = TARGET == "windows"


def old_records(count, start_ms):
    """`count` finished attempts, newer than `start_ms`, as a ledger holds them."""
    jobs = {}
    for i in range(count):
        key = "later-%06d" % i
        t = start_ms + 1 + i
        jobs[key] = {"intent_id": key, "payload_sha256": "b" * 64, "state": "COMPLETED", "printer": "Label_PDF",
                     "os_job_id": str(i + 1), "created_at_ms": t, "updated_at_ms": t, "error_code": "",
                     "error_message": ""}
    return jobs


class ArchiveTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def test_an_attempt_100000_attempts_old_is_still_a_duplicate(self):
        intent = "archived-" + uuid.uuid4().hex[:8]
        # A queue that does not exist: the attempt is recorded FAILED, and
        # a repeat must say so rather than try it again.
        failed = "failed-" + intent
        first, refused = self.host.ask(request("submit", submit_payload(intent, printer="Label_PDF")),
                                       request("submit", submit_payload(failed)))
        self.assertEqual(first["result"]["state"], "SUBMITTED", first)
        self.assertEqual(refused["error"]["code"], "PRINTER_UNAVAILABLE")
        ledger = self.host.read_ledger()
        mine = ledger["jobs"][intent]
        # 100,000 attempts follow; the next start keeps the newest 5000.
        ledger["jobs"].update(old_records(100_000, mine["updated_at_ms"]))
        with open(self.host.ledger_path, "w") as f:
            json.dump(ledger, f)
        replies = self.host.ask(request("submit", submit_payload(intent, printer="Label_PDF")),
                                request("submit", submit_payload(failed)),
                                request("get_job", {"intent_id": intent}),
                                request("find_jobs", {"intent_prefix": "archived-"}),
                                request("submit", submit_payload(intent, printer="Label_PDF", copies=2)),
                                timeout=300)
        again, failed_again, job, found, changed = replies
        self.assertNotIn(intent, self.host.read_ledger()["jobs"], "the ledger pruned the attempt")
        self.assertEqual(len(self.host.read_ledger()["jobs"]), 5000)
        self.assertEqual((again["result"]["duplicate"], again["result"]["os_job_id"]),
                         (True, first["result"]["os_job_id"]), again)
        self.assertEqual(failed_again["error"]["code"], "ATTEMPT_FAILED", failed_again)
        self.assertEqual((job["result"]["state"], job["result"]["payload_sha256"]),
                         (mine["state"], mine["payload_sha256"]), job)
        self.assertEqual([j["intent_id"] for j in found["result"]["jobs"]], [intent])
        self.assertEqual(changed["error"]["code"], "INTENT_CONFLICT", changed)
        archive = os.path.getsize(os.path.join(self.host.folder, "archive.log"))
        self.assertLess(archive / 95_002, 130, "about 100 bytes an attempt")


class AnotherWriterTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def test_a_ledger_another_host_wrote_is_read_before_it_is_acted_on(self):
        lock = os.path.join(self.host.folder, "ledger.lock")
        first = self.host.start()
        first.send(frame(request("hello", request_id="one")))
        first.wait_for_responses(1)
        # The lock file is moved aside, a second host locks a new one and
        # records the attempt, and the old lock file comes back.
        os.rename(lock, lock + ".aside")
        second = self.host.start()
        second.send(frame(request("submit", submit_payload("twice"), request_id="two")))
        self.assertEqual(second.wait_for_responses(1)[0]["error"]["code"], "PRINTER_UNAVAILABLE")
        self.assertEqual(second.finish()[0], 0)
        os.replace(lock + ".aside", lock)
        written = self.host.read_ledger()
        # The first host, whose lock is at the path again, must not take the
        # ledger in its memory for the one on disk: it reads the other's.
        first.send(frame(request("submit", submit_payload("twice"), request_id="three")))
        reply = first.wait_for_responses(2)[1]
        status, err = first.finish()
        self.assertEqual(reply["error"]["code"], "ATTEMPT_FAILED", reply)
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(self.host.read_ledger()["jobs"], written["jobs"], "the other host's record stands")
        self.assertEqual(self.host.ask(request("submit", submit_payload("twice")))[0]["error"]["code"],
                         "ATTEMPT_FAILED")


def job_waiting(job_id):
    """Whether the scheduler still holds the job to print (not completed, cancelled or aborted)."""
    out = subprocess.run(["lpstat", "-W", "not-completed", "-o"], capture_output=True, text=True).stdout
    return re.search(r"-%s\s" % job_id, out) is not None


@unittest.skipUnless(NATIVE, "faults injected into the native host's own calls to the scheduler")
class SchedulerFaultTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()
        self.tag = uuid.uuid4().hex[:8]

    def tearDown(self):
        self.host.close()

    def wait_for(self, intent, wanted, timeout=None):
        """The attempt's state once it is one of `wanted`, or once the scheduler
        no longer holds its job to print (each lpstat answer paces the wait).
        By default the wait outlasts one exchange with the scheduler at its bound."""
        def state():
            return self.host.ask(request("get_job", {"intent_id": intent}))[0]["result"]["state"]
        now = state()
        job_id = self.host.read_ledger()["jobs"][intent]["os_job_id"]
        deadline = time.time() + (timeout or exchange_deadline())
        while now not in wanted and job_id and job_waiting(job_id) and time.time() < deadline:
            pass
        return now if now in wanted else state()

    def test_each_socket_write_to_the_scheduler_failing_in_turn(self):
        """A label, and a document of three pages, with the n-th send to the
        scheduler failing (ECONNRESET), for every n the message makes. A
        SUBMITTED answer must come with a delivered job; anything else must
        leave no job waiting, and a repeat never prints."""
        png = pngs.rgba8(300, 200, lambda x, y: ((x * 7) % 200, (y * 3) % 200, 90, 255))
        page = {"format": "png", "base64": base64.b64encode(png).decode(), "width_px": 300, "height_px": 200}
        kinds = {
            "label": lambda intent: request("submit", submit_payload(intent, png, printer="Label_PDF_2")),
            "document": lambda intent: request("submit_document", {
                "intent_id": intent, "printer": "Label_PDF_2", "title": intent, "dpi": 300,
                "pages": [page, page, page]}),
        }
        for kind, body in kinds.items():
            with self.subTest(kind):
                self.sweep(kind, body)

    def sweep(self, kind, body):
        def run(intent, strace_args):
            log = os.path.join(self.host.scratch, intent + ".strace")
            p = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", "trace=sendto"] + strace_args +
                               self.host.command, input=frame(body(intent)), env=self.host.env,
                               capture_output=True, timeout=120)
            replies = [json.loads(b) for b in _frames(p.stdout)]
            self.assertEqual(len(replies), 1, p.stderr)
            return replies[0], sum(1 for line in open(log) if "sendto(" in line)

        _, sends = run("sendfault-%s-%s-count" % (kind, self.tag), [])
        self.assertGreater(sends, 5)
        outcomes = []
        for n in range(1, sends + 1):
            intent = "sendfault-%s-%s-%d" % (kind, self.tag, n)
            reply, _ = run(intent, ["-e", "inject=sendto:error=ECONNRESET:when=%d" % n])
            record = self.host.read_ledger()["jobs"].get(intent)
            if reply.get("ok"):
                self.assertEqual(record["state"], "SUBMITTED")
                self.assertEqual(self.wait_for(intent, ("COMPLETED", "UNKNOWN")), "COMPLETED",
                                 "SUBMITTED without a delivery at send %d" % n)
                outcomes.append("SUBMITTED")
                continue
            code = reply["error"]["code"]
            self.assertIn(code, ("UNKNOWN_OUTCOME", "SUBMISSION_REJECTED", "PRINTER_UNAVAILABLE"), (n, reply))
            if record and record["os_job_id"]:
                self.assertFalse(job_waiting(record["os_job_id"]), "a job begun is not left waiting (%d)" % n)
            repeat = self.host.ask(body(intent))[0]
            self.assertFalse(repeat.get("ok"), "a repeat of a failed or unknown attempt prints nothing")
            outcomes.append(code)
        self.assertEqual(outcomes[-1], "UNKNOWN_OUTCOME", "the message's last send fails it: %s" % outcomes)
        self.assertGreater(outcomes.count("UNKNOWN_OUTCOME"), 1, outcomes)

    def test_a_trickling_scheduler_is_cut_off_at_the_bound(self):
        bound = scheduler_bound("kExchangeTimeoutSeconds")
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(4)
        port = server.getsockname()[1]
        stop = threading.Event()

        def trickle(conn):
            with conn:
                conn.recv(65536)
                reply = b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: 100000\r\n\r\n"
                reply += b"\x02\x00" + b"\x00" * 99_998
                # A byte every 0.4 s: the pace of the scheduler this test plays.
                for byte in reply:
                    try:
                        conn.sendall(bytes([byte]))
                    except OSError:
                        return
                    if stop.wait(0.4):
                        return

        def serve():
            while not stop.is_set():
                try:
                    conn, _ = server.accept()
                except OSError:
                    return
                threading.Thread(target=trickle, args=(conn,), daemon=True).start()

        threading.Thread(target=serve, daemon=True).start()
        env = dict(self.host.env, CUPS_SERVER="127.0.0.1:%d" % port)
        try:
            for message in (request("list_printers"), request("describe_printer", {"printer": "Label_PDF"})):
                started = time.time()
                p = subprocess.run(self.host.command, input=frame(message), env=env, capture_output=True,
                                   timeout=4 * bound)
                elapsed = time.time() - started
                frames = _frames(p.stdout)
                self.assertEqual(len(frames), 1, "host exited %d after %.1f s: %r" % (p.returncode, elapsed, p.stderr))
                reply = json.loads(frames[0])
                self.assertFalse(reply["ok"], reply)
                self.assertIn("did not answer within %d s" % bound, reply["error"]["message"])
                self.assertLess(elapsed, bound + 5, "one exchange, cut off at its bound")
        finally:
            stop.set()
            server.close()

    def test_a_queue_named_outside_ascii_is_followed(self):
        queue = "Étiquettes_PDF"
        subprocess.run(["lpadmin", "-p", queue, "-E", "-v", "cups-pdf:/", "-P",
                        "/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd"], check=True)
        subprocess.run(["cupsdisable", queue], check=True)
        try:
            intent = "utf8-" + self.tag
            reply = self.host.ask(request("submit", submit_payload(intent, printer=queue)))[0]
            self.assertEqual(reply["result"]["state"], "SUBMITTED", reply)
            self.assertEqual(self.wait_for(intent, ("OBSERVED",), timeout=10), "OBSERVED")
            subprocess.run(["cancel", "%s-%s" % (queue, reply["result"]["os_job_id"])], check=True)
            self.assertEqual(self.wait_for(intent, ("UNKNOWN",)), "UNKNOWN")
        finally:
            subprocess.run(["lpadmin", "-x", queue])

    def test_another_programs_job_with_our_id_is_not_ours(self):
        """After a scheduler lost its spool, the id of an attempt's job can
        belong to a job somebody else made later on the same queue."""
        intent = "stranger-" + self.tag
        ledger_jobs = {}
        made = int(time.time() * 1000) - 2000
        path = os.path.join(self.host.scratch, "other.ps")
        with open(path, "w") as f:
            f.write("%!PS\nshowpage\n")
        out = subprocess.run(["lp", "-d", "Label_PDF", "-t", "stranger", path], capture_output=True, text=True,
                             check=True).stdout
        job_id = re.search(r"Label_PDF-(\d+)", out).group(1)
        ledger_jobs[intent] = {"intent_id": intent, "payload_sha256": "c" * 64, "state": "SUBMITTED",
                               "printer": "Label_PDF", "os_job_id": job_id, "created_at_ms": made,
                               "updated_at_ms": made, "error_code": "", "error_message": ""}
        self.host.write_ledger_bytes(json.dumps({"schema": 1, "updated_at_ms": made, "jobs": ledger_jobs}).encode())
        deadline = time.time() + 30
        while time.time() < deadline and job_waiting(job_id):
            pass  # each lpstat answer paces the wait
        self.assertFalse(job_waiting(job_id), "the other program's job printed")
        reply = self.host.ask(request("get_job", {"intent_id": intent}))[0]
        self.assertEqual(reply["result"]["state"], "SUBMITTED", "the other program's job is not this attempt's")
        # The same host follows its own job on that queue to the end.
        own = "own-" + self.tag
        self.assertTrue(self.host.ask(request("submit", submit_payload(own, printer="Label_PDF")))[0]["ok"])
        self.assertEqual(self.wait_for(own, ("COMPLETED",)), "COMPLETED")


def _frames(data):
    out = []
    while len(data) >= 4:
        n = int.from_bytes(data[:4], "little")
        out.append(data[4:4 + n])
        data = data[4 + n:]
    return out


if __name__ == "__main__":
    unittest.main()
