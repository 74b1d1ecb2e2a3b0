"""The local RD API server of the real dev service: both ports, plain and TLS, through curl and
through a Python client; preflight, 404 and 405; the worker pool, its waiting slot and the busy
answer; stalled clients. Each test runs the service in its own network namespace."""
import os
import signal
import socket
import ssl
import subprocess
import unittest

from rdclient import (CA_FILE, GUARD_SECONDS, NOT_ALLOWED_BODY, NOT_FOUND_BODY, NOTREADY_DOC, Service,
                      read_all, response, tls_context)

RDSERVICE = b"RDSERVICE / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
PORTS = (11100, 11200)
ATTEMPTS = 5


class RdServerTest(unittest.TestCase):
    def setUp(self):
        self.svc = Service()
        self.addCleanup(self.svc.close)
        # Runs before close removes the sandbox: stop the service, then fail on any sanitizer
        # report it wrote (sanitizer builds report on standard error).
        self.addCleanup(self.stop_and_check_stderr)
        self.svc.start()

    def stop_and_check_stderr(self):
        proc = self.svc.proc
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=GUARD_SECONDS)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                self.fail("the service did not stop on SIGTERM:\n" + self.svc.stderr())
        err = self.svc.stderr()
        self.assertNotIn("Sanitizer", err)
        self.assertNotIn("runtime error:", err)  # UBSan reports without the word
        self.assertEqual(proc.returncode, 0, err)

    def plain(self, port, request):
        s = self.svc.ns.connect(port)
        with s:
            s.sendall(request)
            return read_all(s)

    def tls(self, port, request):
        s = self.svc.ns.connect(port)
        with tls_context().wrap_socket(s, server_hostname="localhost") as t:
            t.sendall(request)
            return read_all(t)

    def curl(self, url, *args):
        cmd = ["nsenter", "--net=/proc/%d/ns/net" % self.svc.proc.pid, "curl", "-sS", "-i", "--http1.1",
               "--cacert", CA_FILE, "--max-time", str(GUARD_SECONDS)] + list(args) + [url]
        done = subprocess.run(cmd, capture_output=True, timeout=GUARD_SECONDS)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        return done.stdout

    def test_rdservice_on_both_ports_plain_and_tls(self):
        expected = response(NOTREADY_DOC)
        self.assertEqual(self.svc.lines[-1], "VELM RD server started on ports: 11100 and 11200")
        for port in PORTS:
            with self.subTest(port=port):
                self.assertEqual(self.plain(port, RDSERVICE), expected)
                self.assertEqual(self.tls(port, RDSERVICE), expected)
                head_and_body = expected[:-2]  # curl stops at Content-Length
                for scheme in ("http", "https"):
                    self.assertEqual(self.curl("%s://127.0.0.1:%d/" % (scheme, port), "-X", "RDSERVICE"),
                                     head_and_body)
                self.assertEqual(self.curl("https://localhost:%d/rd" % port, "-X", "RDSERVICE"), head_and_body)
        # The local CA went to the trust store and the store was refreshed.
        with open(os.path.join(self.svc.root, "opt/VELM_L1_RD_Service/velm_localhost_ca.crt"), "rb") as a, \
                open(os.path.join(self.svc.root, "usr/local/share/ca-certificates/velm_localhost_ca.crt"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        with open(self.svc.ca_calls) as f:
            self.assertEqual(f.read(), "called 0\n")

    def test_preflight_404_and_405(self):
        cases = [
            (b"OPTIONS /rd/capture HTTP/1.1\r\nAccess-Control-Request-Method: CAPTURE\r\n\r\n",
             response("", preflight=True)),
            (b"OPTIONS /x HTTP/1.1\r\naccess-control-request-method: deviceinfo, options\r\n\r\n",
             response("", preflight=True)),
            (b"OPTIONS /rd HTTP/1.1\r\nAccess-Control-Request-Method: GET\r\n\r\n",
             response(NOT_ALLOWED_BODY, 405, "Method Not Allowed")),
            (b"OPTIONS /rd HTTP/1.1\r\n\r\n", response(NOT_ALLOWED_BODY, 405, "Method Not Allowed")),
            (b"GET / HTTP/1.1\r\n\r\n", response(NOT_ALLOWED_BODY, 405, "Method Not Allowed")),
            (b"DEVICEINFO /rd/capture HTTP/1.1\r\n\r\n", response(NOT_ALLOWED_BODY, 405, "Method Not Allowed")),
            (b"CAPTURE /rd/elsewhere HTTP/1.1\r\n\r\n", response(NOT_FOUND_BODY, 404, "Not Found")),
            (b"RDSERVICE  /rd?x=1 HTTP/1.1\r\n\r\n", response(NOTREADY_DOC)),
        ]
        for request, expected in cases:
            with self.subTest(request=request):
                self.assertEqual(self.plain(11100, request), expected)
                self.assertEqual(self.tls(11200, request), expected)
        # curl's own preflight.
        out = self.curl("https://127.0.0.1:11100/rd/capture", "-X", "OPTIONS",
                        "-H", "Origin: http://example.test", "-H", "Access-Control-Request-Method: CAPTURE")
        self.assertEqual(out, response("", preflight=True)[:-2])

    @staticmethod
    def still_open(sock):
        """True while the server has neither closed nor answered the connection."""
        sock.setblocking(False)
        try:
            sock.recv(1)
            return False
        except BlockingIOError:
            return True
        finally:
            sock.setblocking(True)

    def while_held(self, attempt):
        """Runs attempt() until it reports that its held connections were all still open when it
        finished. The server drops a stalled client after a few seconds; on a loaded machine the
        checks may take longer than that, and then the attempt proves nothing and is repeated."""
        for _ in range(ATTEMPTS):
            if attempt():
                return
        self.fail("the held connections never outlived the checks in %d attempts" % ATTEMPTS)

    def test_rdservice_answered_while_a_client_holds_a_worker(self):
        def attempt():
            stalled_plain = self.svc.ns.connect(11100)
            stalled_plain.sendall(b"CAPTURE /rd/capture HTTP/1.1\r\n")
            stalled_tls = self.svc.ns.connect(11200)
            stalled_tls.sendall(b"\x16\x03\x01")
            with stalled_plain, stalled_tls:
                for port in PORTS:
                    self.assertEqual(self.plain(port, RDSERVICE), response(NOTREADY_DOC))
                    self.assertEqual(self.tls(port, RDSERVICE), response(NOTREADY_DOC))
                # The answers came while both stalled clients still held their workers.
                held = self.still_open(stalled_plain) and self.still_open(stalled_tls)
                # Each stalled client is dropped at its deadline without an answer.
                self.assertEqual(read_all(stalled_plain), b"")
                self.assertEqual(read_all(stalled_tls), b"")
            return held
        self.while_held(attempt)

    def test_busy_answer_once_pool_and_slot_are_full(self):
        def attempt():
            held = [self.svc.ns.connect(11100) for _ in range(4)]
            for s in held:
                s.sendall(b"RDSERVICE / HTTP/1.1\r\n")  # a head that never completes
            waiting = self.svc.ns.connect(11100)
            refused = self.svc.ns.connect(11100)
            try:
                refused.sendall(RDSERVICE)
                answer = read_all(refused)
                if not all(self.still_open(s) for s in held):
                    return False  # a worker came free before the refusal: try again
                self.assertEqual(answer, response(""))
                # The connection in the slot is served once a worker is free.
                waiting.sendall(RDSERVICE)
                self.assertEqual(read_all(waiting), response(NOTREADY_DOC))
                return True
            finally:
                for s in held + [waiting, refused]:
                    s.close()
        self.while_held(attempt)

    def test_stalled_clients_do_not_block_the_next(self):
        stalled = []
        # Four stalled clients take every worker; the fifth connection waits in the slot.
        for port, data in ((11100, b""), (11200, b"RDSERVICE / HTTP/1.1\r\n"), (11100, b"\x16\x03\x01\x00"),
                           (11200, b"CAPTURE")):
            s = self.svc.ns.connect(port)
            if data:
                s.sendall(data)
            stalled.append(s)
        # A TLS client that finishes the handshake and then sends nothing.
        quiet = tls_context().wrap_socket(self.svc.ns.connect(11200), server_hostname="localhost")
        for s in stalled:
            self.assertEqual(read_all(s), b"")
            s.close()
        self.assertEqual(read_all(quiet), b"")
        quiet.close()
        self.assertEqual(self.tls(11100, RDSERVICE), response(NOTREADY_DOC))
        self.assertEqual(self.plain(11200, RDSERVICE), response(NOTREADY_DOC))

    def test_peer_that_closes_at_once_gets_nothing_and_service_goes_on(self):
        for port in PORTS:
            s = self.svc.ns.connect(port)
            s.close()
        s = self.svc.ns.connect(11100)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.sendall(b"RDSERVICE / HTTP/1.1\r\n")
        s.close()  # reset
        self.assertEqual(self.plain(11100, RDSERVICE), response(NOTREADY_DOC))
        self.assertIsNone(self.svc.proc.poll())


if __name__ == "__main__":
    unittest.main()
