"""One promise across stations: hosts whose machine policy names an etcd
cluster claim each attempt there before it prints. A real three-member
cluster with TLS, stations of both builds, a network printer that counts
what arrives."""

import base64
import os
import random
import socket
import threading
import time
import unittest
import uuid
import zlib

from etcd_cluster import EtcdCluster, free_port
from fleet_stations import (Station, remove_native_policy, remove_wine_policy, write_native_policy,
                            write_wine_policy)
from host import ROOT, TARGET
from label_printers import FakeLabelPrinter, add_queue, make_raw_only_under_wine

NATIVE = TARGET == "native"
PREFIX = "/fleets/dock-3"
QUEUES = ["Fleet_Raw_%d" % i for i in range(6)]
BOUND_MS = 3000
WINDOWS_BUILT = os.path.exists(os.path.join(ROOT, "build", "windows", "tavelin-print-host.exe"))


def label(intent):
    return ("^XA^FO40,40^ADN,36,20^FD%s^FS^XZ\n" % intent).encode()


def raw_payload(intent, data=None, printer=None):
    printer = printer or QUEUES[zlib.crc32(intent.encode()) % len(QUEUES)]
    return {"intent_id": intent, "printer": printer, "title": intent, "copies": 1, "language": "zpl",
            "base64": base64.b64encode(data or label(intent)).decode()}


def station_policy(cluster, user, password, windows=False, **more):
    endpoints = cluster.endpoints
    if windows:
        # Wine's certificate check matches a name, not an IP address, to the
        # members' certificate (Windows matches both): the Windows stations
        # name the members "localhost".
        endpoints = [e.replace("127.0.0.1", "localhost") for e in endpoints]
    values = {"endpoints": endpoints, "prefix": PREFIX, "user": user, "password": password, "timeout_ms": BOUND_MS}
    if not windows:
        # Windows trusts the machine's root store instead (the test CA is put there).
        values["ca_file"] = cluster.certs.ca
    values.update(more)
    return values


class SilentMember:
    """A port that takes connections and never answers: a member that hangs."""

    def __init__(self):
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(64)
        self.port = self.server.getsockname()[1]

    def close(self):
        self.server.close()


class FleetTestBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        remove_native_policy()
        cls.printer = FakeLabelPrinter()
        cls.printer.start()
        for q in QUEUES:
            add_queue(q, "socket://127.0.0.1:%d" % cls.printer.port)
        cls.cluster = EtcdCluster(3)
        cls.cluster.start()
        cls.cluster.enable_auth(PREFIX, {"dock-native": "pw-native", "dock-windows": "pw-windows"})
        cls.wine_policy = False

    @classmethod
    def tearDownClass(cls):
        remove_native_policy()
        if cls.wine_policy:
            remove_wine_policy()
        cls.cluster.close()

    def use_wine_policy(self, values):
        for q in QUEUES:
            make_raw_only_under_wine(q)
        write_wine_policy(values, self.cluster.certs.ca_der())
        type(self).wine_policy = True

    def deliveries(self, intent):
        return len(self.printer.matching(("^FD%s^FS" % intent).encode()))

    def wait_delivered(self, intents, timeout=180):
        """Every intent's label arrived at least once: returns how often each did."""
        deadline = time.time() + timeout
        counts = {}
        seen = 0
        with self.printer.arrived:
            while True:
                for c in self.printer.connections[seen:]:
                    for part in c.split(b"^FD")[1:]:
                        key = part.split(b"^FS")[0].decode()
                        counts[key] = counts.get(key, 0) + 1
                seen = len(self.printer.connections)
                left = deadline - time.time()
                if all(counts.get(i, 0) >= 1 for i in intents) or left <= 0:
                    return counts
                self.printer.arrived.wait(left)


class FleetTest(FleetTestBase):
    """The promise across two stations, and the refusals, for this build."""

    def station(self, name):
        if NATIVE:
            return Station(name, "native", station_policy(self.cluster, "dock-native", "pw-native"))
        self.use_wine_policy(station_policy(self.cluster, "dock-windows", "pw-windows", windows=True, station=name))
        return Station(name, "windows")

    def test_two_stations_one_print(self):
        tag = uuid.uuid4().hex[:8]
        first = self.station("station-a")
        # The other station is the native build on both runs: the promise
        # holds between builds too.
        second = Station("station-b", "native", station_policy(self.cluster, "dock-native", "pw-native"))
        try:
            intent = "order-" + tag
            one = first.ask("submit_raw", raw_payload(intent))
            self.assertTrue(one["ok"], one)
            self.assertFalse(one["result"].get("duplicate"), one)
            again = second.ask("submit_raw", raw_payload(intent))
            self.assertTrue(again["ok"], again)
            self.assertTrue(again["result"]["duplicate"], again)
            self.assertEqual(again["result"]["station"], "station-a")
            # The same intent with other bytes, at the other station.
            other = second.ask("submit_raw", raw_payload(intent, data=label(intent + "-changed")))
            self.assertEqual(other["error"]["code"], "INTENT_CONFLICT", other)
            self.assertEqual(other["error"]["earlier_attempt"]["station"], "station-a")
            # Seen whole: the other station reads it, and finds it.
            seen = second.ask("get_job", {"intent_id": intent})
            self.assertEqual(seen["result"]["station"], "station-a", seen)
            own = second.ask("submit_raw", raw_payload("own-" + tag))
            self.assertTrue(own["ok"], own)
            found = first.ask("find_jobs", {"intent_prefix": "o", "limit": 50})
            self.assertTrue(found["ok"], found)
            stations = {j["intent_id"]: j.get("station") for j in found["result"]["jobs"]}
            self.assertEqual(stations.get(intent), "station-a", found)
            self.assertEqual(stations.get("own-" + tag), "station-b", found)
            counts = self.wait_delivered([intent, "own-" + tag])
            self.assertEqual(counts.get(intent), 1)
            self.assertEqual(counts.get("own-" + tag), 1)
            shared = self.cluster.records(PREFIX)
            self.assertEqual(shared[intent]["station"], "station-a")
            self.assertIn(shared[intent]["state"], ("SUBMITTED", "COMPLETED"))
        finally:
            first.close()
            second.close()

    def test_unreachable_fleet_refuses_within_the_bound(self):
        silent = SilentMember()
        tag = uuid.uuid4().hex[:8]
        # A member that never answers, and one where nobody listens.
        policy = station_policy(self.cluster, "dock-native", "pw-native")
        policy["endpoints"] = ["https://127.0.0.1:%d" % silent.port, "https://127.0.0.1:%d" % free_port()]
        policy["timeout_ms"] = 1000
        if NATIVE:
            s = Station("station-c", "native", policy)
        else:
            policy["station"] = "station-c"
            self.use_wine_policy(policy)
            s = Station("station-c", "windows")
        try:
            for n in range(2):
                intent = "nowhere-%s-%d" % (tag, n)
                started = time.monotonic()
                reply = s.ask("submit_raw", raw_payload(intent))
                took = time.monotonic() - started
                self.assertEqual(reply["error"]["code"], "FLEET_UNAVAILABLE", reply)
                self.assertIn("Nothing was printed", reply["error"]["message"])
                # The bound, and what a request costs beside it.
                self.assertLess(took, 1.0 + 1.0, reply)
            # Nothing reached the printer queue.
            self.assertEqual(self.deliveries("nowhere-" + tag), 0)
        finally:
            s.close()
            silent.close()

    def test_a_policy_that_cannot_be_used_keeps_the_station_from_printing(self):
        tag = uuid.uuid4().hex[:8]
        good = station_policy(self.cluster, "dock-windows" if not NATIVE else "dock-native",
                              "pw-windows" if not NATIVE else "pw-native", windows=not NATIVE)
        rows = [
            ("plain http", dict(good, endpoints=["http://127.0.0.1:%d" % self.cluster.client_ports[0]]),
             "not valid"),
            ("a misspelt setting", dict(good, endpionts="x"), "not a setting"),
            ("a wrong password", dict(good, password="wrong"), "refused"),
        ]
        if not NATIVE:
            rows.append(("a CA file, which Windows does not read", dict(good, ca_file=self.cluster.certs.ca),
                         "not read here"))
        for name, policy, message in rows:
            with self.subTest(name):
                if NATIVE:
                    s = Station("station-d", "native", policy)
                else:
                    self.use_wine_policy(dict(policy, station="station-d"))
                    s = Station("station-d", "windows")
                try:
                    intent = "refused-%s-%d" % (tag, rows.index((name, policy, message)))
                    reply = s.ask("submit_raw", raw_payload(intent))
                    self.assertEqual(reply["error"]["code"], "FLEET_UNAVAILABLE", reply)
                    self.assertIn(message, reply["error"]["message"])
                    self.assertEqual(self.deliveries(intent), 0)
                finally:
                    s.close()


@unittest.skipUnless(NATIVE, "Windows signs in as an etcd user; client certificates are the Linux build's")
class FleetClientCertificateTest(unittest.TestCase):
    """Mutual TLS: members that ask every client for a certificate from the
    fleet's CA. The station shows one, and signs in as its etcd user (etcd's
    JSON gateway does not take a certificate's name as the user)."""

    def test_the_fleets_certificate_lets_a_station_in_and_a_strangers_does_not(self):
        remove_native_policy()
        cluster = EtcdCluster(1, client_cert_auth=True)
        cluster.start()
        printer = FakeLabelPrinter()
        printer.start()
        add_queue(QUEUES[0], "socket://127.0.0.1:%d" % printer.port)
        try:
            cluster.enable_auth(PREFIX, {"dock-cert": "pw-cert"})
            cert, key = cluster.certs.issue("dock-stations", common_name=False)
            # A certificate from a CA the cluster does not know.
            from etcd_cluster import Certificates
            import tempfile
            stranger = Certificates(tempfile.mkdtemp(prefix="tph-stranger-"))
            strange_cert, strange_key = stranger.issue("dock-stations", common_name=False)
            tag = uuid.uuid4().hex[:8]
            base = {"endpoints": cluster.endpoints, "prefix": PREFIX, "ca_file": cluster.certs.ca,
                    "user": "dock-cert", "password": "pw-cert", "timeout_ms": BOUND_MS}
            rows = [("its own certificate", dict(base, cert_file=cert, key_file=key), None),
                    ("a stranger's certificate", dict(base, cert_file=strange_cert, key_file=strange_key),
                     "FLEET_UNAVAILABLE"),
                    ("no certificate", base, "FLEET_UNAVAILABLE")]
            for name, policy, code in rows:
                with self.subTest(name):
                    s = Station("station-cert", "native", policy)
                    try:
                        intent = "cert-%s-%d" % (tag, [r[0] for r in rows].index(name))
                        reply = s.ask("submit_raw", raw_payload(intent, printer=QUEUES[0]))
                        if code is None:
                            self.assertTrue(reply["ok"], reply)
                            self.assertEqual(cluster.records(PREFIX)[intent]["station"], "station-cert")
                        else:
                            self.assertEqual(reply["error"]["code"], code, reply)
                    finally:
                        s.close()
        finally:
            remove_native_policy()
            cluster.close()


@unittest.skipUnless(NATIVE, "the stations of both builds run together once, in the native run")
class FleetChaosTest(FleetTestBase):
    """Five stations (four native, one Windows under Wine) print 2,000
    attempts, some at two or three stations at once, while members are
    killed, restarted and stopped, the leader among them."""

    INTENTS = int(os.environ.get("TPH_FLEET_INTENTS", "2000"))

    def test_chaos(self):
        tag = uuid.uuid4().hex[:6]
        names = ["station-1", "station-2", "station-3", "station-4"]
        policy = station_policy(self.cluster, "dock-native", "pw-native")
        stations = [Station(n, "native", policy) for n in names]
        if WINDOWS_BUILT:
            self.use_wine_policy(station_policy(self.cluster, "dock-windows", "pw-windows", windows=True, station="station-w"))
            stations.append(Station("station-w", "windows"))
        rng = random.Random(7)
        intents = ["c%s-%05d" % (tag, i) for i in range(self.INTENTS)]
        work = [[] for _ in stations]
        # The station under Wine takes a label in about three times a native
        # one's time: it is given a third of a native station's share, so
        # that all five are busy until the end.
        weights = [3] * 4 + [1] * (len(stations) - 4)
        for intent in intents:
            # A quarter are sent to two or three stations at once.
            at = set()
            while len(at) < (rng.choice([2, 3]) if rng.random() < 0.25 else 1):
                at.add(rng.choices(range(len(stations)), weights)[0])
            for s in at:
                work[s].append(intent)
        for w in work:
            rng.shuffle(w)

        printed = {}          # intent -> [(station, sent, answered)]
        answers = {}          # intent -> set of final answers
        lock = threading.Lock()
        # Notified on every final answer and every member brought back: what
        # an attempt refused or still in progress waits for before it is
        # asked again.
        changed = threading.Condition(lock)
        errors = []
        quorum_lost = []      # [start, end] windows

        def run(i):
            s = stations[i]
            queue = list(work[i])
            try:
                while queue:
                    intent = queue.pop(0)
                    sent = time.monotonic()
                    reply = s.ask("submit_raw", raw_payload(intent), timeout=120)
                    answered = time.monotonic()
                    code = None if reply.get("ok") else reply["error"]["code"]
                    with lock:
                        if reply.get("ok") and not reply["result"].get("duplicate"):
                            printed.setdefault(intent, []).append((s.name, sent, answered))
                        retry = code in ("FLEET_UNAVAILABLE", "INTENT_IN_PROGRESS")
                        if retry:
                            queue.append(intent)  # asked again later, as a caller would
                            # Until the fleet changes: another station's
                            # answer, or a member back (bounded, as nothing
                            # may change while this station holds the work).
                            changed.wait(1.0)
                        else:
                            answers.setdefault(intent, set()).add((code or "printed") + "@" + s.name)
                            changed.notify_all()
            except Exception as e:  # noqa: BLE001 - reported by the test
                errors.append("%s: %r" % (s.name, e))

        stop = threading.Event()

        def chaos():
            c = self.cluster
            r = random.Random(11)
            step = 0
            while not stop.is_set():
                step += 1
                kind = step % 4
                if kind == 1:      # the leader killed mid-claim, then back
                    victim = c.leader()
                    victim = victim if victim is not None else r.randrange(3)
                    c.kill(victim)
                    stop.wait(1.5)
                    c.restart(victim)
                elif kind == 2:    # a member stopped, then continued
                    victim = r.randrange(3)
                    c.stop(victim)
                    stop.wait(2.0)
                    c.cont(victim)
                elif kind == 3:    # quorum lost: two members down
                    a, b = r.sample(range(3), 2)
                    c.kill(a)
                    c.kill(b)
                    start = time.monotonic()
                    stop.wait(2.5)
                    end = time.monotonic()
                    with lock:
                        quorum_lost.append((start, end))
                    c.restart(a)
                    c.restart(b)
                else:
                    stop.wait(1.0)
                with changed:
                    changed.notify_all()
                stop.wait(1.0)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(len(stations))]
        chaos_thread = threading.Thread(target=chaos)
        chaos_thread.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        chaos_thread.join()
        for i in range(3):
            self.cluster.restart(i)
            self.cluster.cont(i)
        self.cluster.wait_healthy()
        try:
            self.assertEqual(errors, [])
            # Each station tells the fleet what it still owes, then the
            # fleet is read whole.
            deadline = time.time() + 120
            while True:
                for s in stations:
                    s.ask("find_jobs", {"intent_prefix": "c" + tag, "limit": 1})
                shared = self.cluster.records(PREFIX)
                unsettled = [i for i in intents if shared.get(i, {}).get("state") in (None, "DISPATCHING")]
                if not unsettled or time.time() > deadline:
                    break
            self.assertEqual(unsettled, [], "attempts left unsettled in the fleet")
            counts = self.wait_delivered(intents)
            doubles = [i for i in intents if counts.get(i, 0) > 1]
            missing = [i for i in intents if counts.get(i, 0) == 0]
            self.assertEqual(doubles, [], "printed twice")
            twice_answered = [i for i, p in printed.items() if len(p) > 1]
            self.assertEqual(twice_answered, [], "two stations each said they printed")
            # An attempt that printed is one the fleet says was printed by
            # the station that said so.
            for intent, [(name, _, _)] in printed.items():
                self.assertEqual(shared[intent]["station"], name, intent)
                self.assertIn(shared[intent]["state"], ("SUBMITTED", "COMPLETED"), intent)
            # No print during a lost quorum: nothing asked for after the
            # quorum was lost was printed before it came back.
            for intent, [(name, sent, answered)] in printed.items():
                for start, end in quorum_lost:
                    self.assertFalse(sent > start + 0.2 and answered < end,
                                     "%s printed at %s while the quorum was lost" % (intent, name))
            self.assertEqual(missing, [i for i in intents if i not in printed], "a label went missing")
            never = {i: sorted(answers.get(i, ())) for i in intents if i not in printed}
            self.assertEqual(never, {}, "an attempt never printed")
            print("fleet chaos: %d intents, %d submissions, %d stations, %d quorum losses, 0 double deliveries"
                  % (len(intents), sum(len(w) for w in work), len(stations), len(quorum_lost)))
        finally:
            for s in stations:
                s.close()


if __name__ == "__main__":
    unittest.main()
