"""The durable state against the real process: folder and lock, start-up
recovery, refusals that leave the ledger untouched, bridge status, and two
processes serialised by the lock."""

import fcntl
import json
import os
import shutil
import time
import unittest

from host import TARGET, VERSION, Host, frame, limits, request, submit_payload

NATIVE = TARGET == "native"


def process_tree(pid):
    """`pid` and every process below it (Wine's loader runs the host as a child)."""
    found = [pid]
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for task in tasks:
        try:
            children = open("/proc/%d/task/%s/children" % (pid, task)).read().split()
        except OSError:
            continue
        for child in children:
            found += process_tree(int(child))
    return found


def at_the_lock(running, lock_path):
    """Whether the host has got to its lock and waits there. Native: the
    kernel lists its flock() as a blocked request (a "->" line of /proc/locks
    with its pid). Windows: Wine keeps a waiting LockFileEx to its server,
    so what shows is the lock file open in the host's process; it opens that
    file only to lock it, right before it does."""
    if NATIVE:
        with open("/proc/locks") as f:
            return any(line.split()[1] == "->" and line.split()[2] == "FLOCK" and line.split()[5] == str(running.proc.pid)
                       for line in f if len(line.split()) > 5)
    for pid in process_tree(running.proc.pid):
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == lock_path:
                    return True
            except OSError:
                pass
    return False


def record(intent, state, updated_ms, os_job_id=""):
    return {"intent_id": intent, "payload_sha256": "a" * 64, "state": state, "printer": "Label_PDF",
            "os_job_id": os_job_id, "created_at_ms": updated_ms, "updated_at_ms": updated_ms,
            "error_code": "", "error_message": ""}


def ledger_bytes(jobs, schema=1):
    return json.dumps({"schema": schema, "updated_at_ms": 1, "jobs": jobs}, indent=2).encode()


def now_ms():
    return int(time.time() * 1000)


class StateTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def test_first_run_creates_folder_and_lock_only(self):
        self.assertEqual(self.host.run(b""), (b"", b"", 0))
        self.assertEqual(sorted(os.listdir(self.host.folder)), ["ledger.lock"])

    def test_dispatching_record_comes_back_unknown(self):
        self.host.write_ledger_bytes(ledger_bytes({"a": record("a", "DISPATCHING", now_ms() - 5000),
                                                   "b": record("b", "FAILED", now_ms() - 5000)}))
        before = now_ms()
        reply = self.host.ask(request("get_job", {"intent_id": "a"}))[0]["result"]
        self.assertEqual((reply["state"], reply["error_code"]), ("UNKNOWN", "HOST_RESTARTED"))
        self.assertEqual(reply["error_message"], "The helper restarted before the operating system acknowledged this job.")
        saved = self.host.read_ledger()
        self.assertEqual(saved["jobs"]["a"]["state"], "UNKNOWN")
        self.assertGreaterEqual(saved["jobs"]["a"]["updated_at_ms"], before - 1000)
        self.assertEqual(saved["jobs"]["b"]["state"], "FAILED")

    def test_find_jobs_by_prefix_newest_first_within_a_bound(self):
        t = now_ms() - 60000
        jobs = {}
        most, default_limit = limits()["find_jobs_max_limit"], limits()["find_jobs_default_limit"]
        # More labels of order 1234 than one answer may list (messages at
        # their bound), a look-alike order, and another.
        labels = most + 50
        for i in range(labels):
            r = record("order-1234.label-%d" % i, "FAILED", t + i)
            r["error_message"] = "m" * 1024
            jobs[r["intent_id"]] = r
        for intent in ("order-12345.label-1", "order-99.label-1"):
            jobs[intent] = record(intent, "COMPLETED", t + 500)
        self.host.write_ledger_bytes(ledger_bytes(jobs))
        raws = self.host.run(b"".join(frame(request("find_jobs", payload)) for payload in (
            {"intent_prefix": "order-1234.", "limit": 3},
            {"intent_prefix": "order-1234.", "limit": most},
            {"intent_prefix": "order-1234"},
            {"intent_prefix": "order-7."},
            {"intent_prefix": "order 1234"},
            {"intent_prefix": "order-1234.", "limit": most + 1})))[0]
        replies = []
        while raws:
            n = int.from_bytes(raws[:4], "little")
            replies.append((n, json.loads(raws[4:4 + n])))
            raws = raws[4 + n:]
        (_, three), (size, hundred), (_, default), (_, none), (_, bad_prefix), (_, bad_limit) = replies
        self.assertEqual([j["intent_id"] for j in three["result"]["jobs"]],
                         ["order-1234.label-%d" % (labels - n) for n in (1, 2, 3)])
        self.assertTrue(three["result"]["truncated"])
        self.assertEqual(three["result"]["jobs"][0], jobs["order-1234.label-%d" % (labels - 1)])  # the record as stored
        self.assertEqual(len(hundred["result"]["jobs"]), most)
        # The most records an answer lists, at their largest, stay far below the reply limit.
        self.assertLess(size, limits()["max_reply_bytes"] / 4)
        self.assertEqual(len(default["result"]["jobs"]), default_limit)
        self.assertEqual(default["result"]["jobs"][0]["intent_id"], "order-12345.label-1")  # a prefix is a prefix
        self.assertEqual(none["result"], {"jobs": [], "truncated": False})
        self.assertEqual(bad_prefix["error"], {"code": "BAD_REQUEST",
                                               "message": "intent_prefix contains unsupported characters."})
        self.assertEqual(bad_limit["error"], {"code": "BAD_REQUEST", "message": "limit must be between 1 and %d." % most})

    def test_unchanged_ledger_is_not_rewritten(self):
        original = ledger_bytes({"b": record("b", "FAILED", now_ms() - 5000)})
        self.host.write_ledger_bytes(original)
        self.assertEqual(self.host.run(b"")[2], 0)
        self.assertEqual(open(self.host.ledger_path, "rb").read(), original)

    def test_unusable_ledgers_end_start_up_untouched(self):
        cases = {
            "corrupt": (b'{"schema":1,', b"STATE_CORRUPT"),
            "empty": (b"", b"STATE_CORRUPT"),
            "byte-order mark": (b"\xef\xbb\xbf" + ledger_bytes({}), b"STATE_CORRUPT"),
            "null job id": (ledger_bytes({"a": dict(record("a", "FAILED", 1), os_job_id=None)}), b"STATE_CORRUPT"),
            "schema 2": (ledger_bytes({"a": record("a", "DISPATCHING", 1)}, schema=2), b"STATE_VERSION"),
        }
        for name, (content, code) in cases.items():
            with self.subTest(name):
                self.host.reset_state()
                self.host.write_ledger_bytes(content)
                raw, err, status = self.host.run(frame(request("hello")))
                self.assertEqual((raw, err, status), (b"", b"tavelin-print-host: " + code + b"\n", 1))
                self.assertEqual(open(self.host.ledger_path, "rb").read(), content)

    def test_file_in_place_of_the_state_folder(self):
        os.makedirs(self.host.state_root, exist_ok=True)
        with open(self.host.folder, "wb") as f:
            f.write(b"not a folder")
        raw, err, status = self.host.run(frame(request("hello")))
        self.assertEqual((raw, err, status), (b"", b"tavelin-print-host: STATE_UNAVAILABLE\n", 1))
        os.remove(self.host.folder)

    def test_bridge_status(self):
        status_path = os.path.join(self.host.folder, "bridge-status.json")
        before = now_ms()
        self.host.ask(request("hello"))
        after = now_ms()
        status = json.loads(open(status_path, "rb").read())
        self.assertEqual(list(status), ["schema", "version", "protocol", "last_contact_ms"])
        self.assertEqual((status["schema"], status["version"], status["protocol"]), (1, VERSION, 1))
        self.assertTrue(before - 1000 <= status["last_contact_ms"] <= after + 1000)
        text = open(status_path, "rb").read()
        self.assertTrue(text.startswith(b'{\n  "schema": 1,\n') and text.endswith(b"\n}"))
        self.host.ask(request("hello", protocol=2))
        self.assertEqual(open(status_path, "rb").read(), text)

    def test_hosts_take_turns_with_the_lock(self):
        """The lock is held for one message at a time: an idle host holds
        nothing, and a host that needs the ledger while another holds it
        waits, then reads what the other left."""
        first = self.host.start()
        first.send(frame(request("hello", request_id="one")))
        first.wait_for_responses(1)
        # The first, idle with its port open, keeps nobody waiting.
        second = self.host.start()
        second.send(frame(request("get_job", {"intent_id": "seen"}, request_id="two")))
        self.assertEqual(second.wait_for_responses(1, timeout=30)[0]["error"]["code"], "JOB_NOT_FOUND")
        self.assertEqual(second.finish()[0], 0)
        # The first records an attempt (on a queue that does not exist) ...
        first.send(frame(request("submit", submit_payload("seen"), request_id="three")))
        self.assertEqual(first.wait_for_responses(2)[1]["error"]["code"], "PRINTER_UNAVAILABLE")
        if NATIVE:
            # ... and while the lock is held as a host holds it for a message
            # (flock on ledger.lock), a third waits at it without answering.
            lock = os.path.join(self.host.folder, "ledger.lock")
            fd = os.open(lock, os.O_RDWR)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                third = self.host.start()
                third.send(frame(request("get_job", {"intent_id": "seen"}, request_id="four")))
                deadline = time.time() + 60
                while not at_the_lock(third, lock):
                    self.assertIsNone(third.proc.poll(), "the third host exited")
                    self.assertLess(time.time(), deadline, "the third host never got to the lock")
                    time.sleep(0.01)
                self.assertEqual(third.output(), b"", "the third host answered while the lock was held")
            finally:
                os.close(fd)
            reply = third.wait_for_responses(1)[0]
            self.assertEqual(third.finish()[0], 0)
            self.assertEqual((reply["request_id"], reply["result"]["state"]), ("four", "FAILED"))
        self.assertEqual(first.finish()[0], 0)

    def test_a_lock_file_or_folder_replaced_between_messages_is_followed(self):
        """Between messages the lock is let go: a lock file deleted, or the
        state folder moved, is met at the next message by locking the file
        now at the path, where every other host locks, and reading the ledger
        there. The attempt another host recorded meanwhile is answered as
        recorded, never printed again."""
        lock = os.path.join(self.host.folder, "ledger.lock")
        moves = [("lock file deleted", lambda: os.remove(lock)),
                 ("state folder moved", lambda: os.rename(self.host.folder, self.host.folder + ".moved"))]
        for name, move in moves:
            with self.subTest(name):
                self.host.reset_state()
                shutil.rmtree(self.host.folder + ".moved", ignore_errors=True)
                first = self.host.start()
                first.send(frame(request("hello", request_id="one")))
                first.wait_for_responses(1)
                move()
                # A second host locks a new file at the path and records the attempt ...
                second = self.host.start()
                second.send(frame(request("submit", submit_payload("twice"), request_id="two")))
                self.assertEqual(second.wait_for_responses(1)[0]["error"]["code"], "PRINTER_UNAVAILABLE")
                self.assertEqual(second.finish()[0], 0)
                # ... which the first, asked for the same attempt, answers from
                # the ledger at the path.
                first.send(frame(request("submit", submit_payload("twice"), request_id="three")))
                reply = first.wait_for_responses(2)[1]
                self.assertEqual(reply["error"]["code"], "ATTEMPT_FAILED", reply)
                self.assertEqual(first.finish()[0], 0)
        shutil.rmtree(self.host.folder + ".moved", ignore_errors=True)

    @unittest.skipUnless(NATIVE, "POSIX links and special files")
    def test_a_lock_file_that_is_not_a_regular_file_is_refused(self):
        for name, plant in (("link", lambda p: os.symlink(os.path.join(self.host.scratch, "elsewhere"), p)),
                            ("fifo", os.mkfifo)):
            with self.subTest(name):
                self.host.reset_state()
                os.makedirs(self.host.folder)
                plant(os.path.join(self.host.folder, "ledger.lock"))
                raw, err, status = self.host.run(frame(request("hello")), timeout=30)
                self.assertEqual((raw, err, status), (b"", b"tavelin-print-host: STATE_UNAVAILABLE\n", 1))
                self.assertFalse(os.path.exists(os.path.join(self.host.scratch, "elsewhere")))


if __name__ == "__main__":
    unittest.main()
