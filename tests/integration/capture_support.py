"""Shared pieces of the capture end-to-end tests and the capture benchmark: PidOptions
documents, PidData parsing and opening, the UIDAI test keys, scanner twins with a gate and with
byte accounting, and the waits that tell when a freshly plugged scanner is ready for requests."""
import datetime
import os
import re
import socket
import threading
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

from cryptography import x509

from sim.scanner import crypto, pidverify
from sim.scanner.twin import ScannerTwin

SOURCE_DIR = os.environ.get("VELM_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KEYS_DIR = os.path.join(SOURCE_DIR, "sim", "keys")

PIDDATA_HEAD = ('<PidData xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
                'xmlns:xsd="http://www.w3.org/2001/XMLSchema" >')

# Which UIDAI test key opens the PID block of a request, by environment ("builtin": env S on a
# scanner whose own environment is P).
UIDAI_KEY = {
    "P": os.path.join(KEYS_DIR, "uidai_prod_test.key"),
    "PP": os.path.join(KEYS_DIR, "uidai_preprod_test.key"),
    "S": os.path.join(KEYS_DIR, "uidai_stage_test.key"),
    "builtin": os.path.join(KEYS_DIR, "uidai_builtin_test.key"),
}
UIDAI_CERT = {
    "P": os.path.join(KEYS_DIR, "uidai_prod_test.crt"),
    "PP": os.path.join(KEYS_DIR, "uidai_preprod_test.crt"),
    "S": os.path.join(KEYS_DIR, "uidai_stage_test.crt"),
}
BUILTIN_CI = "20431023"


def error_document(code, info):
    """The whole CAPTURE answer for an error, byte for byte."""
    return (PIDDATA_HEAD + '<Resp fType="" iCount="" iType="" pCount="" errCode="%s" errInfo="%s" '
            'fCount="" nmPoints="" qScore=""/><DeviceInfo /><Data /><SKey /><Hmac /></PidData>' % (code, info))


def pid_options(fcount="1", ftype="0", fmt="0", env="P", pidver="2.0", timeout="10000", posh=None,
                otp=None, wadh=None, demo=None):
    """A PidOptions document; None leaves an attribute out."""
    attrs = [("fCount", fcount), ("fType", ftype), ("format", fmt), ("pidVer", pidver),
             ("timeout", timeout), ("posh", posh), ("otp", otp), ("wadh", wadh), ("env", env)]
    opts = " ".join("%s=%s" % (k, quoteattr(str(v))) for k, v in attrs if v is not None)
    return '<PidOptions ver="1.0"><Opts %s/>%s</PidOptions>' % (opts, demo or "")


def ci_of(cert_path):
    """The certificate identifier the service keeps for a certificate: its expiry date on
    India time, as YYYYMMDD."""
    with open(cert_path, "rb") as f:
        cert = x509.load_pem_x509_certificate(f.read())
    not_after = getattr(cert, "not_valid_after_utc", None) or cert.not_valid_after.replace(
        tzinfo=datetime.timezone.utc)
    return (not_after + datetime.timedelta(hours=5, minutes=30)).strftime("%Y%m%d")


class PidData:
    """A successful PidData document taken apart."""

    def __init__(self, text):
        self.text = text
        self.root = ET.fromstring(text)
        if self.root.tag != "PidData":
            raise AssertionError("root element is %r" % self.root.tag)
        self.resp = self.root.find("Resp").attrib
        self.device_info = self.root.find("DeviceInfo")
        data, skey, hmac = self.root.find("Data"), self.root.find("Skey"), self.root.find("Hmac")
        if data is None or skey is None or hmac is None:
            raise AssertionError("no Data, Skey or Hmac in %s" % text[:400])
        self.data_type = data.get("type")
        self.ci = skey.get("ci")
        self.data, self.skey, self.hmac = data.text or "", skey.text or "", hmac.text or ""

    def info(self, block="Additional_Info", tag="Info"):
        """The name/value entries of one of the two information blocks of DeviceInfo."""
        el = self.device_info.find(block)
        return [(e.get("name"), e.get("value")) for e in el.findall(tag)] if el is not None else []

    def open(self, key_path):
        """(ts, plain PID block bytes): Skey under the private key, then Data, then Hmac."""
        return pidverify.verify_raw(self.skey, self.data, self.hmac, key_path)


def capture_requests(twin, since=0):
    """The decoded capture requests the twin got, from entry `since` of its received list."""
    out = []
    for e in twin.received()[since:]:
        if e.get("command") == "VELM_SnapFinger" and e.get("plain"):
            out.append(crypto.check_plain("capture", bytes.fromhex(e["plain"])))
    return out


def commands(twin, since=0):
    return [e.get("command") for e in twin.received()[since:]]


class GatedTwin(ScannerTwin):
    """A scanner twin whose capture answer can be held back until the test lets it go."""

    def __init__(self, fd, **kwargs):
        super().__init__(fd, **kwargs)
        self._gate = threading.Event()
        self._gate.set()
        self.capture_arrived = threading.Event()

    def hold_captures(self):
        self.capture_arrived.clear()
        self._gate.clear()

    def release_captures(self):
        self._gate.set()

    def _cmd_SnapFinger(self, payload, entry):
        if not self._gate.is_set():
            self.capture_arrived.set()
            self._gate.wait(120)  # bounded: a test that forgets to release does not hang
        return super()._cmd_SnapFinger(payload, entry)


class CountingTwin(ScannerTwin):
    """A scanner twin that counts what the service writes: for every command line its length
    on the wire (the line plus CR LF) and how long the twin took to answer it."""

    def __init__(self, fd, **kwargs):
        super().__init__(fd, **kwargs)
        self._count_lock = threading.Lock()
        self.lines = []  # (bytes on the wire, seconds spent answering)

    def _handle_line(self, line):
        # Counted before the answer goes out: the service may finish its request before this
        # thread comes back from writing the reply.
        row = [len(line) + 2, 0.0]
        with self._count_lock:
            self.lines.append(row)
        start = time.perf_counter()
        super()._handle_line(line)
        row[1] = time.perf_counter() - start

    def take_lines(self):
        """[(bytes, seconds)] since the last call."""
        with self._count_lock:
            out, self.lines = self.lines, []
        return [tuple(r) for r in out]


def wait_until_settled(tb, start=0, timeout=60):
    """Waits until the plug-in sequence of the scanner that came up after console line `start`
    has finished with the scanner registered: the service then leaves the link alone.

    The pass holds the busy flag until its very end, a moment after its last notification, so
    the wait goes on until RDSERVICE no longer reports the service as used."""
    line = tb.service.wait_for_line(r"^Notification: Device is registered with UIDAI\.$", timeout=timeout,
                                    start=start)
    tb.wait_for(lambda: tb.status() == "READY", timeout=timeout, interval=0.05, what="RDSERVICE READY")
    return line


def raw_request(method, path, body, port=11100, timeout=60.0):
    """One plain HTTP request on a fresh connection; returns (status line, body text)."""
    if isinstance(body, str):
        body = body.encode("utf-8")
    head = ("%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n" % (method, path, port, len(body))).encode()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(head + body)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    raw = b"".join(chunks)
    head_end = raw.find(b"\r\n\r\n")
    if head_end < 0:
        raise AssertionError("no complete response head: %r" % raw[:200])
    status = raw[:raw.find(b"\r\n")].decode("latin-1")
    m = re.search(rb"\r\nContent-Length: *(\d+)", raw[:head_end], re.I)
    body_bytes = raw[head_end + 4:]
    if m:
        body_bytes = body_bytes[:int(m.group(1))]
    return status, body_bytes.decode("utf-8", "replace")
