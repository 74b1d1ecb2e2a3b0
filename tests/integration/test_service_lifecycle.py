"""Start-up and stop of the real dev service process: signals, console lines, exit status and
the path taken when the local server cannot start.

Every run happens in its own network and mount namespace, on a private copy of the dev
installation root, with a recording stand-in for update-ca-certificates first on PATH.
"""
import os
import queue
import shutil
import signal
import subprocess
import threading
import time
import unittest

from rdclient import Sandbox


# Upper bound for any single wait; a healthy run takes a fraction of it.
GUARD_SECONDS = 60

HANDLER_LINES = ["STOPPING ALL THREADS", "CLOSING SERVER", "STOPPING RD SERVICE"]
STOP_LINES = ["Stopping VELM RD Server...", "VELM RD server stopped", "VELM RD Server exited cleanly."]
# Detached background threads say goodbye when they see the stop flag; the process may end
# before or after they do, so these lines may come anywhere after the handler's lines.
THREAD_END_LINES = ["Device monitoring thread stopped. returning..", "Time sync thread stopped. returning.."]
BANNER = "RD SERVICE VERSION: 1.3.5 For TR460U L1 and BRX500 devices."


class ServiceRun:
    """One service process in its sandbox; its standard output is read line by line."""

    def __init__(self, hold=""):
        box = Sandbox("lifecycle.", hold)
        self.dir, self.root, self.ca_calls = box.dir, box.root, box.ca_calls
        self.stderr_path, self._stderr, self.proc = box.stderr_path, box._stderr, box.proc
        self.lines = []
        self._queue = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self._queue.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self._queue.put(None)

    def wait_for_line(self, text):
        """Collects output until a line equal to text (or the end of output); True when seen."""
        deadline = time.monotonic() + GUARD_SECONDS
        while True:
            if text in self.lines:
                return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                line = self._queue.get(timeout=left)
            except queue.Empty:
                return False
            if line is None:
                self._queue.put(None)
                return text in self.lines
            self.lines.append(line)

    def finish(self):
        """Waits for the process to end; returns its exit status and all output lines."""
        try:
            rc = self.proc.wait(timeout=GUARD_SECONDS)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self.wait_for_line("\0never printed\0")
        return rc, self.lines

    def stderr(self):
        self._stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def log_text(self):
        logs = os.path.join(self.root, "opt", "VELM_L1_RD_Service", "Logs")
        text = ""
        for name in sorted(os.listdir(logs)):
            with open(os.path.join(logs, name)) as f:
                text += f.read()
        return text

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(timeout=GUARD_SECONDS)
        self.proc.stdout.close()
        self._stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def subsequence(lines, wanted):
    """The lines of wanted appear in lines in this order (other lines may come between)."""
    it = iter(lines)
    return all(any(line == w for line in it) for w in wanted)


@unittest.skipUnless(os.geteuid() == 0, "needs root for network and mount namespaces")
class ServiceLifecycle(unittest.TestCase):
    def start(self, **kw):
        run = ServiceRun(**kw)
        self.addCleanup(run.close)
        # Sanitizer builds report on standard error; any report fails the run.
        self.addCleanup(lambda: self.assertNotIn("Sanitizer", run.stderr()))
        return run

    def test_stop_signals_give_orderly_stop(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGABRT):
            with self.subTest(signal=sig.name):
                run = self.start()
                self.assertTrue(run.wait_for_line("VELM RD server started on ports: 11100 and 11200"),
                                "no start line:\n%s\n%s" % ("\n".join(run.lines), run.stderr()))
                os.kill(run.proc.pid, sig)
                rc, lines = run.finish()
                self.assertEqual(rc, 0, "\n".join(lines))
                self.assertEqual(lines[0], BANNER)
                tail = [l for l in lines if l in HANDLER_LINES + STOP_LINES]
                self.assertEqual(tail, HANDLER_LINES + STOP_LINES, "\n".join(lines))
                # Nothing of the service's own follows the last stop line.
                own = [l for l in lines if l not in THREAD_END_LINES]
                self.assertEqual(own[-1], "VELM RD Server exited cleanly.", "\n".join(lines))

                log = run.log_text()
                self.assertIn("INFO: Starting RD Service (Version: 1.3.5) For TR460U L1 and BRX500 devices.\n", log)
                self.assertTrue(os.path.isdir(os.path.join(run.root, "opt", "VELM_L1_RD_Service", "Firmware")))
                # The local CA went into the sandbox's trust directory and the stand-in ran.
                self.assertTrue(os.path.exists(os.path.join(
                    run.root, "usr", "local", "share", "ca-certificates", "velm_localhost_ca.crt")))
                self.assertTrue(os.path.exists(run.ca_calls))

    def test_no_free_port_takes_the_failure_path(self):
        run = self.start(hold="11100-11120")
        rc, lines = run.finish()
        self.assertEqual(rc, 0, "\n".join(lines))
        self.assertTrue(subsequence(lines, [
            BANNER,
            "Notification: Can't start RD Service on this system",
            "Stopping VELM RD Server...",
            "VELM RD server stopped",
            "VELM RD Server exited cleanly.",
        ]), "\n".join(lines))
        self.assertFalse(any(l in HANDLER_LINES for l in lines), "no signal was sent")
        self.assertIn("No free port in range", run.stderr())
        self.assertIn("ERROR: Can't start RD Service on this system.\n", run.log_text())

    def test_signal_while_a_client_is_connected(self):
        # A client that connected and sent nothing must not hold up the stop.
        run = self.start()
        self.assertTrue(run.wait_for_line("VELM RD server started on ports: 11100 and 11200"))
        # The client must live in the service's network namespace: join it through /proc.
        client = subprocess.Popen(
            ["nsenter", "-t", str(run.proc.pid), "-n", "--", "/usr/bin/python3", "-c",
             "import socket,sys\n"
             "s=socket.create_connection(('127.0.0.1',11100))\n"
             "s.sendall(b'RDSERVICE / HTTP/1.1\\r\\n')\n"
             "print('connected', flush=True)\n"
             "sys.stdin.read()\n"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(client.stdout.close)
        self.addCleanup(client.stdin.close)
        self.addCleanup(client.wait)
        self.addCleanup(client.kill)
        self.assertEqual(client.stdout.readline().strip(), b"connected")
        os.kill(run.proc.pid, signal.SIGTERM)
        rc, lines = run.finish()
        self.assertEqual(rc, 0)
        self.assertEqual([l for l in lines if l in HANDLER_LINES + STOP_LINES], HANDLER_LINES + STOP_LINES)


if __name__ == "__main__":
    unittest.main()
