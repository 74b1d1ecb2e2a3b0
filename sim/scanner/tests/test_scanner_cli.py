"""The command-line runner: pty link and JSON-lines control socket."""

import json
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import tty
import unittest

from sim.scanner import crypto


class CliTest(unittest.TestCase):
    def setUp(self):
        # Under the build tree when CTest runs it, never outside what the test owns.
        base = os.path.join(os.environ.get("VELM_BINARY_DIR", os.path.dirname(os.path.abspath(__file__))),
                            "test-tmp")
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix="scanner-cli-", dir=base)
        self.link = os.path.join(self.dir, "ttyVELM0")
        self.sock_path = os.path.join(self.dir, "twin.sock")
        env = dict(os.environ, PYTHONPATH=crypto.repo_root())
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", "-m", "sim.scanner", "--link", self.link, "--control", self.sock_path,
             "--serial", "CLI01", "--environment", "S", "--clock", "2026-05-06T07:08:09"],
            stdout=subprocess.PIPE, env=env)
        self.wait_line(b"READY")

    def tearDown(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        self.proc.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def wait_line(self, want, timeout=30):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        buf = b""
        while want not in buf:
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, "runner did not print %r" % want)
            r, _, _ = select.select([fd], [], [], left)
            if r:
                chunk = os.read(fd, 4096)
                self.assertTrue(chunk, "runner exited early")
                buf += chunk
        return buf

    def control(self, **req):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(self.sock_path)
            s.sendall(json.dumps(req).encode() + b"\n")
            buf = b""
            while not buf.endswith(b"\n"):
                chunk = s.recv(65536)
                self.assertTrue(chunk)
                buf += chunk
        return json.loads(buf)

    def test_link_control_and_stop(self):
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            os.write(fd, b"VELM_ReadSRNO \r\n")
            buf = b""
            deadline = time.monotonic() + 10
            while b"\n" not in buf:
                r, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
                self.assertTrue(r, "no reply on the link")
                buf += os.read(fd, 1024)
            self.assertEqual(buf, b"CLI01\n")
        finally:
            os.close(fd)
        st = self.control(op="state")
        self.assertTrue(st["ok"])
        self.assertEqual((st["result"]["serial"], st["result"]["environment"]), ("CLI01", "S"))
        self.assertTrue(st["result"]["clock"].startswith("2026-05-06T07:0"))
        self.assertTrue(self.control(op="set", firmware_version="2.10")["ok"])
        self.assertEqual(self.control(op="state")["result"]["firmware_version"], "2.10")
        rec = self.control(op="received")["result"]
        self.assertEqual([r["command"] for r in rec], ["VELM_ReadSRNO"])
        bad = self.control(op="no_such_op")
        self.assertFalse(bad["ok"])
        self.assertFalse(self.control(op="set", bogus=1)["ok"])
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(20), 0)
        self.assertFalse(os.path.lexists(self.link))


if __name__ == "__main__":
    unittest.main()
