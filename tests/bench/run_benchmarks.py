#!/usr/bin/env python3
"""Runs the benchmarks and prints each figure as a ratio against a baseline
measured in the same run. Nothing here fails on a slow machine."""

import base64
import json
import os
import random
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))
import pngs  # noqa: E402

BUILD = os.path.join(ROOT, "build", "native")
HOST = os.path.join(BUILD, "tavelin-print-host")
ECHO = os.path.join(BUILD, "framed_echo")


def frame(b):
    return struct.pack("<I", len(b)) + b


def read_frame(stream):
    n = struct.unpack("<I", stream.read(4))[0]
    return stream.read(n)


def round_trips(command, env, count=2000):
    p = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    msg = frame(b'{"protocol":1,"request_id":"r1","type":"hello"}')
    times = []
    for _ in range(count):
        t = time.perf_counter()
        p.stdin.write(msg)
        p.stdin.flush()
        read_frame(p.stdout)
        times.append(time.perf_counter() - t)
    p.stdin.close()
    p.wait()
    return statistics.median(times)


def submit_round_trip(env, png, width, height, count=20):
    """Median time of a submit through one running host (a fresh intent each
    time), against a hello through the same process."""
    p = subprocess.Popen([HOST], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    b64 = base64.b64encode(png).decode()
    times = []
    for i in range(count):
        body = json.dumps({"protocol": 1, "request_id": "r", "type": "submit", "payload": {
            "intent_id": "typical-%d-%d" % (os.getpid(), i), "printer": "Label_PDF", "title": "Typical", "dpi": 203,
            "payload": {"format": "png", "base64": b64, "width_px": width, "height_px": height}}}).encode()
        t = time.perf_counter()
        p.stdin.write(frame(body))
        p.stdin.flush()
        read_frame(p.stdout)
        times.append(time.perf_counter() - t)
    p.stdin.close()
    p.wait()
    return statistics.median(times)


def first_response(env, runs=15):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        p = subprocess.Popen([HOST], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        p.stdin.write(frame(b'{"protocol":1,"request_id":"r1","type":"hello"}'))
        p.stdin.flush()
        read_frame(p.stdout)
        times.append(time.perf_counter() - t)
        p.stdin.close()
        p.wait()
    return statistics.median(times)


def big_ledger():
    jobs = {}
    for i in range(5000):
        k = "intent-%06d" % i
        jobs[k] = {"intent_id": k, "payload_sha256": "%064x" % i, "state": "COMPLETED", "printer": "Label_PDF",
                   "os_job_id": str(i + 1), "created_at_ms": int(time.time() * 1000),
                   "updated_at_ms": int(time.time() * 1000), "error_code": "", "error_message": "Printed and collected."}
    return json.dumps({"schema": 1, "updated_at_ms": 1, "jobs": jobs}, indent=2).encode()


def peak_rss_submit(png, width, height, env):
    body = json.dumps({"protocol": 1, "request_id": "r", "type": "submit", "payload": {
        "intent_id": "rss-%d" % random.randrange(1 << 30), "printer": "Label_PDF", "title": "RSS", "dpi": 300,
        "payload": {"format": "png", "base64": base64.b64encode(png).decode(), "width_px": width,
                    "height_px": height}}}).encode()
    code = ("import resource,subprocess,sys;"
            "p=subprocess.run([sys.argv[1]],input=open(sys.argv[2],'rb').read(),capture_output=True);"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss);print(p.stdout[4:200])")
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(frame(body))
    t = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code, HOST, f.name], capture_output=True, text=True, env=env).stdout
    elapsed = time.perf_counter() - t
    os.unlink(f.name)
    return int(out.splitlines()[0]) * 1024, elapsed, out.splitlines()[1]


def main():
    scratch = tempfile.mkdtemp(prefix="tph-bench-")
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(scratch, "state"))

    # A largest PNG: noise does not compress, so 1300 x 1300 RGB is just under 5 MiB.
    rng = random.Random(7)
    w = h = 1300
    raw = b"".join(b"\x00" + rng.randbytes(w * 3) for _ in range(h))
    png = pngs.SIGNATURE + pngs.chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) + \
        pngs.chunk(b"IDAT", pngs.zlib.compress(raw, 1)) + pngs.chunk(b"IEND", b"")
    assert len(png) <= 5 * 1024 * 1024, len(png)
    png_path = os.path.join(scratch, "largest.png")
    open(png_path, "wb").write(png)

    results = {}
    bench = subprocess.run([os.path.join(BUILD, "tph_benchmarks"), "--benchmark_format=json",
                            "--benchmark_min_time=1"], capture_output=True, text=True,
                           env=dict(env, TPH_BENCH_PNG=png_path, TPH_BENCH_DIR=scratch))
    for b in json.loads(bench.stdout)["benchmarks"]:
        results[b["name"].split("/")[0]] = b["real_time"]

    hello = round_trips([HOST], env)
    echo = round_trips([ECHO], env)
    no_ledger = first_response(env)
    folder = os.path.join(scratch, "state", "com.tavelin.print")
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, "ledger.json"), "wb").write(big_ledger())
    with_ledger = first_response(env)

    solid = pngs.solid_rgb(10000, 10000, (30, 30, 30))
    rss, _, reply = peak_rss_submit(solid, 10000, 10000, env)
    label = pngs.rgba8(812, 1218)
    label_time = submit_round_trip(env, label, 812, 1218)

    print("Benchmarks (ratios against a baseline from the same run)")
    print("  hello round trip: host %.1f us, framed echo %.1f us: %.2fx" % (hello * 1e6, echo * 1e6, hello / echo))
    added = (with_ledger - no_ledger) * 1000
    parse = results["BM_ReadAndParseLedger5000"]
    print("  start-up to first response: no ledger %.1f ms, 5000 records %.1f ms: %.2fx; the ledger adds %.1f ms,"
          " reading and parsing it twice takes %.1f ms: %.2fx of that" %
          (no_ledger * 1000, with_ledger * 1000, with_ledger / no_ledger, added, 2 * parse, added / (2 * parse)))
    print("  save_ledger of 5000 records %.2f ms vs the same bytes with one flush %.2f ms: %.2fx" %
          (results["BM_SaveLedger5000"], results["BM_WriteSameBytesOneFlush"],
           results["BM_SaveLedger5000"] / results["BM_WriteSameBytesOneFlush"]))
    print("  largest submit CPU path %.1f ms vs the library calls alone %.1f ms: %.2fx" %
          (results["BM_SubmitCpuPath"], results["BM_LibraryCallsAlone"],
           results["BM_SubmitCpuPath"] / results["BM_LibraryCallsAlone"]))
    print("  peak resident memory, 10000 x 10000 label: %.0f MB, %.2fx the 400 MB device raster (%s)" %
          (rss / 1e6, rss / 400e6, reply.strip()[:60]))
    print("  4 x 6 inch 203-dpi label through the native host: %.1f ms a submit, %.1fx a hello round trip"
          " (the native build refuses at the print system, after both decodes and both ledger saves)" %
          (label_time * 1000, label_time / hello))


if __name__ == "__main__":
    main()
