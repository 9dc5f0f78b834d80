"""A real browser drives the host: Debian's Chromium loads the test extension,
which talks to the host through connectNative and sendNativeMessage.

Usage: test_browser.py TARGET [--installed] (TARGET native or windows). With
--installed (native): the Debian package is installed first and the browser
gets no manifest of the test's, so it can find the host only through the
system-wide manifest the package installed; the package is removed after.
Ends with one summary line."""

import glob
import json
import os
import subprocess
import sys
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
TARGET = sys.argv[1] if len(sys.argv) > 1 else "native"
INSTALLED = "--installed" in sys.argv
os.environ["TPH_TARGET"] = TARGET

from host import PDF_DIR, ROOT, WINEPREFIX, Host  # noqa: E402

WINDOWS = TARGET == "windows"


def pdfs(prefix):
    return glob.glob(os.path.join(PDF_DIR, prefix + "*.pdf"))


def wait_for_pdfs(prefix, count, timeout=60):
    deadline = time.time() + timeout
    while time.time() < deadline and len(pdfs(prefix)) < count:
        time.sleep(0.3)
    time.sleep(3)  # long enough for an extra one to show up, if there were one
    return pdfs(prefix)


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host()
        cls.tag = uuid.uuid4().hex[:8]
        launcher = os.path.join(cls.host.scratch, "launch-host")
        env = dict(os.environ)
        if INSTALLED:
            # The browser starts the installed host with its own environment,
            # which keeps the host's state in the test's folder.
            launcher = "-"
            env["XDG_STATE_HOME"] = cls.host.state_root
            subprocess.run(["dpkg", "-i", glob.glob(os.path.join(ROOT, "build", "native", "*.deb"))[0]], check=True,
                           capture_output=True)
        else:
            cls.write_launcher(launcher)
        out = os.path.join(cls.host.scratch, "results.json")
        try:
            subprocess.run(["node", os.path.join(HERE, "driver.mjs"), launcher, cls.tag, "Label_PDF", out],
                           check=True, timeout=900, cwd=HERE, env=env)
        finally:
            if INSTALLED:
                subprocess.run(["dpkg", "-P", "tavelin-print-host"], check=True, capture_output=True)
        with open(out) as f:
            cls.results = json.load(f)

    @classmethod
    def write_launcher(cls, launcher):
        with open(launcher, "w") as f:
            if WINDOWS:
                f.write("#!/bin/sh\nexport WINEPREFIX='%s' WINEDEBUG=-all\nexec wine '%s' \"$@\"\n"
                        % (WINEPREFIX, os.path.join(ROOT, "build", "windows", "tavelin-print-host.exe")))
            else:
                f.write("#!/bin/sh\nexport XDG_STATE_HOME='%s'\nexec '%s' \"$@\"\n"
                        % (cls.host.state_root, cls.host.command[0]))
        os.chmod(launcher, 0o755)

    @classmethod
    def tearDownClass(cls):
        cls.host.close()

    def test_page_finished(self):
        self.assertNotIn("error", self.results)

    def test_hello(self):
        result = self.results["hello"]["result"]
        self.assertEqual(result["capabilities"], ["list_printers", "submit_png", "get_job", "durable_idempotency"])
        if WINDOWS:
            self.assertEqual(result, {"arch": "x86_64", "platform": "windows", "protocol": 1, "version": "0.2.0",
                                      "capabilities": ["list_printers", "submit_png", "get_job", "durable_idempotency"]})
        else:
            self.assertEqual((result["platform"], result["version"]), ("linux", "0.2.0"))

    def test_list_printers(self):
        names = [p["name"] for p in self.results["list"]["result"]["printers"]]
        self.assertIn("Label_PDF", names)
        self.assertIn("Label_PDF_2", names)

    def test_submit_repeat_and_get_job(self):
        submit, repeat, job = self.results["submit"], self.results["repeat"], self.results["job"]
        self.assertEqual((submit["result"]["state"], submit["result"]["duplicate"]), ("SUBMITTED", False))
        self.assertEqual(repeat["result"], dict(submit["result"], duplicate=True))
        self.assertEqual(job["result"]["os_job_id"], submit["result"]["os_job_id"])
        self.assertEqual(len(wait_for_pdfs("browser-%s-port" % self.tag, 1)), 1)

    def test_twenty_distinct_attempts_at_once(self):
        answers = self.results["distinct"]
        self.assertEqual(len(answers), 20)
        self.assertEqual(sorted(a["request_id"] for a in answers), sorted("d%d" % i for i in range(20)))
        self.assertTrue(all(a["ok"] and not a["result"]["duplicate"] for a in answers), answers)
        self.assertEqual(len(wait_for_pdfs("browser-%s-many-" % self.tag, 20)), 20)

    def test_twenty_at_once_with_one_intent_print_once(self):
        answers = self.results["shared"]
        self.assertEqual(len(answers), 20)
        fresh = [a for a in answers if a["ok"] and not a["result"]["duplicate"]]
        repeats = [a for a in answers if a["ok"] and a["result"]["duplicate"]]
        self.assertEqual((len(fresh), len(repeats)), (1, 19), answers)
        self.assertEqual(len(wait_for_pdfs("browser-%s-shared" % self.tag, 1)), 1)


if __name__ == "__main__":
    suite = unittest.TestLoader().loadTestsFromTestCase(BrowserTest)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors)
    print("browser-%s%s: %d passed, %d failed" % (TARGET, "-installed" if INSTALLED else "", result.testsRun - failed,
                                                   failed))
    sys.exit(1 if failed else 0)
