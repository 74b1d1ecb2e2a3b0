"""Run a scanner twin on a new pty pair.

  /usr/bin/python3 -m sim.scanner --link /tmp/x/ttyVELM0 --control /tmp/x/twin.sock

The pty slave is symlinked at --link (or its path printed on stdout as
"TTY <path>").  The control socket speaks JSON lines: one request object
{"op": "...", ...} per line, one answer {"ok": true, ...} or
{"ok": false, "error": "..."} per line.  Ops: see OPS below and README.md.
Runs until SIGTERM or SIGINT.
"""

import argparse
import base64
import datetime
import json
import os
import select
import signal
import socket
import sys
import threading

from .twin import ScannerTwin, jsonable


def state(t):
    with t._lock:
        return {
            "serial": t.serial, "model_id": t.model_id, "device_code": t.device_code,
            "provider_id": t.provider_id, "environment": t.environment,
            "status_word": t.status_word, "firmware_version": t.firmware_version,
            "mode": t.mode, "clock": t.clock_reading(),
            "clock_offset": t.clock_offset_seconds(),
            "last_reported_reading": t._last_reported,
            "model_certificate": t.model_cert_b64(),
            "key_records": [r.hex() for r in t.key_records] if t.key_records else None,
            "applied": t.applied, "pid_count": len(t.pids),
        }


def _pids(t, **_):
    with t._lock:
        out = []
        for p in t.pids:
            blk = p["block"]
            out.append({"format": p["format"], "ts": p["ts"], "data": p["data"],
                        "skey": p["skey"], "hmac": p["hmac"],
                        "block": blk.decode() if p["format"] == "X" else blk.hex()})
        return out


OPS = {
    "ping": lambda t, **a: "pong",
    "state": lambda t, **a: state(t),
    "set": lambda t, **a: t.set(**a),
    "set_clock": lambda t, when, frozen=False: t.set_clock(when, frozen),
    "shift_clock": lambda t, seconds: t.shift_clock(seconds),
    "set_tamper": lambda t, on=True: t.set_tamper(on),
    "set_mode": lambda t, mode, notify=True: t.set_mode(mode, notify),
    "set_model_cert": lambda t, not_after=None, der_b64=None: t.set_model_cert(
        not_after, base64.b64decode(der_b64) if der_b64 else None),
    "clear_model_cert": lambda t: t.clear_model_cert(),
    "received": lambda t: t.received(),
    "clear_received": lambda t: t.clear_received(),
    "set_capture_default": lambda t, **s: t.set_capture_default(**s),
    "set_capture": lambda t, position, **s: t.set_capture(position, **s),
    "queue_capture": lambda t, scenarios: t.queue_capture(*scenarios),
    "clear_captures": lambda t: t.clear_captures(),
    "set_frame_fault": lambda t, command, kind, count=None: t.set_frame_fault(command, kind, count),
    "clear_frame_faults": lambda t: t.clear_frame_faults(),
    "flash_read": lambda t, address, length: t.flash_read(address, length),
    "flash_blob": lambda t, address=0x00050000: t.flash_blob(address),
    "pids": _pids,
}


def handle_request(twin, line):
    try:
        msg = json.loads(line)
        if not isinstance(msg, dict):
            raise ValueError("request is not an object")
        op = msg.pop("op", None)
        fn = OPS.get(op)
        if fn is None:
            raise ValueError("unknown op %r" % (op,))
        result = fn(twin, **msg)
        return {"ok": True, "result": jsonable(result)}
    except Exception as e:  # every failure goes back to the client
        return {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}


class ControlServer:
    """JSON-lines control socket, served on its own thread."""

    def __init__(self, twin, path):
        self.twin, self.path = twin, path
        if os.path.exists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        self.sock.listen(8)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="twin-control", daemon=True)

    def start(self):
        self._thread.start()

    def _run(self):
        clients = {}
        while not self._stop.is_set():
            r, _, _ = select.select([self.sock] + list(clients), [], [], 0.2)
            for s in r:
                if s is self.sock:
                    c, _ = self.sock.accept()
                    clients[c] = bytearray()
                    continue
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    clients.pop(s).clear()
                    s.close()
                    continue
                buf = clients[s]
                buf += data
                while b"\n" in buf:
                    i = buf.index(b"\n")
                    line = bytes(buf[:i])
                    del buf[:i + 1]
                    if line.strip():
                        out = json.dumps(handle_request(self.twin, line)).encode() + b"\n"
                        try:
                            s.settimeout(5)
                            s.sendall(out)
                        except OSError:
                            pass
        for c in clients:
            c.close()

    def stop(self):
        self._stop.set()
        self._thread.join(2)
        self.sock.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m sim.scanner", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--link", help="symlink to create for the pty slave")
    ap.add_argument("--control", help="path of the JSON-lines control socket")
    ap.add_argument("--serial", default="VT0000012345")
    ap.add_argument("--model-id", default="TR460U L1")
    ap.add_argument("--device-code", default="0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0")
    ap.add_argument("--provider-id", default="VELMORA")
    ap.add_argument("--environment", default="P", choices=("P", "PP", "S"))
    ap.add_argument("--firmware-version", default="2.04")
    ap.add_argument("--status-word", type=int, default=0)
    ap.add_argument("--mode", default="normal", choices=("normal", "update"))
    ap.add_argument("--cert-days", type=float, default=365.0,
                    help="model certificate validity from now, in days (<= 0: none installed)")
    ap.add_argument("--clock", help="initial clock YYYY-MM-DDTHH:MM:SS (default: host time)")
    ap.add_argument("--registration-ca", help="PEM CA that must have issued a registration certificate")
    a = ap.parse_args(argv)

    master, slave = os.openpty()
    slave_path = os.ttyname(slave)
    ca = None
    if a.registration_ca:
        from cryptography import x509
        with open(a.registration_ca, "rb") as f:
            ca = x509.load_pem_x509_certificate(f.read())
    twin = ScannerTwin(master, serial=a.serial, model_id=a.model_id, device_code=a.device_code,
                       provider_id=a.provider_id, environment=a.environment,
                       firmware_version=a.firmware_version, status_word=a.status_word,
                       mode=a.mode, clock=a.clock, registration_ca=ca,
                       cert_not_after=datetime.datetime.now() + datetime.timedelta(days=max(a.cert_days, 1)),
                       on_mode_change=lambda t, m: print("MODE %s" % m, flush=True))
    if a.cert_days <= 0:
        twin.clear_model_cert()
    if a.link:
        if os.path.islink(a.link):
            os.unlink(a.link)
        os.symlink(slave_path, a.link)
    print("TTY %s" % (a.link or slave_path), flush=True)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    control = ControlServer(twin, a.control) if a.control else None
    twin.start()
    if control:
        control.start()
    print("READY", flush=True)
    while not stop.wait(0.5):
        pass
    if control:
        control.stop()
    twin.stop()
    if a.link and os.path.islink(a.link):
        os.unlink(a.link)
    os.close(slave)
    os.close(master)
    return 0


if __name__ == "__main__":
    sys.exit(main())
