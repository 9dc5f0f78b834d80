"""Drives the real host process over its standard streams, for both builds.

TPH_TARGET selects the build: "native" (build/native/tavelin-print-host) or
"windows" (build/windows/tavelin-print-host.exe under Wine). Standard output
and error go to files, not pipes: Wine's helper processes can inherit a pipe
and keep it open after the host has exited."""

import base64
import getpass
import json
import os
import resource
import shutil
import struct
import subprocess
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TARGET = os.environ.get("TPH_TARGET", "native")
WINEPREFIX = os.environ.get("WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
PDF_DIR = os.path.expanduser("~/PDF")
# The version the build was made with (CMake writes it beside the build).
VERSION = json.load(open(os.path.join(ROOT, "build", TARGET, "version.json")))["version"]


def scheduler_bound(name):
    """A time bound (seconds) of the exchanges with the CUPS scheduler, as the code declares it:
    "kExchangeTimeoutSeconds" or "kCancelAfterTimeoutSeconds"."""
    import re
    text = open(os.path.join(ROOT, "src", "platform", "cups", "cups_scheduler.h")).read()
    return int(re.search(r"%s = (\d+);" % name, text).group(1))


def exchange_deadline(margin=15):
    """How long a test waits for one request that may run into the scheduler
    exchange's bound: the bound, the cancel that may follow it, and a margin."""
    return scheduler_bound("kExchangeTimeoutSeconds") + scheduler_bound("kCancelAfterTimeoutSeconds") + margin


def limits():
    """The protocol's limits, from the file the host and the client are built from."""
    with open(os.path.join(ROOT, "protocol", "limits.json")) as f:
        return json.load(f)


# --- what the CUPS scheduler says about jobs

# Job states in which a job may still print (or is printing).
STILL_TO_PRINT = ("pending", "pending-held", "processing", "processing-stopped")


def scheduler_jobs(match=None, queue=None):
    """The jobs the CUPS scheduler holds or still remembers (finished ones
    too), oldest first, as dicts of id, state, queue, documents and name:
    those whose name is `match` (or for which `match(name)` is true), on
    `queue` or on any. The scheduler's answer to Get-Jobs, asked with ipptool
    and read from its verbose listing (its CSV drops a value that comes
    before the first column's)."""
    import urllib.parse
    uri = "ipp://localhost/" + ("printers/" + urllib.parse.quote(queue) if queue else "")
    p = subprocess.run(["ipptool", "-tv", uri, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                           "scheduler_jobs.test")],
                       capture_output=True, text=True, timeout=60)
    assert p.returncode == 0 and "RECEIVED:" in p.stdout, \
        "the scheduler did not list its jobs: %s%s" % (p.stdout, p.stderr)
    groups, group = [], {}
    for line in p.stdout.split("RECEIVED:", 1)[1].splitlines()[1:]:
        line = line.strip()
        if line == "-- separator --":
            groups.append(group)
            group = {}
        elif " = " in line:
            key, _, value = line.partition(" = ")
            group[key.split(" (")[0]] = value
    groups.append(group)
    jobs = []
    for g in groups:
        if "job-id" not in g:
            continue
        # cupsd names every job ("Untitled" when its client gave none): a
        # job listed without one would be miscounted, never skipped.
        assert g.get("job-name"), "the scheduler listed job %s without its name" % g["job-id"]
        job = {"id": int(g["job-id"]), "state": g.get("job-state", ""),
               "queue": urllib.parse.unquote(g.get("job-printer-uri", "").rsplit("/", 1)[-1]),
               "documents": int(g.get("number-of-documents", "0")), "name": g.get("job-name", "")}
        if match is None or (match(job["name"]) if callable(match) else job["name"] == match):
            jobs.append(job)
    return sorted(jobs, key=lambda j: j["id"])


def settled_jobs(match, queue=None, at_least=0, timeout=180):
    """The jobs of `scheduler_jobs(match, queue)` once at least `at_least` of
    them are there and none of them is still to print: every one finished
    (completed, canceled, aborted), or left without a document by a client
    that is gone. Asked once the clients that made them have answered or
    died: a job of theirs is in the scheduler by then, or never will be. For
    a cups-pdf queue a completed job's PDF is written (the backend has exited).
    Fails when the scheduler does not get there within `timeout`."""
    deadline = time.time() + timeout
    while True:
        jobs = scheduler_jobs(match, queue)
        waiting = [j for j in jobs if j["state"] in STILL_TO_PRINT and j["documents"] > 0]
        if len(jobs) >= at_least and not waiting:
            return jobs
        if time.time() >= deadline:
            raise AssertionError("the scheduler's jobs did not settle within %d s: %r" % (timeout, jobs))
        time.sleep(0.1)  # each Get-Jobs takes its own time too


def frame(body: bytes) -> bytes:
    return struct.pack("<I", len(body)) + body


def request(type_, payload=None, request_id="r1", protocol=1, omit_payload=False) -> bytes:
    env = {"protocol": protocol, "request_id": request_id, "type": type_}
    if not omit_payload:
        env["payload"] = payload
    return json.dumps(env, separators=(",", ":")).encode()


def submit_payload(intent, png=None, printer="No_Such_Queue", copies=1, media=None, dpi=300, title=None):
    """A submit payload for a PNG label (40 x 20 unless given), titled with
    its intent unless told; the declared size is the PNG's own."""
    import pngs  # noqa: E402 (the PNG writer is a sibling module of the tests)
    png = png or pngs.rgba8(40, 20)
    return {"intent_id": intent, "printer": printer, "title": title or intent, "copies": copies, "media": media,
            "dpi": dpi, "payload": {"format": "png", "base64": base64.b64encode(png).decode(),
                                    "width_px": int.from_bytes(png[16:20], "big"),
                                    "height_px": int.from_bytes(png[20:24], "big")}}


def split_frames(data: bytes):
    out = []
    while len(data) >= 4:
        n = struct.unpack("<I", data[:4])[0]
        out.append(data[4:4 + n])
        data = data[4 + n:]
    assert not data, "trailing bytes on standard output: %r" % data[:40]
    return out


class Host:
    """One target's binary with its own, empty state folder."""

    def __init__(self, target=None):
        self.scratch = tempfile.mkdtemp(prefix="tph-")
        self.target = target or TARGET
        if self.target == "windows":
            self.command = [os.path.join(ROOT, "scripts", "wine-run"),
                            os.path.join(ROOT, "build", "windows", "tavelin-print-host.exe")]
            self.env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG=os.environ.get("TPH_WINEDEBUG", "-all"))
            self.state_root = os.path.join(WINEPREFIX, "drive_c", "users", getpass.getuser(), "AppData", "Local")
        else:
            self.command = [os.path.join(ROOT, "build", "native", "tavelin-print-host")]
            self.state_root = os.path.join(self.scratch, "state")
            self.env = dict(os.environ, XDG_STATE_HOME=self.state_root)
        self.folder = os.path.join(self.state_root, "com.tavelin.print")
        self.ledger_path = os.path.join(self.folder, "ledger.json")
        self.reset_state()

    def reset_state(self):
        if os.path.isdir(self.folder):
            shutil.rmtree(self.folder)
        elif os.path.exists(self.folder):
            os.remove(self.folder)

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def run(self, data: bytes, timeout=60):
        """Feeds all of `data` and closes standard input; returns (responses, stderr, status)."""
        out_path = os.path.join(self.scratch, "out")
        err_path = os.path.join(self.scratch, "err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            p = subprocess.run(self.command, input=data, stdout=out, stderr=err, env=self.env, timeout=timeout)
        raw = open(out_path, "rb").read()
        return raw, open(err_path, "rb").read(), p.returncode

    def ask(self, *bodies, timeout=60, address_space_limit=None):
        """Sends the request bodies in one run; returns the decoded JSON responses.

        The native host's peak resident memory is kept in `self.peak_rss`: read
        from /proc (VmHWM) once every answer is in and before its input is
        closed. (The rusage of a child would not do: Linux carries the peak of
        the forking test process over the exec.)"""
        running = RunningHost(self, address_space_limit)
        running.send(b"".join(frame(b) for b in bodies))
        try:
            replies = running.wait_for_responses(len(bodies), timeout)
            self.peak_rss = running.peak_rss()
        finally:
            status, err = running.finish(timeout)
        assert status == 0, "host exited %d: %r" % (status, err)
        return replies

    def start(self):
        return RunningHost(self)

    def start_limited(self, address_space_limit):
        return RunningHost(self, address_space_limit)

    # --- state files
    def read_ledger(self):
        with open(self.ledger_path, "rb") as f:
            return json.loads(f.read())

    def write_ledger_bytes(self, data: bytes):
        os.makedirs(self.folder, exist_ok=True)
        with open(self.ledger_path, "wb") as f:
            f.write(data)


def kill_between_saves(host, body, timeout=60):
    """Starts the host with one print request and SIGKILLs it as soon as the
    ledger holds an attempt in DISPATCHING: it is then decoding or printing.
    True when it was caught there (False: it finished first)."""
    running = host.start()
    running.send(frame(body))
    deadline = time.time() + timeout
    while time.time() < deadline and running.proc.poll() is None:
        try:
            text = open(host.ledger_path, "rb").read()
        except FileNotFoundError:
            text = b""
        if b'"DISPATCHING"' in text:
            running.kill()
            return True
        time.sleep(0.002)
    running.kill()
    return False


class RunningHost:
    """A host process kept running, written to and read from step by step."""

    def __init__(self, host: Host, address_space_limit=None):
        self.out_path = tempfile.mktemp(dir=host.scratch)
        self.err_path = self.out_path + ".err"
        self.out = open(self.out_path, "wb")
        self.err = open(self.err_path, "wb")
        limit = None
        if address_space_limit:
            limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (address_space_limit, address_space_limit))
        self.proc = subprocess.Popen(host.command, stdin=subprocess.PIPE, stdout=self.out, stderr=self.err,
                                     env=host.env, preexec_fn=limit)
        self.read_pos = 0

    def send(self, data: bytes):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def peak_rss(self):
        """The process's peak resident memory in bytes (0 where /proc cannot tell)."""
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        return 0

    def output(self) -> bytes:
        return open(self.out_path, "rb").read()

    def frames(self):
        """Every whole message the host wrote so far, responses and events."""
        raw = self.output()
        frames = []
        while len(raw) >= 4:
            n = struct.unpack("<I", raw[:4])[0]
            if len(raw) < 4 + n:
                break
            frames.append(json.loads(raw[4:4 + n]))
            raw = raw[4 + n:]
        return frames

    def wait_for_frame(self, match, timeout=60, after=0):
        """The first message from index `after` on for which `match` is true,
        and its index; fails after `timeout` seconds."""
        deadline = time.time() + timeout
        while True:
            frames = self.frames()
            for i in range(after, len(frames)):
                if match(frames[i]):
                    return frames[i], i
            if time.time() > deadline:
                raise AssertionError("timed out waiting for a message; have %r" % frames[after:])
            time.sleep(0.01)

    def wait_for_responses(self, count, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            frames = self.frames()
            if len(frames) >= count:
                return frames
            time.sleep(0.02)
        raise AssertionError("timed out waiting for %d responses; have %r" % (count, self.output()))

    def finish(self, timeout=60):
        self.proc.stdin.close()
        status = self.proc.wait(timeout)
        self.out.close()
        self.err.close()
        return status, open(self.err_path, "rb").read()

    def kill(self):
        self.proc.kill()
        self.proc.wait()
        self.out.close()
        self.err.close()
