"""The management-server twin on its own: answers, signatures, faults, TLS modes, control API."""
import base64
import datetime
import email.utils
import http.client
import json
import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

from sim.server import (CERTIFICATE_PATH, DEVICE_DATA_PATH, REGISTRATION_PATH, TIME_PATH, ServerTwin,
                        load_namespaces)

SOURCE = os.environ.get("VELM_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))))
SOAP_NS = "http://schemas.xmlsoap.org/soap/envelope/"


def _tmp_root():
    base = os.environ.get("VELM_BINARY_DIR")
    if base:
        base = os.path.join(base, "test-tmp")
        os.makedirs(base, exist_ok=True)
    return tempfile.mkdtemp(prefix="servertwin-", dir=base)


def soap_body(operation, ns, inner):
    return ('<soapenv:Envelope xmlns:soapenv="%s" xmlns:tem="%s"><soapenv:Header/><soapenv:Body>'
            '<tem:%s>%s</tem:%s></soapenv:Body></soapenv:Envelope>' % (SOAP_NS, ns, operation, inner, operation))


def walk(text, operation):
    """Walks the answer as the service does; returns (failed step 0..5, result text)."""
    try:
        root = ET.fromstring(text)
    except ET.ParseError:
        return 1, None
    # ElementTree resolves prefixes; the twin writes the soap prefix for the envelope namespace.
    if root.tag != "{%s}Envelope" % SOAP_NS or not text.lstrip().split("?>", 1)[-1].lstrip().startswith("<soap:Envelope"):
        return 2, None
    body = root.find("{%s}Body" % SOAP_NS)
    if body is None:
        return 3, None
    resp = next((c for c in body if c.tag.rsplit("}", 1)[-1] == operation + "Response"), None)
    if resp is None:
        return 4, None
    res = next((c for c in resp if c.tag.rsplit("}", 1)[-1] == operation + "Result"), None)
    if res is None:
        return 5, None
    return 0, res.text or ""


class TwinCase(unittest.TestCase):
    tls_mode = "good"

    @classmethod
    def setUpClass(cls):
        cls.root = _tmp_root()
        cls.twin = ServerTwin(os.path.join(cls.root, "state"), port=0, control_port=0,
                              ca_out=os.path.join(cls.root, "out", "ca.pem"), tls_mode=cls.tls_mode).start()
        cls.ns = load_namespaces(SOURCE)

    @classmethod
    def tearDownClass(cls):
        cls.twin.stop()

    def setUp(self):
        self.twin.reset()

    def ctx(self):
        c = ssl.create_default_context(cafile=self.twin.ca_path)
        return c

    def request(self, method, path, body=None, headers=None, timeout=10):
        conn = http.client.HTTPSConnection("127.0.0.1", self.twin.port, context=self.ctx(), timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, dict(r.getheaders()), r.read().decode()
        finally:
            conn.close()

    def soap(self, path, operation, inner, ns_key, **kw):
        body = soap_body(operation, self.ns[ns_key], inner)
        return self.request("POST", path, body.encode(), {"Content-Type": "text/xml; Charset=UTF-8",
                                                          "SOAPActions": operation}, **kw)

    def certificates(self):
        return self.soap(CERTIFICATE_PATH, "GetUIDAICertificates_2019",
                         "<tem:opd_num>1</tem:opd_num><tem:srno>S1</tem:srno>", "certificate")

    def register(self, request_text):
        data = base64.b64encode(request_text.encode()).decode()
        return self.soap(REGISTRATION_PATH, "RegisterDevice3",
                         "<tem:argReqData>%s</tem:argReqData><tem:argCallVersion>1.0</tem:argCallVersion>" % data,
                         "registration")


class AnswerTest(TwinCase):
    def test_time_endpoint_date_follows_offset(self):
        for offset in (0, 3600, -86400):
            with self.subTest(offset=offset):
                self.twin.set_time_offset(offset)
                status, headers, _ = self.request("GET", TIME_PATH)
                self.assertEqual(status, 200)
                self.assertTrue(headers["Date"].endswith(" GMT"))
                served = email.utils.parsedate_to_datetime(headers["Date"]).timestamp()
                self.assertLess(abs(served - (time.time() + offset)), 60)

    def test_certificate_answer_is_signed_with_the_dev_signing_key(self):
        status, _, text = self.certificates()
        self.assertEqual(status, 200)
        step, result = walk(text, "GetUIDAICertificates_2019")
        self.assertEqual(step, 0)
        fields = result.split(",")
        self.assertEqual(len(fields), 7)
        self.assertEqual(fields[1], "N")
        self.assertEqual(fields[6], "V1.00")
        for i, env in ((2, "stage"), (3, "prod"), (4, "preprod")):
            with open(os.path.join(SOURCE, "sim", "keys", "uidai_%s_test.crt" % env), "rb") as f:
                der = x509.load_pem_x509_certificate(f.read()).public_bytes(serialization.Encoding.DER)
            self.assertEqual(base64.b64decode(fields[i]), der, env)
        with open(os.path.join(SOURCE, "provision", "keys", "maker_signing_dev.pub.pem"), "rb") as f:
            pub = serialization.load_pem_public_key(f.read())
        self.assertEqual(pub.key_size, 2048)
        pub.verify(base64.b64decode(fields[5]), "".join(fields[:5]).encode(), padding.PKCS1v15(), hashes.SHA256())

    def test_certificate_answer_settings_and_bad_signature(self):
        with open(os.path.join(SOURCE, "provision", "keys", "maker_signing_dev.pub.pem"), "rb") as f:
            pub = serialization.load_pem_public_key(f.read())
        self.twin.set_certificate_answer(reregister="Y", firmware_version="V2.10", blank=["stage"])
        fields = walk(self.certificates()[2], "GetUIDAICertificates_2019")[1].split(",")
        self.assertEqual((fields[1], fields[2], fields[6]), ("Y", "", "V2.10"))
        pub.verify(base64.b64decode(fields[5]), "".join(fields[:5]).encode(), padding.PKCS1v15(), hashes.SHA256())

        self.twin.set_fault("GetUIDAICertificates_2019", "bad_signature", count=1)
        fields = walk(self.certificates()[2], "GetUIDAICertificates_2019")[1].split(",")
        with self.assertRaises(InvalidSignature):
            pub.verify(base64.b64decode(fields[5]), "".join(fields[:5]).encode(), padding.PKCS1v15(),
                       hashes.SHA256())
        # count=1: the next answer is good again
        fields = walk(self.certificates()[2], "GetUIDAICertificates_2019")[1].split(",")
        pub.verify(base64.b64decode(fields[5]), "".join(fields[:5]).encode(), padding.PKCS1v15(), hashes.SHA256())

    def test_registration_answer_carries_settings_and_model_certificate(self):
        self.twin.set_registration(attempt=200, timelock=2, level=30000)
        self.twin.set_model_cert_validity(-60, 2 * 86400)
        before = datetime.datetime.utcnow()
        status, _, text = self.register("4,SN0042,REQBLOB")
        self.assertEqual(status, 200)
        step, result = walk(text, "RegisterDevice3")
        self.assertEqual(step, 0)
        fields = result.split(",")
        self.assertEqual(fields[0:2], ["1", "SN0042"])
        self.assertEqual(fields[3:6], ["200", "2", "30000"])
        cert = x509.load_der_x509_certificate(base64.b64decode(fields[-1]))
        self.assertEqual(cert.subject.get_attributes_for_oid(x509.oid.NameOID.COMMON_NAME)[0].value, "SN0042")
        days = (cert.not_valid_after - before).total_seconds() / 86400
        self.assertTrue(1.9 < days < 2.1, days)
        with open(os.path.join(self.twin.state_dir, "device_ca.pem"), "rb") as f:
            ca = x509.load_pem_x509_certificate(f.read())
        ca.public_key().verify(cert.signature, cert.tbs_certificate_bytes, padding.PKCS1v15(),
                               cert.signature_hash_algorithm)
        self.assertEqual(self.twin.state()["registrations"][0]["request"], "4,SN0042,REQBLOB")

    def test_registration_uses_device_public_key_when_sent(self):
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        spki = key.public_key().public_bytes(serialization.Encoding.DER,
                                             serialization.PublicFormat.SubjectPublicKeyInfo)
        _, _, text = self.register("4,SN7," + base64.b64encode(spki).decode())
        cert = x509.load_der_x509_certificate(base64.b64decode(walk(text, "RegisterDevice3")[1].split(",")[-1]))
        self.assertEqual(cert.public_key().public_numbers(), key.public_key().public_numbers())

    def test_registration_refuses_request_without_prefix(self):
        _, _, text = self.register("7,SN1")
        self.assertTrue(walk(text, "RegisterDevice3")[1].startswith("0,ERR"))

    def test_spoof_report_recorded(self):
        status, _, text = self.soap(DEVICE_DATA_PATH, "deviceSuspectReport",
                                    "<tem:srno>SN9</tem:srno><tem:additionalInfo>Linux</tem:additionalInfo>",
                                    "device_data")
        self.assertEqual(status, 200)
        self.assertEqual(walk(text, "deviceSuspectReport")[0], 0)
        self.assertEqual(self.twin.state()["spoof_reports"], [{"srno": "SN9", "additionalInfo": "Linux"}])

    def test_requests_recorded_with_raw_head_and_chunked_body(self):
        conn = http.client.HTTPSConnection("127.0.0.1", self.twin.port, context=self.ctx(), timeout=10)
        body = soap_body("deviceSuspectReport", self.ns["device_data"], "<tem:srno>X</tem:srno>")
        conn.putrequest("POST", DEVICE_DATA_PATH, skip_host=True, skip_accept_encoding=True)
        conn.putheader("Host", "h")
        conn.putheader("SOAPActions", "deviceSuspectReport")
        conn.putheader("Transfer-Encoding", "chunked")
        conn.endheaders()
        half = len(body) // 2
        for part in (body[:half], body[half:]):
            conn.send(b"%x\r\n%s\r\n" % (len(part), part.encode()))
        conn.send(b"0\r\n\r\n")
        self.assertEqual(conn.getresponse().status, 200)
        conn.close()
        rec = self.twin.requests()[-1]
        self.assertEqual(rec["body"], body)
        self.assertTrue(rec["chunked"])
        self.assertIn("\r\nSOAPActions: deviceSuspectReport\r\n", rec["raw_head"])
        self.assertEqual(rec["soap_action"], "deviceSuspectReport")

    def test_unknown_action_and_path(self):
        status, _, text = self.soap(CERTIFICATE_PATH, "NoSuchThing", "", "certificate")
        self.assertEqual(status, 500)
        self.assertIn("soap:Fault", text)
        self.assertEqual(self.request("GET", "/nothing/here")[0], 404)

    def test_published_file_served(self):
        self.twin.publish("/download/x.bin", b"\x00\x01abc")
        conn = http.client.HTTPSConnection("127.0.0.1", self.twin.port, context=self.ctx(), timeout=10)
        conn.request("GET", "/download/x.bin")
        self.assertEqual(conn.getresponse().read(), b"\x00\x01abc")
        conn.close()


class FaultTest(TwinCase):
    def test_soap_failure_steps(self):
        cases = [
            ("malformed_xml", {}, 1),
            ("missing_element", {"level": "envelope"}, 2),
            ("missing_element", {"level": "body"}, 3),
            ("missing_element", {"level": "response"}, 4),
            ("missing_element", {"level": "result"}, 5),
        ]
        for kind, params, step in cases:
            with self.subTest(kind=kind, **params):
                self.twin.set_fault("GetUIDAICertificates_2019", kind, count=1, **params)
                status, _, text = self.certificates()
                self.assertEqual(status, 200)
                self.assertEqual(walk(text, "GetUIDAICertificates_2019")[0], step)

    def test_empty_result_and_dropped_field(self):
        self.twin.set_fault("RegisterDevice3", "empty_result", count=1)
        self.assertEqual(walk(self.register("4,S")[2], "RegisterDevice3"), (0, ""))
        self.twin.set_fault("RegisterDevice3", "drop_field", index=5, count=1)
        fields = walk(self.register("4,S")[2], "RegisterDevice3")[1].split(",")
        self.assertEqual(len(fields), 6)
        self.assertEqual(fields[3:5], ["10", "15"])

    def test_http_error_status_and_body(self):
        self.twin.set_fault("*", "http_error", status=503, body="down for maintenance")
        self.assertEqual(self.certificates()[0::2], (503, "down for maintenance"))
        self.assertEqual(self.request("GET", TIME_PATH)[0], 503)
        self.twin.clear_faults()
        self.assertEqual(self.certificates()[0], 200)

    def test_no_date_header(self):
        self.twin.set_fault(TIME_PATH, "no_date_header")
        status, headers, _ = self.request("GET", TIME_PATH)
        self.assertEqual(status, 200)
        self.assertNotIn("Date", headers)

    def test_dropped_connection(self):
        self.twin.set_fault("RegisterDevice3", "drop_connection", count=1)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.register("4,S")
        self.assertEqual(len(self.twin.requests()), 1)  # the request itself was read and recorded

    def test_slow_answer(self):
        self.twin.set_fault(TIME_PATH, "delay", seconds=30, count=1)
        with self.assertRaises(socket.timeout):
            self.request("GET", TIME_PATH, timeout=0.5)
        self.assertEqual(self.request("GET", TIME_PATH)[0], 200)

    def test_unknown_fault_refused(self):
        with self.assertRaises(ValueError):
            self.twin.set_fault("*", "explode")
        with self.assertRaises(ValueError):
            self.twin.set_fault("*", "missing_element", level="header")


class ControlEndpointTest(TwinCase):
    def call(self, method, path, obj=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.twin.control_port, timeout=10)
        conn.request(method, path, body=json.dumps(obj).encode() if obj is not None else None,
                     headers={"Content-Type": "application/json"})
        r = conn.getresponse()
        out = r.status, json.loads(r.read() or b"null")
        conn.close()
        return out

    def test_fault_and_requests_over_json(self):
        self.assertEqual(self.call("POST", "/fault", {"target": TIME_PATH, "kind": "http_error", "status": 418,
                                                      "body": "teapot", "count": 1})[0], 200)
        self.assertEqual(self.request("GET", TIME_PATH)[0::2], (418, "teapot"))
        status, reqs = self.call("GET", "/requests")
        self.assertEqual(status, 200)
        self.assertEqual([(r["method"], r["path"]) for r in reqs], [("GET", TIME_PATH)])
        self.assertEqual(self.call("POST", "/fault", {"target": "*", "kind": "bogus"})[0], 400)
        self.assertEqual(self.call("POST", "/time-offset", {"seconds": 7200})[0], 200)
        self.assertEqual(self.twin.time_offset, 7200)
        self.assertEqual(self.call("POST", "/publish", {"path": "/f", "data_b64": "aGk="})[0], 200)
        self.assertEqual(self.request("GET", "/f")[2], "hi")
        self.assertEqual(self.call("POST", "/reset", {})[0], 200)
        self.assertEqual(self.call("GET", "/requests")[1], [])

    def test_ca_written_to_requested_path(self):
        with open(os.path.join(self.root, "out", "ca.pem"), "rb") as f, open(self.twin.ca_path, "rb") as g:
            self.assertEqual(f.read(), g.read())


class UntrustedCaTest(TwinCase):
    tls_mode = "untrusted"

    def test_client_refuses(self):
        with self.assertRaises(ssl.SSLCertVerificationError) as cm:
            self.request("GET", TIME_PATH)
        self.assertIn("certificate verify failed", str(cm.exception))
        self.assertEqual(self.twin.requests(), [])


class WrongHostTest(TwinCase):
    tls_mode = "wrong-host"

    def test_client_refuses(self):
        with self.assertRaises(ssl.SSLCertVerificationError) as cm:
            self.request("GET", TIME_PATH)
        self.assertIn("IP address mismatch", str(cm.exception))
        self.assertEqual(self.twin.requests(), [])


class CommandLineTest(unittest.TestCase):
    def test_runs_until_terminated(self):
        root = _tmp_root()
        ca_out = os.path.join(root, "etc", "velm", "management-ca.pem")
        proc = subprocess.Popen([sys.executable, "-m", "sim.server", "--state-dir", os.path.join(root, "s"),
                                 "--port", "0", "--control-port", "0", "--ca-out", ca_out],
                                stdout=subprocess.PIPE, cwd=SOURCE, env=dict(os.environ, PYTHONPATH=SOURCE))
        try:
            ready, _, _ = select.select([proc.stdout], [], [], 60)
            self.assertTrue(ready, "twin did not report readiness")
            info = json.loads(proc.stdout.readline())
            self.assertTrue(os.path.exists(ca_out))
            ctx = ssl.create_default_context(cafile=ca_out)
            conn = http.client.HTTPSConnection("127.0.0.1", info["port"], context=ctx, timeout=10)
            conn.request("GET", TIME_PATH)
            self.assertEqual(conn.getresponse().status, 200)
            conn.close()
        finally:
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=30), 0)
            proc.stdout.close()

    def test_help_documents_faults_and_control(self):
        out = subprocess.run([sys.executable, "-m", "sim.server", "--help"], capture_output=True, text=True,
                             cwd=SOURCE, timeout=60, env=dict(os.environ, PYTHONPATH=SOURCE)).stdout
        for word in ("--tls-mode", "--control-port", "drop_connection", "/fault", "missing_element"):
            self.assertIn(word, out)


if __name__ == "__main__":
    unittest.main()
