"""The management-server twin: an HTTPS server that answers the service's SOAP and GET
requests the way the maker's management server does, records everything it receives and lets
tests inject faults.

In-process use::

    with ServerTwin(state_dir, port=0, control_port=0) as twin:
        twin.set_fault("RegisterDevice3", "http_error", status=500, body="oops")
        ...  # point the client at twin.origin, trust twin.ca_path
        twin.requests()

Handlers live in a registry: SOAP operations keyed by (path, action), GET resources keyed by
path. Later endpoints are added with register_soap() / register_get() / publish().
"""
import base64
import binascii
import copy
import datetime
import email.utils
import http.server
import json
import os
import socket
import ssl
import threading
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

from .pki import TLS_MODES, TwinPki

SOAP_ENV_NS = "http://schemas.xmlsoap.org/soap/envelope/"

TIME_PATH = "/TR460_REGISTRATION_SERVICE/time_sync.html"
REGISTRATION_PATH = "/TR460_REGISTRATION_SERVICE/TR460REGNew.asmx"
CERTIFICATE_PATH = "/TR460_REGISTRATION_SERVICE/CertFetcher.asmx"
DEVICE_DATA_PATH = "/TR460_REGISTRATION_SERVICE/DeviceDataFatcher.asmx"
UPDATE_PATH = "/tr460_device_update_service/UpdateService.asmx"

FAULT_KINDS = {
    "http_error": "answer with HTTP status `status` (default 500) and `body` (default a SOAP fault)",
    "malformed_xml": "answer with a truncated, not well-formed XML document",
    "missing_element": "leave out one level of the SOAP answer: `level` is envelope, body, response or result",
    "empty_result": "answer with a result element that has no text",
    "bad_signature": "certificate answer: the signature does not match the signed fields",
    "drop_field": "remove comma-separated field `index` from the result text",
    "delay": "wait `seconds` before answering",
    "drop_connection": "close the connection without any answer",
    "no_date_header": "send no Date header",
}

_SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load_namespaces(source_root=_SOURCE_ROOT):
    with open(os.path.join(source_root, "provision", "provision.json")) as f:
        return json.load(f)["namespaces"]


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def soap_request_fields(body):
    """Maps local element names of a SOAP request body to their texts (first occurrence wins)."""
    root = ET.fromstring(body)
    out = {}
    for el in root.iter():
        out.setdefault(_local(el.tag), el.text or "")
    return out


def soap_answer(operation, namespace, result_text, missing=None, empty=False):
    """The SOAP 1.1 answer document of `operation`; `missing` leaves one level out."""
    head = ('<?xml version="1.0" encoding="utf-8"?>'
            '<soap:Envelope xmlns:soap="%s" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xmlns:xsd="http://www.w3.org/2001/XMLSchema">' % SOAP_ENV_NS)
    result = "<%sResult />" % operation if empty else "<%sResult>%s</%sResult>" % (
        operation, escape(result_text), operation)
    if missing == "result":
        result = "<%sStatus>%s</%sStatus>" % (operation, escape(result_text), operation)
    response = '<%sResponse xmlns="%s">%s</%sResponse>' % (operation, namespace, result, operation)
    if missing == "response":
        response = '<%sReply xmlns="%s">%s</%sReply>' % (operation, namespace, result, operation)
    body = "<soap:Body>%s</soap:Body>" % response
    if missing == "body":
        body = "<soap:Header>%s</soap:Header>" % response
    if missing == "envelope":
        return '<?xml version="1.0" encoding="utf-8"?><Envelope xmlns:soap="%s">%s</Envelope>' % (SOAP_ENV_NS, body)
    if missing not in (None, "result", "response", "body"):
        raise ValueError("unknown level: %r" % missing)
    return head + body + "</soap:Envelope>"


def soap_fault(text):
    return ('<?xml version="1.0" encoding="utf-8"?><soap:Envelope xmlns:soap="%s"><soap:Body><soap:Fault>'
            '<faultcode>soap:Server</faultcode><faultstring>%s</faultstring></soap:Fault></soap:Body>'
            '</soap:Envelope>' % (SOAP_ENV_NS, escape(text)))


class Response:
    """What a handler returns when a plain SOAP result text is not enough."""

    def __init__(self, status=200, body=b"", content_type="text/xml; charset=utf-8", headers=None):
        self.status = status
        self.body = body.encode() if isinstance(body, str) else body
        self.content_type = content_type
        self.headers = headers or []


class _RecordingReader:
    """Wraps the request stream and keeps a copy of the bytes of the request head."""

    def __init__(self, raw):
        self._raw = raw
        self.head = bytearray()
        self.recording = True

    def readline(self, limit=-1):
        line = self._raw.readline(limit)
        if self.recording:
            self.head += line
        return line

    def read(self, n=-1):
        return self._raw.read(n)

    def __getattr__(self, name):
        return getattr(self._raw, name)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VELM-Management-Twin/1.0"
    sys_version = ""
    timeout = 15

    def setup(self):
        self.twin = self.server.twin
        self.tls_ok = True
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(self.timeout)
            try:
                self.request.do_handshake()
            except (ssl.SSLError, OSError) as exc:
                self.tls_ok = False
                self.twin._note_tls_failure(str(exc))
        super().setup()
        self.rfile = _RecordingReader(self.rfile)

    def handle(self):
        if self.tls_ok:
            try:
                super().handle()
            except (ConnectionError, ssl.SSLError, socket.timeout):
                pass

    def log_message(self, fmt, *args):  # keep test output quiet
        pass

    def version_string(self):
        return self.server_version

    def date_time_string(self, timestamp=None):
        return email.utils.formatdate(time.time() + self.twin.time_offset, usegmt=True)

    def _read_body(self):
        te = self.headers.get("Transfer-Encoding", "")
        if "chunked" in te.lower():
            out = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(out), True
                out += self.rfile.read(size)
                self.rfile.readline()
        n = int(self.headers.get("Content-Length", "0") or "0")
        return (self.rfile.read(n) if n > 0 else b""), False

    def _serve(self):
        self.rfile.recording = False
        body, chunked = self._read_body()
        path = self.path.split("?", 1)[0]
        action = self.headers.get("SOAPActions", "")
        record = {
            "method": self.command,
            "path": self.path,
            "raw_head": bytes(self.rfile.head).decode("latin-1"),
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("utf-8", "replace"),
            "body_b64": base64.b64encode(body).decode(),
            "chunked": chunked,
            "soap_action": action,
            "time": time.time(),
        }
        self.twin._record(record)
        target = action if self.command == "POST" else path
        faults = self.twin._take_faults(target)
        delay = faults.get("delay")
        if delay is not None:
            if self.twin._stopping.wait(float(delay.get("seconds", 1.0))):
                return
        if "drop_connection" in faults:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if "http_error" in faults:
            f = faults["http_error"]
            resp = Response(int(f.get("status", 500)), f.get("body", soap_fault("Server was unable to process request.")))
        elif "malformed_xml" in faults:
            resp = Response(200, '<?xml version="1.0" encoding="utf-8"?><soap:Envelope xmlns:soap="%s">'
                                 '<soap:Body><Broken' % SOAP_ENV_NS)
        else:
            resp = self.twin._dispatch(self.command, path, action, body, record, faults)
        self._send(resp, no_date="no_date_header" in faults)

    def _send(self, resp, no_date=False):
        self.send_response_only(resp.status)
        self.send_header("Server", self.version_string())
        if not no_date:
            self.send_header("Date", self.date_time_string())
        self.send_header("Content-Type", resp.content_type)
        self.send_header("Content-Length", str(len(resp.body)))
        for k, v in resp.headers:
            self.send_header(k, v)
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(resp.body)
        self.wfile.flush()

    do_GET = _serve
    do_POST = _serve
    do_HEAD = _serve


class _TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, addr, twin, ssl_ctx):
        self.twin = twin
        self.ssl_ctx = ssl_ctx
        super().__init__(addr, _Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        return self.ssl_ctx.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def handle_error(self, request, client_address):
        pass


class ServerTwin:
    def __init__(self, state_dir, host="127.0.0.1", port=18443, control_port=None, ca_out=None,
                 tls_mode="good", keys_dir=None, source_root=_SOURCE_ROOT):
        if tls_mode not in TLS_MODES:
            raise ValueError("tls_mode must be one of %s" % (TLS_MODES,))
        self.state_dir = os.path.abspath(state_dir)
        self.host = host
        self._want_port = port
        self._want_control_port = control_port
        self.tls_mode = tls_mode
        self.keys_dir = keys_dir or os.path.join(source_root, "sim", "keys")
        self.namespaces = load_namespaces(source_root)
        self.pki = TwinPki(self.state_dir)
        self.ca_path = os.path.join(self.state_dir, "management-ca.pem")
        self.pki.write_ca(self.ca_path)
        if ca_out:
            self.pki.write_ca(ca_out)
        with open(os.path.join(self.keys_dir, "maker_signing_test.key"), "rb") as f:
            self.signing_key = serialization.load_pem_private_key(f.read(), password=None)
        self.uidai_certs = {}
        for env in ("stage", "prod", "preprod"):
            with open(os.path.join(self.keys_dir, "uidai_%s_test.crt" % env), "rb") as f:
                cert = x509.load_pem_x509_certificate(f.read())
            self.uidai_certs[env] = base64.b64encode(cert.public_bytes(serialization.Encoding.DER)).decode()
        self._lock = threading.Condition()
        self._stopping = threading.Event()
        self._soap = {}
        self._get = {}
        self._server = None
        self._control = None
        self._threads = []
        self.reset()
        self.register_soap(REGISTRATION_PATH, "RegisterDevice3", _register_device)
        self.register_soap(CERTIFICATE_PATH, "GetUIDAICertificates_2019", _uidai_certificates)
        self.register_soap(DEVICE_DATA_PATH, "deviceSuspectReport", _suspect_report)
        self.register_soap(UPDATE_PATH, "GetUpdateDetailsModel", _update_details)
        self.register_soap(UPDATE_PATH, "GetUpdateEncData", _update_enc_data)
        self.register_get(TIME_PATH, lambda twin, rec: Response(200, "<html><body>OK</body></html>",
                                                                "text/html; charset=utf-8"))

    # ---- lifecycle -------------------------------------------------------------------------

    def start(self):
        cert, key = self.pki.server_credentials(self.tls_mode, self.host)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.load_cert_chain(cert, key)
        self._stopping.clear()
        self._server = _TlsServer((self.host, self._want_port), self, ctx)
        self._spawn(self._server.serve_forever)
        if self._want_control_port is not None:
            self._control = _ControlServer((self.host, self._want_control_port), self)
            self._spawn(self._control.serve_forever)
        return self

    def _spawn(self, fn):
        t = threading.Thread(target=fn, kwargs={"poll_interval": 0.1}, daemon=True)
        t.start()
        self._threads.append(t)

    def stop(self):
        self._stopping.set()
        for srv in (self._server, self._control):
            if srv is not None:
                srv.shutdown()
                srv.server_close()
        for t in self._threads:
            t.join()
        self._threads = []
        self._server = self._control = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def control_port(self):
        return self._control.server_address[1] if self._control else None

    @property
    def origin(self):
        return "https://%s:%d" % (self.host, self.port)

    def url(self, path):
        return self.origin + path

    # ---- control API -----------------------------------------------------------------------

    def reset(self):
        """Back to the default answers: no faults, no offset, nothing recorded."""
        with self._lock:
            self._faults = {}
            self._requests = []
            self.tls_failures = []
            self.time_offset = 0.0
            self.model_cert_validity = (-3600, 365 * 86400)
            self.registration = {"attempt": "10", "timelock": "15", "level": "2000", "result": None}
            self.registrations = []
            self.cert_answer = {"field0": None, "reregister": "N", "firmware_version": "V1.00", "blank": []}
            self.spoof_reports = []
            self.update_list = ""
            self.update_secret = ""
            self._published = {}

    def set_fault(self, target, kind, count=None, **params):
        """Injects a fault for a SOAP action, a GET path or "*" (every request).

        count: how many requests it applies to (None: until cleared)."""
        if kind not in FAULT_KINDS:
            raise ValueError("unknown fault kind %r; known: %s" % (kind, ", ".join(FAULT_KINDS)))
        if kind == "missing_element" and params.get("level") not in ("envelope", "body", "response", "result"):
            raise ValueError("missing_element needs level envelope, body, response or result")
        with self._lock:
            self._faults.setdefault(target, {})[kind] = {"count": count, **params}

    def clear_faults(self):
        with self._lock:
            self._faults = {}

    def set_time_offset(self, seconds):
        with self._lock:
            self.time_offset = float(seconds)

    def set_model_cert_validity(self, not_before, not_after):
        """Validity of issued model certificates, in seconds relative to the moment of issue."""
        with self._lock:
            self.model_cert_validity = (float(not_before), float(not_after))

    def set_registration(self, attempt=None, timelock=None, level=None, result=None):
        """Anti-spoof fields 3-5 of the registration answer, or the whole result text."""
        with self._lock:
            for k, v in (("attempt", attempt), ("timelock", timelock), ("level", level)):
                if v is not None:
                    self.registration[k] = str(v)
            self.registration["result"] = result

    def set_certificate_answer(self, reregister=None, firmware_version=None, field0=None, blank=None):
        """Fields of the certificate answer; blank lists environments (stage, prod, preprod) sent empty."""
        with self._lock:
            if reregister is not None:
                self.cert_answer["reregister"] = reregister
            if firmware_version is not None:
                self.cert_answer["firmware_version"] = firmware_version
            if field0 is not None:
                self.cert_answer["field0"] = field0
            if blank is not None:
                self.cert_answer["blank"] = list(blank)

    def set_update_list(self, text):
        with self._lock:
            self.update_list = text

    def set_update_secret(self, text):
        with self._lock:
            self.update_secret = text

    def publish(self, path, data, content_type="application/octet-stream"):
        """Serves `data` (bytes) on GET `path`."""
        with self._lock:
            self._published[path] = (bytes(data), content_type)

    def register_soap(self, path, action, handler):
        """handler(twin, fields, record) -> result text (str) or Response; fields maps request element names to texts."""
        with self._lock:
            self._soap[(path, action)] = handler

    def register_get(self, path, handler):
        """handler(twin, record) -> Response."""
        with self._lock:
            self._get[path] = handler

    def requests(self):
        with self._lock:
            return copy.deepcopy(self._requests)

    def clear_requests(self):
        with self._lock:
            self._requests = []

    def wait_for_requests(self, n, timeout=10.0):
        """Waits until at least n requests have been recorded; returns them (or None on timeout)."""
        with self._lock:
            if self._lock.wait_for(lambda: len(self._requests) >= n, timeout):
                return copy.deepcopy(self._requests)
            return None

    def state(self):
        with self._lock:
            return {"origin": self.origin, "port": self.port, "control_port": self.control_port,
                    "ca": self.ca_path, "tls_mode": self.tls_mode, "time_offset": self.time_offset,
                    "faults": copy.deepcopy(self._faults), "tls_failures": list(self.tls_failures),
                    "spoof_reports": list(self.spoof_reports), "registrations": copy.deepcopy(self.registrations)}

    # ---- internals -------------------------------------------------------------------------

    def _record(self, record):
        with self._lock:
            self._requests.append(record)
            self._lock.notify_all()

    def _note_tls_failure(self, text):
        with self._lock:
            self.tls_failures.append(text)
            self._lock.notify_all()

    def _take_faults(self, target):
        out = {}
        with self._lock:
            for key in ("*", target):
                table = self._faults.get(key, {})
                for kind in list(table):
                    f = table[kind]
                    out[kind] = dict(f)
                    if f["count"] is not None:
                        f["count"] -= 1
                        if f["count"] <= 0:
                            del table[kind]
        return out

    def _dispatch(self, method, path, action, body, record, faults):
        with self._lock:
            soap = self._soap.get((path, action)) if method == "POST" else None
            get = self._get.get(path) if method in ("GET", "HEAD") else None
            published = self._published.get(path) if method in ("GET", "HEAD") else None
        if published is not None:
            return Response(200, published[0], published[1])
        if get is not None:
            return get(self, record)
        if soap is None:
            if method == "POST":
                return Response(500, soap_fault("Unknown SOAP action %r on %s" % (action, path)))
            return Response(404, "<html><body>Not Found</body></html>", "text/html")
        try:
            fields = soap_request_fields(body)
        except ET.ParseError as exc:
            return Response(400, soap_fault("Request is not well-formed XML: %s" % exc))
        result = soap(self, fields, record)
        if isinstance(result, Response):
            return result
        if "bad_signature" in faults:
            result = _bad_signature_result(result)
        if "drop_field" in faults:
            parts = result.split(",")
            idx = int(faults["drop_field"].get("index", len(parts) - 1))
            if 0 <= idx < len(parts):
                del parts[idx]
            result = ",".join(parts)
        missing = faults.get("missing_element", {}).get("level")
        return Response(200, soap_answer(action, self._namespace_for(path), result, missing,
                                         empty="empty_result" in faults))

    def _namespace_for(self, path):
        return {REGISTRATION_PATH: self.namespaces["registration"],
                CERTIFICATE_PATH: self.namespaces["certificate"],
                DEVICE_DATA_PATH: self.namespaces["device_data"],
                UPDATE_PATH: self.namespaces["update"]}.get(path, "http://tempuri.org/")

    def sign(self, data):
        return self.signing_key.sign(data, padding.PKCS1v15(), hashes.SHA256())


# ---- built-in handlers -----------------------------------------------------------------------

def _stamp():
    return time.strftime("%Y%m%d%H%M%S", time.gmtime())


def _register_device(twin, fields, record):
    raw = fields.get("argReqData", "")
    try:
        request = base64.b64decode(raw, validate=True).decode("utf-8", "replace")
    except (binascii.Error, ValueError):
        request = ""
    parts = request.split(",")
    valid = len(parts) >= 2 and parts[0] == "4"
    device_fields = parts[1:] if valid else []
    serial = next((p.strip() for p in device_fields if p.strip()), "")
    public_key = None
    for p in device_fields:
        try:
            public_key = serialization.load_der_public_key(base64.b64decode(p.strip(), validate=True))
            break
        except (binascii.Error, ValueError):
            continue
    with twin._lock:
        reg = dict(twin.registration)
        nb, na = twin.model_cert_validity
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    der = twin.pki.issue_model_certificate(serial, now + datetime.timedelta(seconds=nb),
                                           now + datetime.timedelta(seconds=na), public_key)
    cert_b64 = base64.b64encode(der).decode()
    with twin._lock:
        twin.registrations.append({"request": request, "valid": valid, "serial": serial,
                                   "call_version": fields.get("argCallVersion", ""),
                                   "certificate": cert_b64})
    if reg["result"] is not None:
        return reg["result"]
    if not valid:
        return "0,ERR,Invalid registration request"
    return ",".join(["1", serial, _stamp(), reg["attempt"], reg["timelock"], reg["level"], cert_b64])


def _uidai_certificates(twin, fields, record):
    with twin._lock:
        ans = copy.deepcopy(twin.cert_answer)
    f0 = ans["field0"] if ans["field0"] is not None else _stamp()
    certs = [("" if env in ans["blank"] else twin.uidai_certs[env]) for env in ("stage", "prod", "preprod")]
    signed = [f0, ans["reregister"]] + certs
    signature = bytearray(twin.sign("".join(signed).encode()))
    return ",".join(signed + [base64.b64encode(bytes(signature)).decode(), ans["firmware_version"]])


def _bad_signature_result(result):
    parts = result.split(",")
    if len(parts) > 5:
        sig = bytearray(base64.b64decode(parts[5]))
        sig[len(sig) // 2] ^= 0x01
        parts[5] = base64.b64encode(bytes(sig)).decode()
    return ",".join(parts)


def _suspect_report(twin, fields, record):
    with twin._lock:
        twin.spoof_reports.append({"srno": fields.get("srno", ""), "additionalInfo": fields.get("additionalInfo", "")})
        twin._lock.notify_all()
    return "1"


def _update_details(twin, fields, record):
    with twin._lock:
        text = twin.update_list
    return base64.b64encode(text.encode()).decode()


def _update_enc_data(twin, fields, record):
    with twin._lock:
        return twin.update_secret


class _ControlHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 15

    def log_message(self, fmt, *args):
        pass

    def _reply(self, status, obj):
        data = json.dumps(obj).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        self.wfile.write(data)

    def _raw(self, status, data):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        twin = self.server.twin
        if self.path == "/state":
            return self._reply(200, twin.state())
        if self.path == "/requests":
            return self._reply(200, twin.requests())
        if self.path == "/requests/count":
            return self._raw(200, str(len(twin.requests())).encode())
        parts = self.path.strip("/").split("/")
        if len(parts) == 3 and parts[0] == "requests" and parts[2] in ("raw_head", "body", "method", "path"):
            reqs = twin.requests()
            try:
                rec = reqs[int(parts[1])]
            except (ValueError, IndexError):
                return self._reply(404, {"error": "no such request"})
            if parts[2] == "body":
                return self._raw(200, base64.b64decode(rec["body_b64"]))
            return self._raw(200, rec[parts[2]].encode("latin-1"))
        if self.path == "/tls-failures/count":
            return self._raw(200, str(len(twin.state()["tls_failures"])).encode())
        return self._reply(404, {"error": "unknown path"})

    def do_POST(self):
        twin = self.server.twin
        n = int(self.headers.get("Content-Length", "0") or "0")
        try:
            args = json.loads(self.rfile.read(n) or b"{}")
            route = {
                "/fault": lambda a: twin.set_fault(a.pop("target"), a.pop("kind"), **a),
                "/faults/clear": lambda a: twin.clear_faults(),
                "/requests/clear": lambda a: twin.clear_requests(),
                "/reset": lambda a: twin.reset(),
                "/time-offset": lambda a: twin.set_time_offset(a["seconds"]),
                "/model-cert-validity": lambda a: twin.set_model_cert_validity(a["not_before"], a["not_after"]),
                "/registration": lambda a: twin.set_registration(**a),
                "/certificates": lambda a: twin.set_certificate_answer(**a),
                "/update-list": lambda a: twin.set_update_list(a["text"]),
                "/update-secret": lambda a: twin.set_update_secret(a["text"]),
                "/publish": lambda a: twin.publish(a["path"], base64.b64decode(a["data_b64"]),
                                                   a.get("content_type", "application/octet-stream")),
            }.get(self.path)
            if route is None:
                return self._reply(404, {"error": "unknown path"})
            route(args)
        except (KeyError, TypeError, ValueError) as exc:
            return self._reply(400, {"error": str(exc)})
        return self._reply(200, {"ok": True})


class _ControlServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, addr, twin):
        self.twin = twin
        super().__init__(addr, _ControlHandler)
