"""A real etcd cluster on loopback ports for the fleet tests: TLS on every
client and peer port with certificates made here, data on tmpfs, members
that can be killed, restarted, stopped and continued."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ETCD = shutil.which("etcd") or "/usr/bin/etcd"
ETCDCTL = shutil.which("etcdctl") or "/usr/bin/etcdctl"
ROOT_PASSWORD = "root-secret"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Certificates:
    """A test CA, a certificate the members serve (and use between them), and
    client certificates named as etcd users."""

    def __init__(self, folder):
        self.folder = folder
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                "-subj", "/CN=tph-test-fleet-ca", "-days", "2",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                cwd=folder)
        self.ca = os.path.join(folder, "ca.pem")
        self.server_cert, self.server_key = self.issue("member", "IP:127.0.0.1,DNS:localhost")

    def issue(self, name, alt_names=None, common_name=True):
        """A certificate for `name` signed by the CA; (cert, key) paths.
        Without `common_name` it names an organisation only: etcd's JSON
        gateway refuses a request whose certificate names a user."""
        ext = os.path.join(self.folder, name + ".ext")
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth,clientAuth\n")
            if alt_names:
                f.write("subjectAltName=%s\n" % alt_names)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                "-subj", "/CN=" + name if common_name else "/O=" + name, cwd=self.folder)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext", cwd=self.folder)
        return os.path.join(self.folder, name + ".pem"), os.path.join(self.folder, name + ".key")

    def ca_der(self):
        out = subprocess.run(["openssl", "x509", "-in", self.ca, "-outform", "DER"], check=True,
                             capture_output=True).stdout
        return out


class EtcdCluster:
    def __init__(self, members=3, client_cert_auth=False):
        self.folder = tempfile.mkdtemp(prefix="tph-etcd-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.certs = Certificates(self.folder)
        self.client_cert_auth = client_cert_auth
        self.client_ports = [free_port() for _ in range(members)]
        self.peer_ports = [free_port() for _ in range(members)]
        self.procs = [None] * members
        self.stopped = set()
        self.root_cert = None
        self.auth = False
        if client_cert_auth:
            self.root_cert = self.certs.issue("root")

    @property
    def endpoints(self):
        return ["https://127.0.0.1:%d" % p for p in self.client_ports]

    def _command(self, i, state):
        cluster = ",".join("m%d=https://127.0.0.1:%d" % (j, p) for j, p in enumerate(self.peer_ports))
        c = self.certs
        command = [ETCD, "--name", "m%d" % i, "--data-dir", os.path.join(self.folder, "m%d" % i),
                   "--listen-client-urls", self.endpoints[i], "--advertise-client-urls", self.endpoints[i],
                   "--listen-peer-urls", "https://127.0.0.1:%d" % self.peer_ports[i],
                   "--initial-advertise-peer-urls", "https://127.0.0.1:%d" % self.peer_ports[i],
                   "--initial-cluster", cluster, "--initial-cluster-state", state,
                   "--initial-cluster-token", "tph-fleet",
                   "--cert-file", c.server_cert, "--key-file", c.server_key,
                   "--peer-cert-file", c.server_cert, "--peer-key-file", c.server_key,
                   "--peer-trusted-ca-file", c.ca, "--peer-client-cert-auth",
                   # Quick elections, so that a lost leader is replaced within the hosts' bound.
                   "--heartbeat-interval", "50", "--election-timeout", "500",
                   "--logger", "zap", "--log-level", "error"]
        if self.client_cert_auth:
            # A CA for clients makes etcd ask every client for a certificate.
            command += ["--trusted-ca-file", c.ca, "--client-cert-auth"]
        return command

    def start(self):
        try:
            for i in range(len(self.procs)):
                self._spawn(i, "new")
            self.wait_healthy()
        except BaseException:
            self.close()
            raise

    def _spawn(self, i, state):
        log = open(os.path.join(self.folder, "m%d.log" % i), "ab")
        self.procs[i] = subprocess.Popen(self._command(i, state), stdout=log, stderr=log)
        log.close()

    def ctl(self, *args, endpoints=None, user=True, timeout=20):
        command = [ETCDCTL, "--endpoints", ",".join(endpoints or self.endpoints), "--cacert", self.certs.ca,
                   "--dial-timeout", "2s", "--command-timeout", "5s"]
        if self.root_cert:
            command += ["--cert", self.root_cert[0], "--key", self.root_cert[1]]
        elif user:
            command += ["--user", "root:" + ROOT_PASSWORD]
        return subprocess.run(command + list(args), capture_output=True, timeout=timeout,
                              env=dict(os.environ, ETCDCTL_API="3"))

    def wait_healthy(self, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            r = self.ctl("endpoint", "health", user=self.auth)
            # etcdctl itself waits (its dial and command time-outs) for a
            # member that is not up yet: no pause is needed between asks.
            if r.returncode == 0:
                return
        raise AssertionError("etcd did not become healthy: %r" % r.stderr[-400:])

    def enable_auth(self, prefix, users):
        """A role with read and write under `prefix`/ only, the users given
        ({name: password or None for a certificate's name}) granted it, and
        authentication on."""
        steps = [("user", "add", "root:" + ROOT_PASSWORD), ("role", "add", "fleet"),
                 ("role", "grant-permission", "fleet", "readwrite", "--prefix=true", prefix + "/")]
        for name, password in users.items():
            steps.append(("user", "add", "%s:%s" % (name, password or "unused-" + name)))
            steps.append(("user", "grant-role", name, "fleet"))
        steps.append(("user", "grant-role", "root", "root"))
        for step in steps:
            r = self.ctl(*step, user=False)
            assert r.returncode == 0, (step, r.stderr)
        r = self.ctl("auth", "enable", user=False)
        assert r.returncode == 0, r.stderr
        self.auth = True

    def records(self, prefix):
        """Every record under `prefix`/intents/, by intent id."""
        r = self.ctl("get", "--prefix", prefix + "/intents/", "-w", "json", timeout=60)
        assert r.returncode == 0, r.stderr
        import base64
        out = {}
        for kv in json.loads(r.stdout).get("kvs", []):
            key = base64.b64decode(kv["key"]).decode()
            out[key[len(prefix + "/intents/"):]] = json.loads(base64.b64decode(kv["value"]))
        return out

    def leader(self):
        r = self.ctl("endpoint", "status", "-w", "json", user=self.auth)
        for entry in json.loads(r.stdout or b"[]"):
            status = entry.get("Status", {})
            if status.get("header", {}).get("member_id") == status.get("leader"):
                return self.endpoints.index(entry["Endpoint"])
        return None

    def kill(self, i):
        if i in self.stopped:
            self.cont(i)
        p = self.procs[i]
        if p and p.poll() is None:
            p.kill()
            p.wait()
        self.procs[i] = None

    def restart(self, i):
        if self.procs[i] is None:
            self._spawn(i, "existing")

    def stop(self, i):
        if self.procs[i] is not None and i not in self.stopped:
            os.kill(self.procs[i].pid, signal.SIGSTOP)
            self.stopped.add(i)

    def cont(self, i):
        if i in self.stopped:
            os.kill(self.procs[i].pid, signal.SIGCONT)
            self.stopped.discard(i)

    def close(self):
        for i in range(len(self.procs)):
            self.kill(i)
        shutil.rmtree(self.folder, ignore_errors=True)
