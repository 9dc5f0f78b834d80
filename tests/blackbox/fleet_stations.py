"""Stations of a fleet for the tests: the machine policy written where each
build reads it (a root-owned file under /etc; the policy key in Wine's
registry, with the test CA in Wine's machine root store), and hosts kept
running, asked one request at a time."""

import hashlib
import json
import os
import select
import shutil
import struct
import subprocess
import tempfile
import time

from host import ROOT, WINEPREFIX, Host, frame, request

POLICY_FOLDER = "/etc/tavelin-print"
POLICY_PATH = os.path.join(POLICY_FOLDER, "fleet.json")
WINE_POLICY_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Tavelin\\Print"
def write_native_policy(values):
    os.makedirs(POLICY_FOLDER, mode=0o755, exist_ok=True)
    os.chmod(POLICY_FOLDER, 0o755)
    tmp = POLICY_PATH + ".tmp"
    with open(tmp, "w") as f:
        json.dump(values, f)
    os.chmod(tmp, 0o644)
    os.replace(tmp, POLICY_PATH)


def remove_native_policy():
    if os.path.exists(POLICY_PATH):
        os.remove(POLICY_PATH)


def _wine_env():
    return dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")


def _import_reg(text):
    folder = tempfile.mkdtemp(prefix="tph-reg-")
    path = os.path.join(folder, "policy.reg")
    with open(path, "w", encoding="utf-16") as f:
        f.write(text)
    subprocess.run(["wine", "regedit", "/S", path], check=True, capture_output=True, env=_wine_env(), timeout=120)
    shutil.rmtree(folder, ignore_errors=True)


def _reg_text(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def write_wine_policy(values, ca_der=None):
    """The policy key's values (texts as REG_SZ, numbers as REG_DWORD), and
    the CA the members' certificates chain to, trusted as Windows trusts a
    machine's roots."""
    lines = ["Windows Registry Editor Version 5.00", "", "[-%s]" % WINE_POLICY_KEY, "", "[%s]" % WINE_POLICY_KEY]
    for name, value in values.items():
        if isinstance(value, int):
            lines.append('"%s"=dword:%08x' % (name, value))
        elif isinstance(value, list):
            lines.append('"%s"=%s' % (name, _reg_text(",".join(value))))
        else:
            lines.append('"%s"=%s' % (name, _reg_text(value)))
    if ca_der:
        # A certificate in a system store's registry key: its serialized
        # properties, of which the certificate itself (property 32) is enough.
        thumb = hashlib.sha1(ca_der).hexdigest().upper()
        blob = struct.pack("<III", 32, 1, len(ca_der)) + ca_der
        lines += ["", "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\%s]" % thumb,
                  '"Blob"=hex:' + ",".join("%02x" % b for b in blob)]
    _import_reg("\r\n".join(lines) + "\r\n")


def remove_wine_policy():
    _import_reg("Windows Registry Editor Version 5.00\r\n\r\n[-%s]\r\n" % WINE_POLICY_KEY)


class Station:
    """One host kept running as one station: a request is sent and its reply
    read before the next. A native station given a policy starts under it,
    named `name` there: the host reads the policy once, before its first
    answer, so stations on one machine can each have their own."""

    def __init__(self, name, target="native", policy=None):
        self.name = name
        self.host = Host(target)
        command = list(self.host.command)
        if policy is not None:
            write_native_policy(dict(policy, station=name))
        self.err_path = os.path.join(self.host.scratch, "err")
        self.err = open(self.err_path, "wb")
        # Replies are read from a pipe as they come: the read itself is what
        # waits for them. (Wine's helpers may keep the pipe open after the
        # host ends; a station never reads to its end.)
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err,
                                     env=self.host.env)
        self.pending = b""
        self.count = 0
        self.ask("hello")  # the policy has been read

    def ask(self, type_, payload=None, timeout=120):
        self.count += 1
        self.proc.stdin.write(frame(request(type_, payload, request_id="q%d" % self.count)))
        self.proc.stdin.flush()
        deadline = time.time() + timeout
        fd = self.proc.stdout.fileno()
        while True:
            if len(self.pending) >= 4:
                n = struct.unpack("<I", self.pending[:4])[0]
                if len(self.pending) >= 4 + n:
                    body, self.pending = self.pending[4:4 + n], self.pending[4 + n:]
                    reply = json.loads(body)
                    if reply.get("request_id") == "q%d" % self.count:
                        return reply
                    continue
            left = deadline - time.time()
            ready, _, _ = select.select([fd], [], [], max(0, left))
            if not ready:
                raise AssertionError("station %s did not answer in time" % self.name)
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                raise AssertionError("station %s ended: %r" % (self.name, open(self.err_path, "rb").read()))
            self.pending += chunk

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(60)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.err.close()
        self.host.close()
