#!/usr/bin/env python3
"""Kills the host (SIGKILL) at random moments while it saves a large ledger
over and over, and checks after every kill that ledger.json parses and is
exactly one of the versions the host saved: never torn, never lost.

Each kill is placed by what it left: mid-save (the temporary file the host
writes a new version into, .ledger.json.tmp, is still there: it is renamed
over ledger.json once complete), between an attempt's record and its
outcome's (the last attempt DISPATCHING, no save under way), before the
first save, or between attempts. The run fails unless at least one kill
landed mid-save and one between the two saves of an attempt: the windows
the test is for.

Usage: crash_test.py TARGET RUNS"""

import base64
import json
import os
import random
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("TPH_TARGET", sys.argv[1] if len(sys.argv) > 1 else "native")

import pngs  # noqa: E402
from host import Host, frame, request  # noqa: E402

PRELOADED = 4000
BURST = 300


def preloaded_ledger():
    now = int(time.time() * 1000)
    jobs = {}
    for i in range(PRELOADED):
        key = "pre-%05d" % i
        jobs[key] = {"intent_id": key, "payload_sha256": "%064x" % i, "state": "COMPLETED", "printer": "Label_PDF",
                     "os_job_id": str(i + 1), "created_at_ms": now - 3600_000, "updated_at_ms": now - 3600_000,
                     "error_code": "", "error_message": "The label was printed and collected by the courier."}
    return json.dumps({"schema": 1, "updated_at_ms": now, "jobs": jobs}, indent=2).encode()


def check(ledger: dict, run: int, preload: dict):
    """The ledger must be one saved version: the preloaded records, then the
    burst's attempts 0..k-1 FAILED and attempt k DISPATCHING or FAILED."""
    jobs = ledger["jobs"]
    for key, rec in preload["jobs"].items():
        assert jobs.get(key) == rec, "preloaded record %s changed" % key
    ours = sorted(k for k in jobs if k.startswith("c%d-" % run))
    count = len(ours)
    assert ours == sorted("c%d-%04d" % (run, i) for i in range(count)), "attempts are not a prefix"
    for i, key in enumerate(sorted(ours)):
        state = jobs[key]["state"]
        if i < count - 1:
            assert state == "FAILED", "%s is %s" % (key, state)
        else:
            assert state in ("FAILED", "DISPATCHING"), "%s is %s" % (key, state)
    assert len(jobs) == PRELOADED + count
    return count


WINDOWS_AIMED_AT = ("mid-save", "between an attempt's record and its outcome's")


def landed(host, ledger: dict, run: int, count: int):
    """Where a kill landed, from what it left in the state folder."""
    if os.path.exists(os.path.join(host.folder, ".ledger.json.tmp")):
        return "mid-save"
    if count == 0:
        return "before the first save"
    if ledger["jobs"]["c%d-%04d" % (run, count - 1)]["state"] == "DISPATCHING":
        return "between an attempt's record and its outcome's"
    return "between attempts"


def main():
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    host = Host()
    png = pngs.rgba8(40, 20)
    b64 = base64.b64encode(png).decode()
    seed = preloaded_ledger()
    preload = json.loads(seed)
    rng = random.Random(20261208)
    mid_run = 0
    saved_records = 0
    windows = {}
    try:
        for run in range(runs):
            host.reset_state()
            host.write_ledger_bytes(seed)
            stream = b"".join(
                frame(request("submit", {"intent_id": "c%d-%04d" % (run, i), "printer": "No_Such_Queue",
                                         "title": "Crash test", "dpi": 300,
                                         "payload": {"format": "png", "base64": b64, "width_px": 40, "height_px": 20}},
                              request_id="q%d" % i))
                for i in range(BURST))
            proc = subprocess.Popen(host.command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, env=host.env)

            def feed():
                try:
                    proc.stdin.write(stream)
                    proc.stdin.close()
                except (BrokenPipeError, ValueError):
                    pass

            feeder = threading.Thread(target=feed)
            feeder.start()
            time.sleep(rng.uniform(0.0, 0.6))
            proc.kill()
            proc.wait()
            feeder.join()
            with open(host.ledger_path, "rb") as f:
                text = f.read()
            try:
                ledger = json.loads(text)
            except ValueError:
                raise AssertionError("run %d: ledger.json does not parse after the kill" % run)
            count = check(ledger, run, preload)
            where = landed(host, ledger, run, count)
            windows[where] = windows.get(where, 0) + 1
            saved_records += count
            mid_run += 1 if count else 0
    finally:
        host.close()
    print("crash test: %d kills, %d of them after the first save, %d attempt records seen in saved ledgers"
          % (runs, mid_run, saved_records))
    print("crash test: kills by where they landed: %s" % ", ".join("%s %d" % kv for kv in sorted(windows.items())))
    for window in WINDOWS_AIMED_AT:
        assert windows.get(window), "no kill landed %s in %d runs" % (window, runs)
    print("crash-%s: %d passed, 0 failed" % (os.environ["TPH_TARGET"], runs))


if __name__ == "__main__":
    try:
        main()
    except AssertionError as e:
        print("crash test failed: %s" % e)
        print("crash: 0 passed, 1 failed")
        sys.exit(1)
