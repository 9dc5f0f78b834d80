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

    def __init__(self):
        self.scratch = tempfile.mkdtemp(prefix="tph-")
        if TARGET == "windows":
            self.command = [os.path.join(ROOT, "scripts", "wine-run"),
                            os.path.join(ROOT, "build", "windows", "tavelin-print-host.exe")]
            self.env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
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

    def wait_for_responses(self, count, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            raw = self.output()
            frames = []
            while len(raw) >= 4:
                n = struct.unpack("<I", raw[:4])[0]
                if len(raw) < 4 + n:
                    break
                frames.append(json.loads(raw[4:4 + n]))
                raw = raw[4 + n:]
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
