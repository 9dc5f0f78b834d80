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
    def test_register_writes_each_browsers_manifest_and_unregister_removes_them(self):
        host = os.path.join(ROOT, "build", "native", "tavelin-print-host")
        other = "b" * 32
        chrome = (".config/google-chrome/NativeMessagingHosts", ".config/chromium/NativeMessagingHosts")
        firefox = (".mozilla/native-messaging-hosts",)
        origins = lambda *ids: {"allowed_origins": ["chrome-extension://%s/" % i for i in ids]}
        cases = [
            ("the older form: one of each", [CHROME_ID, FIREFOX_ID],
             {f: origins(CHROME_ID) for f in chrome} | {firefox[0]: {"allowed_extensions": [FIREFOX_ID]}}),
            ("two Chrome extensions, no Firefox", ["--chrome", CHROME_ID, "--chrome", other],
             {f: origins(CHROME_ID, other) for f in chrome}),
            ("Firefox only", ["--firefox", FIREFOX_ID, "--firefox", "{0b1c2d3e-1111-2222-3333-444455556666}"],
             {firefox[0]: {"allowed_extensions": [FIREFOX_ID, "{0b1c2d3e-1111-2222-3333-444455556666}"]}}),
            ("not a Chrome id", ["--chrome", "not-an-id"], None),
            ("no extension", [], None),
        ]
        for name, args, expected in cases:
            with self.subTest(name):
                home = tempfile.mkdtemp()
                try:
                    env = dict(os.environ, HOME=home)
                    r = subprocess.run([os.path.join(ROOT, "packaging", "linux", "register.sh"), host] + args,
                                       env=env, capture_output=True, timeout=60)
                    written = {f: json.load(open(os.path.join(home, f, "com.tavelin.print.json")))
                               for f in chrome + firefox if os.path.exists(os.path.join(home, f, "com.tavelin.print.json"))}
                    if expected is None:
                        self.assertEqual((r.returncode, written), (2, {}), r.stderr)
                        continue
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(sorted(written), sorted(expected))
                    for folder, manifest in written.items():
                        self.assertEqual(manifest["path"], host)
                        self.assertTrue(os.access(manifest["path"], os.X_OK))
                        self.assertEqual({k: v for k, v in manifest.items() if k.startswith("allowed_")}, expected[folder])
                    subprocess.run([os.path.join(ROOT, "packaging", "linux", "unregister.sh")], env=env, check=True,
                                   capture_output=True, timeout=60)
                    self.assertFalse(any(os.path.exists(os.path.join(home, f, "com.tavelin.print.json"))
                                         for f in chrome + firefox))
                finally:
                    shutil.rmtree(home)


if __name__ == "__main__":
    unittest.main()
