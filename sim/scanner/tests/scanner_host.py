"""Test helper: the host side of a pty pair with a twin on the master."""

import base64
import datetime
import os
import select
import time
import tty

from sim.scanner import crypto, frames
from sim.scanner.twin import ScannerTwin

KEYS = os.path.join(crypto.repo_root(), "sim", "keys")


class Host:
    def __init__(self, **twin_options):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.slave, False)
        self.twin = ScannerTwin(self.master, **twin_options)
        self.twin.start()
        self.buf = bytearray()

    def close(self):
        self.twin.stop()
        os.close(self.slave)
        os.close(self.master)

    def send(self, data):
        if isinstance(data, str):
            data = data.encode()
        os.write(self.slave, data)

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("no answer from the twin")
        r, _, _ = select.select([self.slave], [], [], left)
        if r:
            try:
                self.buf += os.read(self.slave, 65536)
            except BlockingIOError:
                pass

    def read_until(self, marker, timeout=10.0):
        deadline = time.monotonic() + timeout
        while marker not in self.buf:
            self._fill(deadline)
        i = self.buf.index(marker) + len(marker)
        out = bytes(self.buf[:i])
        del self.buf[:i]
        return out

    def command(self, text, timeout=10.0):
        """Send a text command with CR LF, return the reply line without its LF."""
        self.send(text + "\r\n")
        return self.read_until(b"\n", timeout)[:-1].decode()

    def read_frame(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            if self.buf:
                f, used = frames.parse(self.buf)
                if f is not None:
                    del self.buf[:used]
                    return f
            self._fill(deadline)

    def exchange(self, start, command, payload=b"", timeout=10.0):
        self.send(frames.build(start, command, payload))
        return self.read_frame(timeout)

    # encrypted requests, built with the twin's own derivation
    def reading(self):
        return self.command("VELM_GetTime ").split(",")[0]

    def request(self, kind, plain, reading=None, code=None):
        reading = reading or self.reading()
        code = code or self.twin.device_code_bytes()
        return base64.b64encode(crypto.encrypt_request(kind, reading, code, plain)).decode()


def time_stamp(dt):
    """'YYYY-MM-DDwHH:MM:SS' with the weekday digit (0 = Sunday)."""
    return dt.strftime("%Y-%m-%d") + str(dt.isoweekday() % 7) + dt.strftime("%H:%M:%S")


def short_key_block(cert_path):
    from cryptography import x509
    with open(cert_path, "rb") as f:
        cert = x509.load_pem_x509_certificate(f.read())
    nums = cert.public_key().public_numbers()
    return b"\0" + nums.e.to_bytes(3, "big") + nums.n.to_bytes(256, "big")


def key_record(cert_path):
    from cryptography import x509
    with open(cert_path, "rb") as f:
        cert = x509.load_pem_x509_certificate(f.read())
    nums = cert.public_key().public_numbers()
    na = cert.not_valid_after
    return (bytes([(na.year - 1900) % 10, na.month - 1, na.day, 0])
            + nums.e.to_bytes(3, "big") + nums.n.to_bytes(256, "big"))


def pid_request(key_block=None, key_index=0, otp=None, demo=None, wadh=b""):
    import hashlib
    rnd = os.urandom(4)
    b = bytes([key_index]) + os.urandom(127)
    r = ("RENESAS.VELM.001,1.3.5," + wadh.decode() + "," + (otp or "") + ",").encode()
    k = key_block if (key_block is not None and key_index == 0) else b""
    d = len(demo).to_bytes(2, "little") + demo + b" " if demo else b""
    h = hashlib.sha256(b + bytes([len(r)]) + r + k + d + rnd + b" ").digest()
    return rnd + h + b + bytes([len(r)]) + r + k + d
