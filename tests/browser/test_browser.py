"""A real browser drives the host through the client library: Debian's
Chromium (Playwright opens the test extension's page) or Firefox ESR (web-ext
loads the extension as a temporary add-on, whose background script reports
to a loopback listener). The same suite runs in both.

Usage: test_browser.py TARGET [--firefox] [--installed]
  TARGET      native or windows (the Windows build under Wine)
  --firefox   Firefox ESR instead of Chromium
  --installed (native, Chromium) install the Debian package first and give the
              browser no manifest of the test's: it must find the host through
              the system-wide manifest; the package is purged after.
Ends with one summary line."""

import base64
import glob
import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
TARGET = sys.argv[1] if len(sys.argv) > 1 else "native"
FIREFOX = "--firefox" in sys.argv
INSTALLED = "--installed" in sys.argv
os.environ["TPH_TARGET"] = TARGET

from host import PDF_DIR, ROOT, VERSION, WINEPREFIX, Host, settled_jobs  # noqa: E402
from printer_graphics import READERS, Bitmap  # noqa: E402
from label_printers import (FakeLabelPrinter, add_capture_queue, add_queue, decode_barcodes,  # noqa: E402
                            linear_barcodes, make_raw_only_under_wine, render_postscript)

WINDOWS = TARGET == "windows"
EXTENSION = os.path.join(HERE, "extension")
GECKO_ID = "print-host-test@tavelin.example"
INSTALLED_HOST = "/usr/lib/tavelin-print-host/tavelin-print-host"
RAW_QUEUE = "Label_Raw"
CAPTURE_QUEUE = "Label_4x6_203"
# Carriers' PDFs, and the rule that places each of their pages with the defaults.
CARRIER_ROWS = [("exact", ["page"]), ("near", ["ink"]), ("102x152", ["ink"]), ("a6", ["ink"]), ("letter", ["region"]),
                ("a4", ["region"]), ("mixed", ["page", "region", "ink"]), ("grey", ["page"])]


def pdfs(prefix):
    """cups-pdf's files of the jobs whose name starts with `prefix` (it writes a space as "_")."""
    return glob.glob(os.path.join(PDF_DIR, prefix.replace(" ", "_") + "*.pdf"))


def settled(prefix, at_least=0):
    """The scheduler's jobs whose name starts with `prefix`, once at least
    `at_least` are there and none is still to print. Asked after the browser
    has reported: every answer of the host's is in by then, and a job the
    host made is in the scheduler before its answer."""
    return settled_jobs(lambda name: name.startswith(prefix), at_least=at_least)


def printed(test, prefix, count):
    """Asserts that the scheduler took exactly `count` jobs named `prefix`...,
    that each completed, and that each left one PDF; returns the PDFs."""
    jobs = settled(prefix, at_least=count)
    test.assertEqual(len(jobs), count, jobs)
    test.assertEqual({j["state"] for j in jobs}, {"completed"}, jobs)
    files = pdfs(prefix)
    test.assertEqual(len(files), count, files)
    return files


def host_pids():
    """The running print host processes of this run's build."""
    found = []
    binary = os.path.realpath(os.path.join(ROOT, "build", "native", "tavelin-print-host"))
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if WINDOWS:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if b"tavelin-print-host.exe" in f.read():
                        found.append(int(pid))
            elif os.path.realpath("/proc/%s/exe" % pid) in (binary, INSTALLED_HOST):
                found.append(int(pid))
        except OSError:
            pass
    return found


class KillWhilePrinting(threading.Thread):
    """Kills the host once the ledger holds the attempt as DISPATCHING: it is
    then decoding or printing, and its answer never comes."""

    def __init__(self, ledger_path, intent):
        super().__init__(daemon=True)
        self.ledger_path, self.intent = ledger_path, intent
        self.killed = []
        self.stop = False

    def run(self):
        while not self.stop:
            try:
                ledger = json.loads(open(self.ledger_path, "rb").read())
            except (OSError, ValueError):
                ledger = {}
            record = ledger.get("jobs", {}).get(self.intent)
            if record and record["state"] == "DISPATCHING":
                for pid in host_pids():
                    try:
                        os.kill(pid, signal.SIGKILL)
                        self.killed.append(pid)
                    except OSError:
                        pass
                return
            time.sleep(0.002)


def copy_library(extension_dir):
    """The built client library, where the extension imports it from."""
    lib = os.path.join(extension_dir, "lib")
    shutil.rmtree(lib, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "clients", "js", "dist"), lib)


def write_carrier_pdfs(extension_dir, prefix):
    """Carriers' PDFs, in carrier/: codes "<prefix>-<file>-<page>"."""
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_carrier_pdfs.py"),
                    os.path.join(extension_dir, "carrier"), prefix], check=True)


def write_label_pdf(extension_dir, prefix):
    """The PDF of labels the suite prints: Code 128 barcodes of "<prefix>-<page>"."""
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_label_pdf.py"),
                    os.path.join(extension_dir, "labels.pdf"), prefix], check=True)


def barcodes(path, page):
    """What zbarimg reads on one page of a printed PDF, rendered at 300 dpi."""
    prefix = tempfile.mktemp()
    subprocess.run(["pdftoppm", "-r", "300", "-gray", "-png", "-f", str(page), "-l", str(page), path, prefix], check=True)
    [image] = glob.glob(prefix + "*.png")
    out = subprocess.run(["zbarimg", "-q", "--raw", image], capture_output=True, text=True).stdout
    os.remove(image)
    return out.split()


def write_launcher(host, record=None):
    """What a host manifest names: this build's host with the test's state.
    With `record`, every byte the browser sends the host is also appended to
    that file, so a test can count the requests on the wire."""
    launcher = os.path.join(host.scratch, "launch-host")
    tee = "tee -a '%s' | " % record if record else ""
    with open(launcher, "w") as f:
        if WINDOWS:
            f.write("#!/bin/sh\nexport WINEPREFIX='%s' WINEDEBUG=-all\n%sexec wine '%s' \"$@\"\n"
                    % (WINEPREFIX, tee, os.path.join(ROOT, "build", "windows", "tavelin-print-host.exe")))
        else:
            f.write("#!/bin/sh\nexport XDG_STATE_HOME='%s'\n%sexec '%s' \"$@\"\n" % (host.state_root, tee, host.command[0]))
    os.chmod(launcher, 0o755)
    return launcher


class Results(http.server.BaseHTTPRequestHandler):
    received = None
    arrived = None  # a threading.Event, set once the report is in

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        if self.path.endswith("/progress"):
            # The add-on's steps as they finish: where a run that never
            # reports stopped.
            print("  firefox: %s" % json.loads(body).get("line"), flush=True)
        else:
            type(self).received = json.loads(body)
            type(self).arrived.set()
        self.send_response(204)
        self.send_header("Access-Control-Allow-Origin", "*")
        self.end_headers()

    def log_message(self, *args):
        pass


def firefox_report(source, gecko_id, launcher, scratch, write_config):
    """Loads the add-on in SOURCE into headless Firefox ESR with web-ext, with
    a host manifest that lets GECKO_ID start LAUNCHER and one for another
    add-on only. write_config(url) tells the add-on where to POST what it
    found; returns that."""

    class Handler(Results):
        received = None
        arrived = threading.Event()

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    write_config("http://127.0.0.1:%d/results" % server.server_address[1])
    home = os.path.join(scratch, "home-" + uuid.uuid4().hex[:6])
    hosts = os.path.join(home, ".mozilla", "native-messaging-hosts")
    os.makedirs(hosts)
    json.dump({"name": "com.tavelin.print", "description": "Tavelin label print host (test)",
               "path": launcher, "type": "stdio", "allowed_extensions": [gecko_id]},
              open(os.path.join(hosts, "com.tavelin.print.json"), "w"))
    json.dump({"name": "com.tavelin.forbidden", "description": "Tavelin label print host (test, another add-on)",
               "path": launcher, "type": "stdio", "allowed_extensions": ["other@tavelin.example"]},
              open(os.path.join(hosts, "com.tavelin.forbidden.json"), "w"))
    web_ext = os.path.join(HERE, "node_modules", ".bin", "web-ext")
    profile = tempfile.mkdtemp(prefix="tph-firefox-")
    web_ext_log = os.path.join(scratch, "web-ext-%s.log" % uuid.uuid4().hex[:6])
    p = subprocess.Popen([web_ext, "run", "--verbose", "--firefox=/usr/bin/firefox-esr", "--source-dir", source,
                          "--firefox-profile", profile, "--no-reload", "--no-input", "--arg=-headless"],
                         env=dict(os.environ, HOME=home), stdout=open(web_ext_log, "w"), stderr=subprocess.STDOUT,
                         start_new_session=True)
    try:
        # The report, or Firefox gone: whichever comes first (each wait is
        # cut short by the report's arrival).
        deadline = time.time() + 600
        while not Handler.arrived.wait(0.5) and time.time() < deadline and p.poll() is None:
            pass
    finally:
        os.killpg(p.pid, signal.SIGTERM)
        try:
            p.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
        server.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
    if Handler.received is None:
        with open(web_ext_log, errors="replace") as f:
            tail = f.read()[-4000:]
        raise AssertionError("Firefox reported nothing; web-ext said:\n" + tail)
    return Handler.received


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host()
        cls.tag = uuid.uuid4().hex[:8]
        # A label printer without a driver, behind a raw queue.
        cls.label_printer = FakeLabelPrinter()
        cls.label_printer.start()
        add_queue(RAW_QUEUE, "socket://127.0.0.1:%d/?snmp=false" % cls.label_printer.port)
        if WINDOWS:
            make_raw_only_under_wine(RAW_QUEUE)
        # A 203-dpi PostScript label printer, whose bytes ghostscript renders.
        cls.capture_printer = FakeLabelPrinter()
        cls.capture_printer.start()
        add_capture_queue(CAPTURE_QUEUE, cls.capture_printer.port)
        cls.watcher = KillWhilePrinting(cls.host.ledger_path, "kill-" + cls.tag)
        cls.watcher.start()
        try:
            cls.results = cls.run_firefox() if FIREFOX else cls.run_chromium()
        finally:
            cls.watcher.stop = True

    @classmethod
    def tearDownClass(cls):
        cls.host.close()
        cls.label_printer.server.close()
        cls.capture_printer.server.close()

    @classmethod
    def run_chromium(cls):
        copy_library(EXTENSION)
        write_label_pdf(EXTENSION, "L" + cls.tag)
        write_carrier_pdfs(EXTENSION, "B" + cls.tag)
        env = dict(os.environ)
        launcher = "-"
        if INSTALLED:
            # The browser starts the installed host with its own environment,
            # which keeps the host's state in the test's folder.
            env["XDG_STATE_HOME"] = cls.host.state_root
            subprocess.run(["dpkg", "-i", glob.glob(os.path.join(ROOT, "build", "native", "*.deb"))[0]], check=True,
                           capture_output=True)
        else:
            launcher = write_launcher(cls.host)
        out = os.path.join(cls.host.scratch, "results.json")
        try:
            subprocess.run(["node", os.path.join(HERE, "driver.mjs"), launcher, cls.tag, "Label_PDF", RAW_QUEUE,
                            CAPTURE_QUEUE, out],
                           check=True, timeout=1200, cwd=HERE, env=env)
        finally:
            if INSTALLED:
                subprocess.run(["dpkg", "-P", "tavelin-print-host"], check=True, capture_output=True)
        with open(out) as f:
            return json.load(f)

    @classmethod
    def run_firefox(cls):
        source = os.path.join(cls.host.scratch, "addon")
        shutil.copytree(EXTENSION, source, ignore=shutil.ignore_patterns("lib"))
        copy_library(source)
        write_label_pdf(source, "L" + cls.tag)
        write_carrier_pdfs(source, "B" + cls.tag)
        manifest = json.load(open(os.path.join(source, "manifest.json")))
        manifest.pop("key")
        manifest["browser_specific_settings"] = {"gecko": {"id": GECKO_ID}}
        manifest["background"] = {"scripts": ["background.js"], "type": "module"}
        manifest["host_permissions"] = ["http://127.0.0.1/*"]
        json.dump(manifest, open(os.path.join(source, "manifest.json"), "w"), indent=2)

        def write_config(report):
            json.dump({"tag": cls.tag, "printer": "Label_PDF", "rawPrinter": RAW_QUEUE, "capturePrinter": CAPTURE_QUEUE,
                       "bigLabel": {"width": 6000, "height": 8000},
                       "report": report}, open(os.path.join(source, "config.json"), "w"))

        return firefox_report(source, GECKO_ID, write_launcher(cls.host), cls.host.scratch, write_config)

    def test_page_finished(self):
        self.assertNotIn("error", self.results)

    def test_hello(self):
        result = self.results["hello"]["result"]
        self.assertEqual(result["capabilities"], ["list_printers", "submit_png", "get_job", "durable_idempotency", "submit_raw",
                                                 "describe_printer", "submit_document", "find_jobs", "watch"])
        self.assertEqual((result["platform"], result["version"]), ("windows" if WINDOWS else "linux", VERSION))

    def test_list_printers(self):
        names = [p["name"] for p in self.results["list"]["result"]["printers"]]
        self.assertIn("Label_PDF", names)
        self.assertIn("Label_PDF_2", names)

    def test_submit_repeat_and_get_job(self):
        submit, repeat, job = self.results["submit"], self.results["repeat"], self.results["job"]
        self.assertEqual((submit["result"]["state"], submit["result"]["duplicate"]), ("SUBMITTED", False))
        self.assertEqual(repeat["result"], dict(submit["result"], duplicate=True))
        self.assertEqual(job["result"]["osJobId"], submit["result"]["osJobId"])
        printed(self, "browser-%s-port" % self.tag, 1)

    def test_twenty_distinct_attempts_at_once(self):
        answers = self.results["distinct"]
        self.assertEqual(len(answers), 20)
        self.assertTrue(all(a["ok"] and not a["result"]["duplicate"] for a in answers), answers)
        self.assertEqual(sorted(a["result"]["intentId"] for a in answers),
                         sorted("many-%s-%d" % (self.tag, i) for i in range(20)))
        printed(self, "browser-%s-many-" % self.tag, 20)

    def test_twenty_at_once_with_one_intent_print_once(self):
        answers = self.results["shared"]
        self.assertEqual(len(answers), 20)
        fresh = [a for a in answers if a["ok"] and not a["result"]["duplicate"]]
        repeats = [a for a in answers if a["ok"] and a["result"]["duplicate"]]
        self.assertEqual((len(fresh), len(repeats)), (1, 19), answers)
        printed(self, "browser-%s-shared" % self.tag, 1)

    def test_a_host_killed_while_printing_is_repeated_with_the_same_id(self):
        intent = "kill-" + self.tag
        self.assertTrue(self.watcher.killed, "the host was never caught printing")
        self.assertGreaterEqual(len(self.results["killedRetries"]), 1)
        self.assertEqual(set(self.results["killedRetries"]), {intent})
        # The new host recovered the cut-short attempt: it may be in the
        # queue, so it is never printed again; the user decides.
        self.assertEqual(self.results["killed"]["error"]["code"], "UNKNOWN_OUTCOME")
        self.assertEqual(self.results["killed"]["error"]["kind"], "ask-the-user-before-reprinting")
        jobs = self.host.read_ledger()["jobs"]
        self.assertEqual((jobs[intent]["state"], jobs[intent]["error_code"]), ("UNKNOWN", "HOST_RESTARTED"))
        self.assertEqual([k for k in jobs if k.startswith("kill-")], [intent], "no other id was made up")
        # The killed host's job, if it reached the scheduler before the kill,
        # is the only one: a PDF for it if it completed, and none otherwise.
        jobs = settled("browser-%s-killed" % self.tag)
        self.assertLessEqual(len(jobs), 1, jobs)
        self.assertEqual(len(pdfs("browser-%s-killed" % self.tag)), sum(j["state"] == "completed" for j in jobs), jobs)

    def test_a_pdf_prints_at_physical_size_once_and_every_barcode_decodes(self):
        pdf, repeat = self.results["pdf"], self.results["pdfRepeat"]
        self.assertTrue(pdf["ok"], pdf)
        [part] = pdf["result"]["parts"]
        self.assertEqual((part["intentId"], part["pages"], part["result"]["duplicate"]), ("pdf-" + self.tag, [1, 2, 3], False))
        self.assertEqual([p["result"]["duplicate"] for p in repeat["result"]["parts"]], [True])
        [pdf_file] = printed(self, "browser-%s-pdf" % self.tag, 1)
        # Three pages of 4 x 6 in at the queue's 300 dpi, the landscape one
        # turned to portrait rather than cut.
        listing = subprocess.run(["pdfimages", "-list", pdf_file], capture_output=True, text=True, check=True).stdout
        images = [tuple(int(v) for v in (r.split()[3], r.split()[4], r.split()[12])) for r in listing.splitlines()[2:]]
        self.assertEqual(images, [(1200, 1800, 300)] * 3)
        self.assertEqual([barcodes(pdf_file, n) for n in (1, 2, 3)],
                         [["L%s-%d" % (self.tag, n)] for n in (1, 2, 3)])

    def test_a_pdf_prints_on_a_raw_queue_in_the_printers_language(self):
        raw = self.results["raw"]
        d = raw["described"]["result"]
        self.assertEqual((d["raw"], d["dpiX"], d["media"]), (True, None, None))
        self.assertEqual(raw["untargeted"]["error"]["code"], "BAD_REQUEST")
        self.assertIn("is a raw queue", raw["untargeted"]["error"]["message"])
        jobs = settled("browser-%s-raw-" % self.tag, at_least=2)
        self.assertEqual(sorted(j["name"] for j in jobs), ["browser-%s-raw-%s" % (self.tag, l) for l in ("tspl", "zpl")])
        received = self.label_printer.connections
        self.assertEqual(len(received), 2, "one connection an attempt; a repeat or a refusal sends nothing")
        scratch = tempfile.mkdtemp()
        for language in ("zpl", "tspl"):
            with self.subTest(language):
                result = raw[language]
                self.assertEqual(result["first"]["result"]["parts"][0]["pages"], [1, 2, 3])
                self.assertFalse(result["first"]["result"]["parts"][0]["result"]["duplicate"])
                self.assertTrue(result["repeat"]["result"]["parts"][0]["result"]["duplicate"])
                self.assertEqual(result["changed"]["error"]["code"], "INTENT_CONFLICT")
                rendered = [Bitmap((p["width"] + 7) // 8 * 8, p["height"], base64.b64decode(p["rows"]))
                            for p in result["pages"]]
                # The one connection in this language, read back dot for dot.
                mine = [c for c in received if c.startswith(b"^XA" if language == "zpl" else b"SIZE ")]
                self.assertEqual(len(mine), 1)
                pages = READERS[language](mine[0])
                self.assertEqual(pages, rendered)
                codes = []
                for n, page in enumerate(pages):
                    path = os.path.join(scratch, "%s-%d.pbm" % (language, n))
                    with open(path, "wb") as f:
                        f.write(page.pbm())
                    codes += subprocess.run(["zbarimg", "-q", "--raw", path], capture_output=True,
                                            text=True).stdout.split()
                self.assertEqual(sorted(codes), ["L%s-%d" % (self.tag, n) for n in (1, 2, 3)])

    def test_carriers_pdfs_print_at_full_size_with_the_defaults_and_every_code_reads(self):
        results = self.results["carrier"]
        settled("browser-%s-carrier-" % self.tag, at_least=len(CARRIER_ROWS))
        scratch = tempfile.mkdtemp()
        printed = {}
        for connection in self.capture_printer.connections:
            for page in render_postscript(connection, scratch):
                printed[tuple(decode_barcodes(page, scratch))] = page
        for name, rules in CARRIER_ROWS:
            with self.subTest(name):
                result = results[name]
                self.assertTrue(result["ok"], result)
                placements = [p for part in result["result"]["parts"] for p in part["placements"]]
                self.assertEqual([(p["rule"], p["scale"]) for p in placements], [(rule, 1) for rule in rules])
                for n in range(1, len(rules) + 1):
                    code = "B%s-%s-%d" % (self.tag, name, n)
                    page = printed.get(("CODE-128:" + code, "QR-Code:Q" + code))
                    self.assertIsNotNone(page, "page %d is not among the printed pages, or a code does not read" % n)
                    [scanlines] = linear_barcodes(page)
                    self.assertEqual(set(scanlines), {(2, 2)}, "page %d" % n)

    def test_a_pdf_renders_to_the_same_bytes_in_every_browser(self):
        d = self.results["describe"]["result"]
        self.assertEqual((d["dpiX"], d["printableArea"]["widthPx"]), (300, 2479))  # A4 at 300 dpi
        folder = tempfile.mkdtemp()
        write_label_pdf(folder, "L" + self.tag)
        reference = subprocess.run(["node", os.path.join(HERE, "render_pdf.mjs"), os.path.join(folder, "labels.pdf"),
                                    str(d["dpiX"]), str(d["printableArea"]["widthPx"]),
                                    str(d["printableArea"]["heightPx"])],
                                   capture_output=True, text=True, check=True).stdout
        digests = json.loads(reference)["digests"]
        self.assertEqual(len(digests), 3)
        self.assertEqual(self.results["pdfDigests"], digests)
        if not FIREFOX:
            self.assertEqual(self.results["pdfDigestsWorker"], digests, "in the service worker")

    def test_a_transparent_canvas_prints_white_around_the_drawing(self):
        from test_printing import ink_box
        self.assertTrue(self.results["transparent"]["ok"], self.results["transparent"])
        [pdf_file] = printed(self, "browser-%s-clear" % self.tag, 1)
        (x0, y0, x1, y1), _ = ink_box(pdf_file)
        self.assertLessEqual(abs((x1 - x0) - 100), 1)  # the drawn square, not the whole 200 x 100 canvas
        self.assertLessEqual(abs((y1 - y0) - 50), 1)

    def test_a_missing_host_is_reported_as_not_installed(self):
        self.assertEqual(self.results["absent"]["error"]["kind"], "host-not-installed")

    def test_a_second_client_is_answered_once_the_first_is_idle(self):
        self.assertTrue(self.results["secondTab"]["ok"], self.results["secondTab"])
        self.assertLess(self.results["secondTabWaitedMs"], 3000)

    def test_a_host_that_does_not_allow_the_extension_says_so(self):
        error = self.results["forbidden"]["error"]
        if FIREFOX:
            # Firefox answers as if there were no host at all; the message
            # names both causes and the id.
            self.assertEqual(error["kind"], "host-not-installed")
            self.assertIn("does not list this extension (%s)" % GECKO_ID, error["message"])
        else:
            self.assertEqual((error["code"], error["kind"]), ("HOST_FORBIDDEN", "extension-not-allowed"))
            self.assertIn("chrome-extension://%s/" % open(os.path.join(HERE, "extension-id.txt")).read().strip(),
                          error["message"])

    def test_label_canvas_has_the_labels_pixels(self):
        self.assertEqual(self.results["labelCanvas"], [812, 1218])


@unittest.skipIf(INSTALLED or (FIREFOX and WINDOWS), "the example is tried in Chromium and, natively, in Firefox")
class ExampleExtensionTest(unittest.TestCase):
    """The example a vendor copies, one manifest for both browsers, used as a
    person would."""

    def use_example(self, host, order, wait_for, pdf, record):
        """What the example's page shows after Print, and after Print PDF twice;
        in Chromium, also what it shows of the printer while its queue stops."""
        launcher = write_launcher(host, record)
        if not FIREFOX:
            out = os.path.join(host.scratch, "status.txt")
            if WINDOWS:
                offline = ("WINEPREFIX='%s' WINEDEBUG=-all wine reg add 'HKLM\\System\\CurrentControlSet\\Control"
                           "\\Print\\Printers\\Label_PDF' /v Attributes /t REG_DWORD /d %%d /f" % WINEPREFIX)
                stop, start = offline % 1024, offline % 0
            else:
                stop, start = "cupsdisable Label_PDF", "cupsenable Label_PDF"
            try:
                subprocess.run(["node", os.path.join(HERE, "example.mjs"), launcher, "Label_PDF", order, wait_for, out,
                                pdf], check=True, timeout=600, cwd=HERE,
                               env=dict(os.environ, EXAMPLE_STOP=stop, EXAMPLE_START=start))
            finally:
                subprocess.run(start, shell=True, check=True, capture_output=True)
            return open(out).read().splitlines()
        # Firefox has no automation library here: a copy of the example, its
        # manifest untouched, gets a script that opens its page as the toolbar
        # button would and one that clicks through it.
        source = os.path.join(host.scratch, "example")
        shutil.copytree(os.path.join(ROOT, "examples", "extension"), source)
        shutil.copy(os.path.join(HERE, "drive_example.js"), source)
        shutil.copy(pdf, os.path.join(source, "labels.pdf"))
        with open(os.path.join(source, "background.js"), "a") as f:
            f.write("\nchrome.tabs.create({ url: 'print.html' });\n")
        page = os.path.join(source, "print.html")
        html = open(page).read()
        open(page, "w").write(html.replace("</body>", '<script type="module" src="drive_example.js"></script>\n</body>'))
        gecko_id = json.load(open(os.path.join(source, "manifest.json")))["browser_specific_settings"]["gecko"]["id"]

        def write_config(report):
            json.dump({"printer": "Label_PDF", "order": order, "waitFor": wait_for, "report": report},
                      open(os.path.join(source, "drive.json"), "w"))

        seen = firefox_report(source, gecko_id, launcher, host.scratch, write_config)
        self.assertNotIn("error", seen)
        return seen["shown"]

    def test_prints_a_label_and_follows_it(self):
        host = Host()
        try:
            copy_library_into = os.path.join(ROOT, "examples", "extension", "print-client")
            shutil.rmtree(copy_library_into, ignore_errors=True)
            shutil.copytree(os.path.join(ROOT, "clients", "js", "dist"), copy_library_into)
            order = "ex-" + uuid.uuid4().hex[:8]
            # Wine's spooler forgets a finished job, so there the job stays SUBMITTED.
            wait_for = "following it" if WINDOWS else "Order %s: printed." % order
            write_label_pdf(host.scratch, "E" + order)
            record = os.path.join(host.scratch, "requests.bin")
            label, sent, repeated, *rest = self.use_example(host, order, wait_for,
                                                            os.path.join(host.scratch, "labels.pdf"), record)
            # The outcome came from the host's events: not one get_job went over the wire.
            requests = open(record, "rb").read()
            self.assertIn(b'"type":"watch"', requests)
            self.assertEqual(requests.count(b'"type":"get_job"'), 0)
            if not FIREFOX:
                preview, ready, attention, again = rest
                # The 4 x 6 in page 1 on the A4 queue at 300 dpi, dot for dot.
                self.assertEqual(preview, "Page 1 as Label_PDF receives it: 1200 x 1800 dots at 300 dpi, placed by "
                                          "'page' at 100 %.")
                # The printer's state as the host told it, when its queue stopped and went on.
                self.assertEqual((ready, again), ("Label_PDF is ready.", "Label_PDF is ready."))
                self.assertEqual(attention, "Label_PDF needs attention: %s." %
                                 ("it is offline" if WINDOWS else "the queue is paused"))
            self.assertIn(wait_for, label)
            printed(self, "Order " + order, 1)
            # The Print PDF action: three pages as one job, and a second click prints nothing.
            self.assertEqual((sent, repeated), ("Order %s: PDF sent, 3 page(s) in 1 job(s)." % order,
                                                "Order %s: PDF already printed, 3 page(s) in 1 job(s)." % order))
            [pdf_file] = printed(self, "PDF for order " + order, 1)
            self.assertEqual([barcodes(pdf_file, n) for n in (1, 2, 3)], [["E%s-%d" % (order, n)] for n in (1, 2, 3)])
        finally:
            host.close()


if __name__ == "__main__":
    suite = unittest.TestLoader().loadTestsFromTestCase(BrowserTest)
    suite.addTests(unittest.TestLoader().loadTestsFromTestCase(ExampleExtensionTest))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors)
    name = "browser-%s%s%s" % (TARGET, "-firefox" if FIREFOX else "", "-installed" if INSTALLED else "")
    skipped = len(result.skipped)
    # A class that failed to set up counts its error without running a test.
    print("%s: %d passed, %d failed, %d skipped" % (name, max(0, result.testsRun - failed - skipped), failed, skipped))
    sys.exit(1 if failed else 0)
