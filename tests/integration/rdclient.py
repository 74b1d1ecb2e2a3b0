"""Helpers for tests and benchmarks that talk to the real dev service: start it in its own
network and mount namespace (through service_sandbox.py), open connections inside that
namespace, and speak plain or TLS HTTP to it byte for byte."""
import concurrent.futures
import ctypes
import os
import queue
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading

BINARY_DIR = os.environ.get("VELM_BINARY_DIR", "")
SOURCE_DIR = os.environ.get("VELM_SOURCE_DIR", "")
SERVICE = os.path.join(BINARY_DIR, "velm_rd_service_dev")
DEVROOT = os.path.join(BINARY_DIR, "devroot")
SANDBOX = os.path.join(SOURCE_DIR, "tests", "integration", "service_sandbox.py")
CA_FILE = os.path.join(SOURCE_DIR, "install", "velm_localhost_ca.crt")

GUARD_SECONDS = 60  # failure guard for any single wait
CLONE_NEWNET = 0x40000000

NOTREADY_DOC = (
    '<RDService xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
    'xmlns:xsd="http://www.w3.org/2001/XMLSchema" status="NOTREADY" '
    'info="RD service for L1 provided by Velmora"><Interface id="CAPTURE" path="/rd/capture" />'
    '<Interface id="DEVICEINFO" path="/rd/info" /></RDService>')
NOT_FOUND_BODY = '<?xml version="1.0" encoding="UTF-8"?><Error>Not Found</Error>'
NOT_ALLOWED_BODY = '<?xml version="1.0" encoding="UTF-8"?><Error>Method Not Allowed</Error>'


def response(body, code=200, reason="OK", preflight=False, port=11100):
    """The exact bytes the service sends for a response."""
    lines = ["HTTP/1.1 %d %s" % (code, reason), "Cache-Control: No-Cache", "Access-Control-Allow-Origin: *"]
    if preflight:
        lines.append("Access-Control-Allow-Methods: RDSERVICE, DEVICEINFO, CAPTURE, OPTIONS, REGISTER_DEV")
    lines += ["Access-Control-Allow-Headers: *", "Access-Control-Allow-Credentials: true",
              "Access-Control-Allow-Private-Network: true", "Access-Control-Max-Age: 86400",
              "Location: HTTP://127.0.0.1:%d/" % port]
    if preflight:
        lines.append("Content-Length: 0")
    else:
        lines += ["Connection: close", "Content-Type: text/xml; charset=utf-8",
                  "Content-Length: %d" % len(body.encode())]
    return ("\r\n".join(lines) + "\r\n\r\n" + body + "\r\n").encode()


class Namespace:
    """Opens sockets inside another process's network namespace: one thread joins it and
    creates every socket there (a socket keeps its namespace for life)."""

    def __init__(self, pid):
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=1)
        self._pool.submit(self._join, "/proc/%d/ns/net" % pid).result()

    @staticmethod
    def _join(path):
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open(path, os.O_RDONLY)
        try:
            if libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
        finally:
            os.close(fd)

    def connect(self, port, timeout=GUARD_SECONDS):
        def make():
            s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return s
        return self._pool.submit(make).result()

    def close(self):
        self._pool.shutdown()


def tls_context():
    ctx = ssl.create_default_context(cafile=CA_FILE)
    return ctx


def read_all(sock):
    """Everything the peer sends until it closes."""
    out = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except (ssl.SSLEOFError, ConnectionResetError):
            return out
        if not chunk:
            return out
        out += chunk


class Sandbox:
    """A private copy of the dev installation root, a recording update-ca-certificates first on
    PATH, and the dev service started in its own network and mount namespace without
    CAP_SYS_TIME (whatever it runs, the host clock stays as it is). Its standard error goes to
    stderr_path; proc.stdout is the caller's to read."""

    def __init__(self, prefix, hold=""):
        base = os.path.join(BINARY_DIR, "test-roots")
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=prefix, dir=base)
        self.root = os.path.join(self.dir, "devroot")
        shutil.copytree(DEVROOT, self.root, symlinks=True)
        bindir = os.path.join(self.dir, "bin")
        os.makedirs(bindir)
        self.ca_calls = os.path.join(self.dir, "update-ca-certificates.calls")
        fake = os.path.join(bindir, "update-ca-certificates")
        with open(fake, "w") as f:
            f.write("#!/bin/sh\necho \"called $#\" >> '%s'\nexit 0\n" % self.ca_calls)
        os.chmod(fake, 0o755)
        env = dict(os.environ)
        env["PATH"] = bindir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
        cmd = ["setpriv", "--bounding-set=-sys_time", "--inh-caps=-sys_time", "--",
               "unshare", "-n", "-m", "--", "/usr/bin/python3", SANDBOX, "--root", self.root,
               "--devroot", DEVROOT]
        if hold:
            cmd += ["--hold", hold]
        cmd += ["--", SERVICE]
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self._stderr, env=env)


class Service:
    """One dev service process in its sandbox with a recording update-ca-certificates."""

    def __init__(self, prefix="rdserver."):
        box = Sandbox(prefix)
        self.dir, self.root, self.ca_calls = box.dir, box.root, box.ca_calls
        self.stderr_path, self._stderr, self.proc = box.stderr_path, box._stderr, box.proc
        self.lines = []
        self._queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.ns = None

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            self.lines.append(line)
            self._queue.put(line)
        self._queue.put(None)

    def wait_for_line(self, prefix):
        while True:
            try:
                line = self._queue.get(timeout=GUARD_SECONDS)
            except queue.Empty:
                raise AssertionError("no line starting with %r; got %r" % (prefix, self.lines))
            if line is None:
                raise AssertionError("service ended before %r; got %r" % (prefix, self.lines))
            if line.startswith(prefix):
                return line

    def start(self):
        line = self.wait_for_line("VELM RD server started on ports: ")
        self.ns = Namespace(self.proc.pid)
        return line

    def stderr(self):
        self._stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def close(self):
        if self.ns:
            self.ns.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=GUARD_SECONDS)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)
