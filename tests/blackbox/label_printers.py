"""Network label printers the end-to-end tests print to: a TCP listener on a
loopback port that keeps every connection's bytes, behind a CUPS raw queue
or behind a 203-dpi PostScript queue whose bytes ghostscript renders as the
printer would print them."""

import os
import re
import socket
import subprocess
import tempfile
import threading
import uuid

from host import ROOT, WINEPREFIX, Host, request, settled_jobs

QUEUE = "Label_Raw"
CAPTURE_PPD = os.path.join(ROOT, "tests", "data", "label_4x6_203dpi.ppd")


class FakeLabelPrinter(threading.Thread):
    """Accepts connections as a network printer's raw port does and keeps the
    bytes of each."""

    def __init__(self):
        super().__init__(daemon=True)
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(8)
        self.port = self.server.getsockname()[1]
        self.connections = []
        self.lock = threading.Lock()
        # Notified as each connection's bytes are kept.
        self.arrived = threading.Condition(self.lock)

    def run(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self.receive, args=(conn,), daemon=True).start()

    def receive(self, conn):
        # Pieces joined once at the end: tens of MB a connection must not
        # cost time quadratic in their size, or the queue behind waits.
        # The bytes are kept before the connection is closed: CUPS's socket
        # backend waits for that close before it ends its job, so a job the
        # scheduler reports finished has its connection here.
        pieces = []
        with conn:
            while True:
                chunk = conn.recv(1 << 16)
                if not chunk:
                    break
                pieces.append(chunk)
                if self.answered(conn, pieces):
                    break
            with self.lock:
                self.connections.append(b"".join(pieces))
                self.arrived.notify_all()

    def answered(self, conn, pieces):
        """A printer that answers queries on its port does so here, and says
        whether the conversation is over. This one only takes jobs."""
        return False

    def deliveries(self, marker, jobs, queue=QUEUE, expect=1):
        """The connections that carried `marker`, once the scheduler holds at
        least `expect` jobs that `jobs` names on `queue` and none of them is
        still to print (see FakeLabelPrinter.receive)."""
        settled_jobs(jobs, queue=queue, at_least=expect)
        return self.matching(marker)

    def matching(self, marker):
        with self.lock:
            return [c for c in self.connections if marker in c]


def add_queue(name, uri, driver="raw"):
    # CUPS 2.4 warns that raw queues and drivers are deprecated, and serves them.
    subprocess.run(["lpadmin", "-p", name, "-E", "-v", uri, "-m", driver], check=True, capture_output=True)
    subprocess.run(["cupsenable", name], check=True)
    subprocess.run(["cupsaccept", name], check=True)


def make_raw_only_under_wine(queue):
    """Wine's spooler lists a CUPS queue with its PostScript driver; a
    printer whose driver takes RAW jobs only is the Windows side of a raw
    queue. Wine adds the printer when a program first loads its spooler."""
    Host("windows").ask(request("list_printers"))
    wine_reg("add", "HKLM\\System\\CurrentControlSet\\Control\\Print\\Printers\\" + queue,
             "/v", "Attributes", "/t", "REG_DWORD", "/d", "4096", "/f")




def add_capture_queue(name, port, margin_pt=0):
    """A 203-dpi 4 x 6 in PostScript queue (our PPD) in front of the listener
    on `port`, with `margin_pt` of hardware margin on every side."""
    ppd = CAPTURE_PPD
    if margin_pt:
        with open(CAPTURE_PPD) as f:
            text = f.read()
        area = '"%g %g %g %g"' % (margin_pt, margin_pt, 288 - margin_pt, 432 - margin_pt)
        text = text.replace('"0 0 288 432"', area)
        ppd = os.path.join(tempfile.mkdtemp(prefix="tph-ppd-"), "label.ppd")
        with open(ppd, "w") as f:
            f.write(text)
    subprocess.run(["lpadmin", "-p", name, "-E", "-v", "socket://127.0.0.1:%d/?snmp=false" % port, "-P", ppd],
                   check=True, capture_output=True)
    subprocess.run(["cupsenable", name], check=True)
    subprocess.run(["cupsaccept", name], check=True)


def read_pbm(path):
    """A binary PBM (P4) as a Bitmap."""
    from printer_graphics import Bitmap
    with open(path, "rb") as f:
        data = f.read()
    m = re.match(rb"P4\s+(?:#[^\n]*\n\s*)*(\d+)\s+(\d+)\s", data)
    assert m, data[:40]
    width, height = int(m.group(1)), int(m.group(2))
    stride = (width + 7) // 8
    rows = data[m.end():m.end() + stride * height]
    # Bits past the width are padding; the Bitmap keeps them white.
    spare = stride * 8 - width
    if spare:
        mask = (0xFF << spare) & 0xFF
        rows = bytes(b & mask if (i + 1) % stride == 0 else b for i, b in enumerate(rows))
    return Bitmap(width, height, rows)


def render_postscript(data, scratch, dpi=203):
    """The pages ghostscript prints from PostScript `data` at `dpi`, as Bitmaps."""
    folder = tempfile.mkdtemp(dir=scratch)
    subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw", "-r%d" % dpi,
                    "-o", os.path.join(folder, "page-%03d.pbm"), "-"], input=data, check=True, capture_output=True)
    return [read_pbm(os.path.join(folder, name)) for name in sorted(os.listdir(folder))]


def decode_barcodes(bitmap, scratch):
    """What zbarimg reads in a Bitmap: "TYPE:data" for every code it finds."""
    path = os.path.join(scratch, "scan-%s.pbm" % uuid.uuid4().hex)
    with open(path, "wb") as f:
        f.write(bitmap.pbm())
    out = subprocess.run(["zbarimg", "-q", path], capture_output=True, text=True)
    return sorted(out.stdout.split())


def _dots(bitmap):
    stride = (bitmap.width + 7) // 8
    return [[(bitmap.rows[y * stride + (x >> 3)] >> (7 - (x & 7))) & 1 for x in range(bitmap.width)]
            for y in range(bitmap.height)]


def _runs(line):
    runs, start = [], 0
    for i in range(1, len(line) + 1):
        if i == len(line) or line[i] != line[start]:
            runs.append((line[start], i - start, start))
            start = i
    return runs


def linear_barcodes(bitmap, longest_run=12, least_runs=40, least_lines=60, widest_bar=5):
    """The linear barcodes on a page, by their scanlines: stretches of at least
    `least_runs` runs, none longer than `longest_run` dots and one at least
    `widest_bar` (a dithered tint has none), on at least `least_lines`
    neighbouring scanlines across the bars (rows or columns, as the label was
    turned). Text lines are too short to count. For each code: the narrowest
    bar and the narrowest space of every scanline across it, but the first and
    the last, where the bars end part of the way through a dot."""
    dots = _dots(bitmap)
    found = []
    for lines in (dots, [list(col) for col in zip(*dots)]):
        group = []
        for index, line in enumerate(lines):
            best = None
            window = []
            def keep(window, best):
                if len(window) >= least_runs and max(r[1] for r in window) >= widest_bar and \
                        (best is None or len(window) > len(best)):
                    return window
                return best
            for run in _runs(line):
                if run[1] <= longest_run:
                    window.append(run)
                    continue
                best = keep(window, best)
                window = []
            best = keep(window, best)
            if best:
                bars = [length for colour, length, _ in best if colour == 1]
                spaces = [length for colour, length, _ in best if colour == 0]
                group.append((index, min(bars), min(spaces)))
            else:
                if len(group) >= least_lines:
                    found.append(group)
                group = []
        if len(group) >= least_lines:
            found.append(group)
    return [[(bar, space) for _, bar, space in group[1:-1]] for group in found]


class StatusLabelPrinter(FakeLabelPrinter):
    """A network label printer that also answers its status queries on the
    port it prints from, as the real ones do: ZPL's ~HS with its three
    framed strings, ESC/POS's DLE EOT n with one status byte each. Its
    condition is set by the test; a silent one accepts and never answers.
    `questions` counts the queries it was asked."""

    def __init__(self):
        super().__init__()
        self.paper_out = self.head_open = self.paused = self.ribbon_out = False
        self.silent = False
        self.questions = 0

    def zpl_status(self):
        first = "030,%d,%d,1218,000,0,0,0,000,0,0,0" % (self.paper_out, self.paused)
        second = "001,0,%d,%d,0,2,6,0,00000000,1,000" % (self.head_open, self.ribbon_out)
        return b"".join(b"\x02" + s.encode() + b"\x03\r\n" for s in (first, second, "1234,0"))

    def escpos_status(self, n):
        byte = 0x12
        if n == 1 and (self.paper_out or self.head_open or self.paused):
            byte |= 0x08  # offline
        if n == 2:
            byte |= (0x04 if self.head_open else 0) | (0x20 if self.paper_out else 0)
        if n == 4 and self.paper_out:
            byte |= 0x60
        return bytes([byte])

    def answered(self, conn, pieces):
        data = b"".join(pieces)
        if not (data.startswith(b"~HS") or data.startswith(b"\x10\x04")):
            return False
        if len(pieces) == 1:
            with self.lock:
                self.questions += 1
        if self.silent:
            return False
        if data.startswith(b"~HS"):
            conn.sendall(self.zpl_status())
            return True
        if len(data) >= 12:
            conn.sendall(b"".join(self.escpos_status(data[i + 2]) for i in range(0, 12, 3)))
            return True
        return False


def add_status_queue(name, port, language):
    """A raw queue in front of a StatusLabelPrinter on `port`, its
    description marked with the printer's status language. Under Wine the
    printer's port is made a Standard TCP/IP port that sends raw to the
    listener, as a Windows installation of a network label printer has it."""
    add_queue(name, "socket://127.0.0.1:%d" % port)
    subprocess.run(["lpadmin", "-p", name, "-D", "Dock label printer [language=%s]" % language], check=True,
                   capture_output=True)


def wine_reg(*args):
    """`wine reg ARGS`; asked once more when it fails, as a call to Wine's
    registry now and then does under load, and failing with what it said."""
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
    for attempt in range(3):
        r = subprocess.run(["wine", "reg"] + list(args), capture_output=True, env=env)
        if r.returncode == 0:
            return
    raise AssertionError("wine reg %s: %r %r" % (" ".join(args), r.stdout[-300:], r.stderr[-300:]))


def make_status_queue_under_wine(name, port, language):
    Host().ask(request("list_printers"))
    printer = "HKLM\\System\\CurrentControlSet\\Control\\Print\\Printers\\" + name
    port_name = "IP_127.0.0.1_%d" % port
    ports = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP Port\\Ports\\" + port_name
    for args in ([printer, "/v", "Port", "/t", "REG_SZ", "/d", port_name],
                 [printer, "/v", "Description", "/t", "REG_SZ", "/d", "Dock label printer [language=%s]" % language],
                 [ports, "/v", "Protocol", "/t", "REG_DWORD", "/d", "1"],
                 [ports, "/v", "PortNumber", "/t", "REG_DWORD", "/d", str(port)],
                 [ports, "/v", "HostName", "/t", "REG_SZ", "/d", "127.0.0.1"]):
        wine_reg("add", *args, "/f")


def use_offline_under_wine(name, offline):
    """Turns Windows's "Use Printer Offline" on or off for a printer: its
    PRINTER_ATTRIBUTE_WORK_OFFLINE, which Wine's spooler reads from the
    registry (its status word stays 0 whatever CUPS says)."""
    wine_reg("add", "HKLM\\System\\CurrentControlSet\\Control\\Print\\Printers\\" + name,
             "/v", "Attributes", "/t", "REG_DWORD", "/d", "1024" if offline else "0", "/f")
