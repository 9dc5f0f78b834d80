"""The installers, installed for real: the Windows MSI with msiexec under Wine
(install, upgrade, uninstall that keeps the ledger, reinstall), and the Debian
package with dpkg (its files, its manifests, its removal). The Chromium test
of the Debian package, which finds the host only through the system-wide
manifest, is tests/browser/test_browser.py with --installed."""

import glob
import json
import ntpath
import os
import shutil
import subprocess
import tempfile
import unittest
import uuid

import pngs
from host import ROOT, TARGET, VERSION, WINEPREFIX, Host, frame, request
from test_printing import printed_once, submit_payload

import test_registration  # its constants; importing its classes would run its tests here too

CHROME_ID, KEYS = test_registration.CHROME_ID, test_registration.KEYS

# The Firefox id the packages are built for by default.
FIREFOX_ID = "print-host-test@tavelin.example"
BUILD = os.path.join(ROOT, "build", "windows")


def wine(*args, timeout=300):
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
    r = subprocess.run(["wine", *args], capture_output=True, env=env, timeout=timeout)
    r.out = (r.stdout + r.stderr).decode(errors="replace").replace("\r", "")
    return r


def unix_path(windows_path):
    """C:\\users\\... inside the Wine prefix."""
    drive, rest = ntpath.splitdrive(windows_path)
    assert drive.upper() == "C:", windows_path
    return os.path.join(WINEPREFIX, "drive_c", *[p for p in rest.split("\\") if p])


def registered_manifest(key):
    q = wine("reg", "query", key, "/ve")
    if q.returncode != 0:
        return None
    line = next(l for l in q.out.splitlines() if "REG_SZ" in l)
    return line.split("REG_SZ", 1)[1].strip()


def installed_versions():
    """DisplayVersion of every installed product named like ours, per view."""
    q = wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s")
    versions, name = [], None
    for line in q.out.splitlines():
        if line.startswith("HKEY_"):
            name = None
        elif "DisplayName" in line and "Tavelin Print Host" in line:
            name = True
        elif "DisplayVersion" in line and name:
            versions.append(line.split("REG_SZ", 1)[1].strip())
    return versions


# An upgrade is this build's version with its last number one higher.
UPGRADE = ".".join(VERSION.split(".")[:-1] + [str(int(VERSION.split(".")[-1]) + 1)])


def msi(version):
    return os.path.join(BUILD, "tavelin-print-host-%s-x64.msi" % version)


def build_msi(version):
    """The windows build's `msi` target at another package version."""
    subprocess.run(["cmake", "-DTPH_PACKAGE_VERSION=%s" % version, BUILD], check=True, capture_output=True)
    try:
        subprocess.run(["cmake", "--build", BUILD, "--target", "msi"], check=True, capture_output=True)
    finally:
        subprocess.run(["cmake", "-DTPH_PACKAGE_VERSION=%s" % VERSION, BUILD], check=True, capture_output=True)


@unittest.skipUnless(TARGET == "windows", "the MSI is the Windows build's installer")
class MsiTest(unittest.TestCase):
    def setUp(self):
        for version in (VERSION, UPGRADE):
            if os.path.exists(msi(version)):
                wine("msiexec", "/x", msi(version), "/qn")
        if not os.path.exists(msi(UPGRADE)):
            build_msi(UPGRADE)
        self.host = Host()  # its state folder, emptied, is the one the installed host uses
        self.tag = uuid.uuid4().hex[:8]

    def tearDown(self):
        wine("msiexec", "/x", msi(UPGRADE), "/qn")
        self.host.close()

    def installed_exe(self):
        """The host as the Chrome manifest names it, resolved against the
        manifest's folder, as Chrome does on Windows."""
        manifest_path = registered_manifest(next(iter(KEYS)))
        manifest = json.load(open(unix_path(manifest_path)))
        return ntpath.join(ntpath.dirname(manifest_path), manifest["path"])

    def ask_installed(self, *bodies):
        exe = self.installed_exe()
        r = subprocess.run(["wine", exe], input=b"".join(frame(b) for b in bodies), capture_output=True,
                           env=dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all"), timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        out, replies = r.stdout, []
        while len(out) >= 4:
            n = int.from_bytes(out[:4], "little")
            replies.append(json.loads(out[4:4 + n]))
            out = out[4 + n:]
        return replies

    def test_install_upgrade_uninstall_reinstall(self):
        r = wine("msiexec", "/i", msi(VERSION), "/qn")
        self.assertEqual(r.returncode, 0, r.out)
        folder = None
        for key, name in KEYS.items():
            manifest_path = registered_manifest(key)
            self.assertIsNotNone(manifest_path, key)
            self.assertTrue(manifest_path.lower().endswith(r"\appdata\local\programs\tavelin" + "\\" + name), manifest_path)
            folder = ntpath.dirname(manifest_path)
            manifest = json.load(open(unix_path(manifest_path)))
            self.assertEqual((manifest["name"], manifest["type"]), ("com.tavelin.print", "stdio"))
            if "firefox" in name:
                self.assertEqual(manifest["allowed_extensions"], [FIREFOX_ID])
            else:
                self.assertEqual(manifest["allowed_origins"], ["chrome-extension://%s/" % CHROME_ID])
            self.assertTrue(os.path.isfile(unix_path(ntpath.join(folder, manifest["path"]))))
        self.assertEqual(installed_versions().count(VERSION) >= 1, True)

        intent = "msi-" + self.tag
        png = pngs.rgba8(300, 150)
        hello, first = self.ask_installed(request("hello"), request("submit", submit_payload(intent, png)))
        self.assertEqual(hello["result"]["platform"], "windows")
        self.assertTrue(first["ok"], first)

        r = wine("msiexec", "/i", msi(UPGRADE), "/qn")
        self.assertEqual(r.returncode, 0, r.out)
        self.assertEqual(set(installed_versions()), {UPGRADE}, "one copy of the product, the new one")
        self.assertTrue(self.ask_installed(request("hello"))[0]["ok"])

        r = wine("msiexec", "/x", msi(UPGRADE), "/qn")
        self.assertEqual(r.returncode, 0, r.out)
        self.assertEqual(installed_versions(), [])
        for key in KEYS:
            self.assertIsNone(registered_manifest(key), key)
        self.assertFalse(os.path.exists(unix_path(ntpath.join(folder, "tavelin-print-host.exe"))))
        self.assertEqual(self.host.read_ledger()["jobs"][intent]["state"], "SUBMITTED", "the ledger stays")

        r = wine("msiexec", "/i", msi(UPGRADE), "/qn")
        self.assertEqual(r.returncode, 0, r.out)
        again = self.ask_installed(request("submit", submit_payload(intent, png)))[0]
        self.assertEqual(again["result"], dict(first["result"], duplicate=True))
        printed_once(self, intent)


DEB_FILES = ["/usr/lib/tavelin-print-host/tavelin-print-host",
             "/etc/chromium/native-messaging-hosts/com.tavelin.print.json",
             "/etc/opt/chrome/native-messaging-hosts/com.tavelin.print.json",
             "/usr/lib/mozilla/native-messaging-hosts/com.tavelin.print.json",
             "/etc/tavelin-print/fleet.json.example"]


def deb():
    return glob.glob(os.path.join(ROOT, "build", "native", "tavelin-print-host_*_amd64.deb"))[0]


@unittest.skipIf(TARGET == "windows", "the Debian package is the Linux build's installer")
class DebianPackageTest(unittest.TestCase):
    def test_install_files_manifests_and_removal(self):
        r = subprocess.run(["dpkg", "-i", deb()], capture_output=True, text=True)
        if r.returncode != 0:
            fix = subprocess.run(["apt-get", "install", "-f", "-y", "-q"], capture_output=True, text=True)
            self.assertEqual(fix.returncode, 0, r.stdout + r.stderr + fix.stdout + fix.stderr)
        try:
            status = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Depends}", "tavelin-print-host"],
                                    capture_output=True, text=True).stdout
            self.assertIn("install ok installed", status)
            for dependency in ("libcups2", "libspng0", "libssl3", "zlib1g", "libcurl4"):
                self.assertIn(dependency, status)
            for path in DEB_FILES:
                self.assertTrue(os.path.isfile(path), path)
            for path in DEB_FILES[1:4]:
                manifest = json.load(open(path))
                self.assertEqual(manifest["path"], DEB_FILES[0])
                if "mozilla" in path:
                    self.assertEqual(manifest["allowed_extensions"], [FIREFOX_ID])
                else:
                    self.assertEqual(manifest["allowed_origins"], ["chrome-extension://%s/" % CHROME_ID])
            host = Host()
            try:
                host.command = [DEB_FILES[0]]
                self.assertTrue(host.ask(request("hello"))[0]["ok"])
            finally:
                host.close()
        finally:
            r = subprocess.run(["dpkg", "-r", "tavelin-print-host"], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        # Removed: the program and everything but the configuration under
        # /etc, which Debian keeps until the package is purged.
        for path in DEB_FILES:
            self.assertEqual(os.path.exists(path), path.startswith("/etc/"), path)
        r = subprocess.run(["dpkg", "-P", "tavelin-print-host"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for path in DEB_FILES:
            self.assertFalse(os.path.exists(path), path)



@unittest.skipIf(TARGET == "windows", "configured once, for the native build")
class PackageIdsTest(unittest.TestCase):
    """A package for release names the extensions that may call the host; one
    built with no ids at all would carry the test extensions' or none."""

    def test_packages_need_extension_ids(self):
        scratch = tempfile.mkdtemp(prefix="tph-ids-")
        try:
            cases = [([], False), (["-DTPH_TEST_EXTENSION_IDS=ON"], True),
                     (["-DTPH_TEST_EXTENSION_IDS=OFF", "-DTPH_FIREFOX_EXTENSION_IDS=labels@vendor.example"], True),
                     (["-DTPH_FIREFOX_EXTENSION_IDS=", "-DTPH_CHROMIUM_EXTENSION_IDS=abcdefghijklmnopabcdefghijklmnop"],
                      True)]
            for options, builds in cases:
                with self.subTest(options):
                    subprocess.run(["cmake", "-S", ROOT, "-B", scratch, "-DTPH_TESTS=OFF", "-DTPH_TEST_EXTENSION_IDS=OFF",
                                    "-DTPH_CHROMIUM_EXTENSION_IDS=", "-DTPH_FIREFOX_EXTENSION_IDS="] + options,
                                   check=True, capture_output=True)
                    r = subprocess.run(["cmake", "--build", scratch, "--target", "tph_package_ids"], capture_output=True,
                                       text=True)
                    self.assertEqual(r.returncode == 0, builds, r.stdout + r.stderr)
                    if not builds:
                        self.assertIn("-DTPH_CHROMIUM_EXTENSION_IDS=", r.stdout + r.stderr)
                        # CPack itself refuses too (the package target runs it
                        # after building everything, which this need not wait for).
                        for command in (["cpack", "-G", "DEB"], ["cpack"]):
                            r = subprocess.run(command, cwd=scratch, capture_output=True, text=True)
                            self.assertNotEqual(r.returncode, 0, command)
                            self.assertIn("-DTPH_CHROMIUM_EXTENSION_IDS=", r.stdout + r.stderr, command)
                        self.assertEqual(glob.glob(os.path.join(scratch, "*.deb")), [])
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
