"""The per-user browser registrations in packaging/: on Windows under Wine
(registry keys and manifests), and on Linux (manifest folders)."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from host import ROOT, TARGET, WINEPREFIX

CHROME_ID = open(os.path.join(ROOT, "tests", "browser", "extension-id.txt")).read().strip()
FIREFOX_ID = "labels@tavelin.example"
KEYS = {
    r"HKCU\Software\Google\Chrome\NativeMessagingHosts\com.tavelin.print": "com.tavelin.print.json",
    r"HKCU\Software\Microsoft\Edge\NativeMessagingHosts\com.tavelin.print": "com.tavelin.print.json",
    r"HKCU\Software\Mozilla\NativeMessagingHosts\com.tavelin.print": "com.tavelin.print.firefox.json",
}


def wine(*args):
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
    return subprocess.run(["wine", *args], capture_output=True, env=env, timeout=120)


@unittest.skipUnless(TARGET == "windows", "registry registration is for the Windows build")
class WindowsRegistrationTest(unittest.TestCase):
    def test_register_and_unregister(self):
        install = os.path.join(WINEPREFIX, "drive_c", "Program Files", "Tavelin")
        os.makedirs(install, exist_ok=True)
        shutil.copy(os.path.join(ROOT, "build", "windows", "tavelin-print-host.exe"), install)
        for script in ("register.cmd", "unregister.cmd"):
            shutil.copy(os.path.join(ROOT, "packaging", "windows", script), install)
        r = wine("cmd", "/c", r"C:\Program Files\Tavelin\register.cmd", CHROME_ID, FIREFOX_ID)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for key, manifest_name in KEYS.items():
            q = wine("reg", "query", key, "/ve")
            self.assertEqual(q.returncode, 0, q.stdout + q.stderr)
            self.assertIn(("C:\\Program Files\\Tavelin\\" + manifest_name).encode(), q.stdout)
            manifest = json.load(open(os.path.join(install, manifest_name)))
            self.assertEqual(manifest["path"], r"C:\Program Files\Tavelin\tavelin-print-host.exe")
            self.assertEqual((manifest["name"], manifest["type"]), ("com.tavelin.print", "stdio"))
            if "firefox" in manifest_name:
                self.assertEqual(manifest["allowed_extensions"], [FIREFOX_ID])
            else:
                self.assertEqual(manifest["allowed_origins"], ["chrome-extension://%s/" % CHROME_ID])
        self.assertEqual(wine("cmd", "/c", r"C:\Program Files\Tavelin\unregister.cmd").returncode, 0)
        for key in KEYS:
            self.assertNotEqual(wine("reg", "query", key, "/ve").returncode, 0)


@unittest.skipIf(TARGET == "windows", "manifest folders are the Linux registration")
class LinuxRegistrationTest(unittest.TestCase):
    def test_register_writes_each_browsers_manifest(self):
        home = tempfile.mkdtemp()
        try:
            host = os.path.join(ROOT, "build", "native", "tavelin-print-host")
            r = subprocess.run([os.path.join(ROOT, "packaging", "linux", "register.sh"), host, CHROME_ID, FIREFOX_ID],
                               env=dict(os.environ, HOME=home), capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            for folder in (".config/google-chrome/NativeMessagingHosts", ".config/chromium/NativeMessagingHosts",
                           ".mozilla/native-messaging-hosts"):
                manifest = json.load(open(os.path.join(home, folder, "com.tavelin.print.json")))
                self.assertEqual(manifest["path"], host)
                self.assertTrue(os.access(manifest["path"], os.X_OK))
        finally:
            shutil.rmtree(home)


if __name__ == "__main__":
    unittest.main()
