"""ScannerTwin: plays the fingerprint scanner on a file descriptor.

The descriptor is normally the master side of a pty pair whose slave the
service opens as the scanner's tty.  In normal mode the twin answers the
text commands ("VELM_..." + argument + CR LF) with one line ended by LF
(capture replies: lines ended by CR LF, closed by an end marker); in update
mode it answers binary frames (see frames.py) with one acknowledgement frame.

Clock: the twin keeps an offset from the host's local time (or a frozen
reading).  Every encrypted request is decrypted with the clock reading the
twin last reported in its time record ("VELM_GetTime"), not with its current
clock, because the host builds requests from that reading and the clock
moves on meanwhile.  Before the first report the current reading is used.
A request built from any other reading fails its GCM tag and is refused.

Thread safety: all state is guarded by one lock; the serving thread and the
control API (tests, control socket) may run concurrently.
"""

import base64
import datetime
import hashlib
import os
import re
import select
import threading
import tty

from . import certs, crypto, frames, pidblock

TIME_FMT = "%Y-%m-%dT%H:%M:%S"

# Text commands; longest first so that no command is taken for the prefix of another.
TEXT_COMMANDS = sorted([
    "VELM_ReadSRNO", "VELM_ReadMI", "VELM_ReadMC", "VELM_ReadDC", "VELM_ReadDPID",
    "VELM_GetTime", "VELM_GetInfo", "VELM_GetKey", "VELM_CHGMODE", "VELM_SetTime",
    "VELM_Registration", "VELM_Complete_Registration", "VELM_ADDPUBKEY",
    "VELM_GeneratePID", "VELM_CALI_NB", "VELM_SnapFinger",
], key=len, reverse=True)

DEFAULT_CAPTURE = {
    "result": "ok",          # ok | timeout | spoof | not_allow | error | silent | raw
    "minutiae": 42,
    "count": "0",            # field 3
    "quality": 80,           # field 4
    "liveness": 45000,       # field 5
    "capture_time": None,    # field 1; None = the twin's clock when captured
    "status": "STATUS_OK",   # field 0 of an ok answer
    "end": "END@VELM",       # closing field
    "error_text": "FAIL",    # result "error": "ERR:" + this
    "raw": None,             # result "raw": these bytes verbatim
    "noise": [],             # lines (CR LF added) sent before the answer, one write each
    "noise_gap": 0.02,       # seconds between the writes of noise lines and chunks
    "chunk_size": 0,         # >0: send the answer in pieces of this many bytes
    "delay": 0.0,            # seconds before the answer
}

FRAME_FAULTS = ("refuse", "bad_start", "wrong_command", "short", "silent", "bad_checksum")

CODE_FLASH_END = 0x000FFFFF
FLASH_REGIONS = [  # first, last, write unit
    (0x00000000, 0x0000FFFF, 128),
    (0x00010000, 0x000FFFFF, 128),
    (0x40100000, 0x4010FFFF, 4),
    (0x0100A100, 0x0100A17F, 16),
]


def _region_of(addr):
    for first, last, unit in FLASH_REGIONS:
        if first <= addr <= last:
            return first, last, unit
    return None


class Refused(Exception):
    """A request the scanner refuses; the text goes into its failure reply."""


def jsonable(v):
    """A value of the twin's API as JSON can carry it: bytes as hex, dates as ISO text."""
    if isinstance(v, (bytes, bytearray)):
        return bytes(v).hex()
    if isinstance(v, (datetime.datetime, datetime.date)):
        return v.isoformat()
    if isinstance(v, dict):
        return {str(k): jsonable(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [jsonable(x) for x in v]
    return v


class ScannerTwin:
    def __init__(self, fd, serial="VT0000012345", model_id="TR460U L1",
                 device_code="0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", provider_id="VELMORA",
                 environment="P", status_word=0, firmware_version="2.04", mode="normal",
                 cert_not_after=None, clock=None, line_end=b"\n", raw=True,
                 on_mode_change=None, registration_ca=None, update_model_id="TR460U OEMRXMODE",
                 chip_number=0x12345678, apply_returns_to_normal=True, time_record=None):
        self.fd = fd
        self._lock = threading.RLock()
        self._stop = threading.Event()
        self._thread = None
        self._write_lock = threading.Lock()
        if raw:
            try:
                tty.setraw(fd)
            except Exception:
                pass  # not a terminal (socketpair in unit tests)
        self.serial = serial
        self.model_id = model_id
        self.update_model_id = update_model_id
        self.device_code = device_code
        self.provider_id = provider_id
        self.environment = environment
        self.status_word = int(status_word)
        self.firmware_version = firmware_version
        self.mode = mode
        self.line_end = line_end
        self.on_mode_change = on_mode_change
        self.registration_ca = registration_ca  # x509 CA certificate the server's must chain to
        self.chip_number = chip_number
        self.apply_returns_to_normal = apply_returns_to_normal
        self.time_record = time_record  # verbatim override of the time record line
        self.info_pairs = None          # None: [(1, firmware number), (130, 7)]
        self.device_key_string = "%s,%s,LOT2026A" % (
            base64.b64encode(hashlib.sha256(serial.encode() + b"req").digest()).decode(),
            base64.b64encode(hashlib.sha256(serial.encode() + b"ses").digest()).decode())
        self.oem_key = hashlib.sha256(serial.encode() + b"oem").digest() * 2
        self.calibration_reply = "Calibration success"
        self.pid_fault = None          # None | "silent" | "two_fields" | "four_fields" | "bad_hmac"
        self.reply_overrides = {}      # command word -> reply line (text) or None for silence
        self._clock_offset = datetime.timedelta(0)
        self._clock_frozen = None
        if clock is not None:
            self.set_clock(clock)
        self._last_reported = None
        self.model_cert_der = None
        self.set_model_cert(cert_not_after or datetime.datetime.now() + datetime.timedelta(days=365))
        self.key_records = None        # [prod, preprod, stage] 263-byte records
        self._received = []
        self._capture_queue = []
        self._capture_by_position = {}
        self._capture_default = dict(DEFAULT_CAPTURE)
        self._session = None           # biometrics of the capture in progress
        self._registration_pending = None
        self.pids = []                 # (format, block) of every PID block produced
        self._frame_faults = {}        # command -> [kind, remaining count or None]
        self.flash = bytearray(b"\xff" * (CODE_FLASH_END + 1))
        self._write_window = None      # [next address, last address]
        self.applied = 0
        self._rxbuf = bytearray()

    # ------------------------------------------------------------------ life
    def start(self):
        with self._lock:
            if self._thread is not None:
                return
            os.set_blocking(self.fd, False)
            self._stop.clear()
            self._thread = threading.Thread(target=self._serve, name="scanner-twin", daemon=True)
            self._thread.start()

    def stop(self, timeout=5.0):
        self._stop.set()
        t = self._thread
        if t is not None and t is not threading.current_thread():
            t.join(timeout)
        self._thread = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    # ------------------------------------------------------------- state API
    def clock_reading(self):
        with self._lock:
            now = self._clock_frozen or (datetime.datetime.now() + self._clock_offset)
            return now.replace(microsecond=0).strftime(TIME_FMT)

    def set_clock(self, when, frozen=False):
        """Set the clock to a datetime or a 'YYYY-MM-DDTHH:MM:SS' text."""
        if isinstance(when, str):
            when = datetime.datetime.strptime(when, TIME_FMT)
        with self._lock:
            if frozen:
                self._clock_frozen = when
            else:
                self._clock_frozen = None
                self._clock_offset = when - datetime.datetime.now()

    def shift_clock(self, seconds):
        with self._lock:
            if self._clock_frozen is not None:
                self._clock_frozen += datetime.timedelta(seconds=seconds)
            else:
                self._clock_offset += datetime.timedelta(seconds=seconds)

    def clock_offset_seconds(self):
        with self._lock:
            if self._clock_frozen is not None:
                return (self._clock_frozen - datetime.datetime.now()).total_seconds()
            return self._clock_offset.total_seconds()

    def last_reported_reading(self):
        with self._lock:
            return self._last_reported

    def set_tamper(self, on=True):
        with self._lock:
            if on:
                self.status_word |= 1 << 29
            else:
                self.status_word &= ~(1 << 29)

    def set(self, **fields):
        """Set plain state fields (serial, model_id, environment, ...)."""
        allowed = {"serial", "model_id", "update_model_id", "device_code", "provider_id",
                   "environment", "status_word", "firmware_version", "line_end",
                   "chip_number", "apply_returns_to_normal", "time_record", "info_pairs",
                   "device_key_string", "calibration_reply", "pid_fault", "reply_overrides"}
        with self._lock:
            for k, v in fields.items():
                if k not in allowed:
                    raise KeyError("unknown field %r" % k)
                if k == "line_end" and isinstance(v, str):
                    v = v.encode()
                setattr(self, k, v)

    def set_mode(self, mode, notify=True):
        if mode not in ("normal", "update"):
            raise ValueError("mode must be normal or update")
        with self._lock:
            changed = self.mode != mode
            self.mode = mode
            self._rxbuf.clear()
            self._write_window = None
        if changed and notify and self.on_mode_change is not None:
            self.on_mode_change(self, mode)

    def set_model_cert(self, not_after=None, der=None):
        """Install a model certificate: a new one valid until not_after, or given DER."""
        if der is None:
            if isinstance(not_after, str):
                not_after = datetime.datetime.fromisoformat(not_after)
            der = certs.make_model_certificate(self.serial, not_after)
        with self._lock:
            self.model_cert_der = der

    def clear_model_cert(self):
        with self._lock:
            self.model_cert_der = None

    def model_cert_b64(self):
        with self._lock:
            return base64.b64encode(self.model_cert_der).decode() if self.model_cert_der else ""

    def device_code_bytes(self):
        return bytes.fromhex(self.device_code.replace("-", "").strip())

    def received(self):
        with self._lock:
            return [dict(r) for r in self._received]

    def clear_received(self):
        with self._lock:
            self._received.clear()

    # capture scenarios
    def set_capture_default(self, **scenario):
        with self._lock:
            self._capture_default = dict(DEFAULT_CAPTURE, **scenario)

    def set_capture(self, position, **scenario):
        """Scenario for every capture of a finger position (index 0..10 or name)."""
        if isinstance(position, str):
            position = crypto.FINGER_NAMES.index(position)
        with self._lock:
            self._capture_by_position[int(position)] = scenario

    def queue_capture(self, *scenarios):
        """Scenarios for the next captures, in order (before per-position ones)."""
        with self._lock:
            self._capture_queue.extend(dict(s) for s in scenarios)

    def clear_captures(self):
        with self._lock:
            self._capture_queue.clear()
            self._capture_by_position.clear()
            self._capture_default = dict(DEFAULT_CAPTURE)

    # update-mode scenarios
    def set_frame_fault(self, command, kind, count=None):
        """Answer frames of `command` with a fault (see FRAME_FAULTS); count None = always."""
        if kind not in FRAME_FAULTS:
            raise ValueError("unknown frame fault %r" % kind)
        with self._lock:
            self._frame_faults[int(command)] = [kind, count]

    def clear_frame_faults(self):
        with self._lock:
            self._frame_faults.clear()

    def flash_read(self, address, length):
        with self._lock:
            return bytes(self.flash[address:address + length])

    def flash_blob(self, address=0x00050000):
        """(secret, image) of the blob written at address, or None when it is not there."""
        with self._lock:
            f = self.flash
            s = int.from_bytes(f[address:address + 4], "big")
            if s == 0xFFFFFFFF or address + 8 + s > len(f):
                return None
            secret = bytes(f[address + 4:address + 4 + s])
            n = int.from_bytes(f[address + 4 + s:address + 8 + s], "big")
            if n == 0xFFFFFFFF or address + 8 + s + n > len(f):
                return None
            return secret, bytes(f[address + 8 + s:address + 8 + s + n])

    # ------------------------------------------------------------ serving
    def _serve(self):
        while not self._stop.is_set():
            try:
                r, _, x = select.select([self.fd], [], [], 0.1)
            except (OSError, ValueError):
                return
            if not r:
                continue
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                continue
            except OSError:
                # The slave side is closed (nobody has the tty open): wait for it.
                self._stop.wait(0.05)
                continue
            if not data:
                self._stop.wait(0.05)
                continue
            with self._lock:
                self._rxbuf += data
            self._process()

    def _process(self):
        while not self._stop.is_set():
            with self._lock:
                mode = self.mode
                buf = self._rxbuf
                if not buf:
                    return
                if mode == "update" and buf[0] in (frames.CMD_START, frames.DATA_START):
                    try:
                        frame, used = frames.parse(buf)
                    except frames.FrameError as e:
                        del buf[:e.consumed]
                        bad = (e, None)
                    else:
                        if frame is None:
                            return
                        del buf[:used]
                        bad = (None, frame)
                    line = None
                else:
                    i = buf.find(b"\n")
                    if i < 0:
                        if len(buf) > 65536:
                            buf.clear()
                        return
                    line = bytes(buf[:i]).rstrip(b"\r")
                    del buf[:i + 1]
            if line is not None:
                if mode == "update":
                    self._handle_text_in_update_mode(line)
                else:
                    self._handle_line(line)
            else:
                self._handle_frame(*bad)

    def _write(self, data, deadline=5.0):
        """Write all bytes, bounded by a deadline; bytes the peer never takes are dropped."""
        import time
        end = time.monotonic() + deadline
        view = memoryview(bytes(data))
        with self._write_lock:
            while view:
                left = end - time.monotonic()
                if left <= 0 or self._stop.is_set():
                    return False
                try:
                    _, w, _ = select.select([], [self.fd], [], min(left, 0.1))
                except (OSError, ValueError):
                    return False
                if not w:
                    continue
                try:
                    n = os.write(self.fd, view)
                except BlockingIOError:
                    continue
                except OSError:
                    return False
                view = view[n:]
        return True

    def _reply_line(self, text):
        if isinstance(text, str):
            text = text.encode()
        self._write(text + self.line_end)

    def _record(self, **entry):
        with self._lock:
            self._received.append(entry)
        return entry

    # ---------------------------------------------------------- text commands
    def _handle_text_in_update_mode(self, line):
        # The update firmware speaks frames only, except that it still names
        # itself to a model-identifier query.
        text = line.decode("latin-1")
        if text.startswith("VELM_ReadMI"):
            self._record(command="VELM_ReadMI", payload="", mode="update", ok=True)
            self._reply_line(self.update_model_id)
        else:
            self._record(command="text_in_update_mode", payload=text, mode="update", ok=False,
                         reason="ignored")

    def _handle_line(self, line):
        text = line.decode("latin-1")
        word = next((c for c in TEXT_COMMANDS if text.startswith(c)), None)
        if word is None:
            self._record(command="unknown", payload=text, ok=False, reason="unknown command")
            self._reply_line("FAIL:Unknown command")
            return
        payload = text[len(word):]
        payload_stripped = payload.strip()
        entry = self._record(command=word, payload=payload_stripped, ok=True)
        with self._lock:
            overrides = dict(self.reply_overrides)
        if word in overrides:
            if overrides[word] is not None:
                self._reply_line(overrides[word])
            return
        handler = getattr(self, "_cmd_" + word[5:])
        try:
            reply = handler(payload_stripped, entry)
        except Refused as e:
            entry.update(ok=False, reason=str(e))
            # No comma in a failure reply: callers count comma-separated fields.
            reason = str(e).replace(",", ";").replace("\r", " ").replace("\n", " ")
            if word == "VELM_SnapFinger":
                self._write(("ERR:FAIL %s\r\n" % reason).encode())
                return
            reply = "FAIL:%s" % reason
        if reply is not None:
            self._reply_line(reply)

    def _decrypt(self, kind, payload, entry, **ctx):
        with self._lock:
            reading = self._last_reported or self.clock_reading()
        entry["kind"] = kind
        entry["reading"] = reading
        try:
            blob = crypto.decode_base64_strict(payload)
            plain = crypto.decrypt_request(kind, reading, self.device_code_bytes(), blob)
            entry["plain"] = plain.hex()
            parsed = crypto.check_plain(kind, plain, **ctx)
        except ValueError as e:
            raise Refused(str(e)) from None
        return parsed

    def _cmd_ReadSRNO(self, payload, entry):
        return self.serial

    def _cmd_ReadMI(self, payload, entry):
        return self.model_id

    def _cmd_ReadMC(self, payload, entry):
        return self.model_cert_b64()

    def _cmd_ReadDC(self, payload, entry):
        return self.device_code

    def _cmd_ReadDPID(self, payload, entry):
        return self.provider_id

    def _cmd_GetTime(self, payload, entry):
        with self._lock:
            reading = self.clock_reading()
            self._last_reported = reading
            if self.time_record is not None:
                return self.time_record
            nkeys = 3 if self.key_records else 0
            reg = "R" if self.model_cert_der else "U"
            return ",".join([reading, str(self.status_word), self.environment,
                             self.firmware_version, str(nkeys), reg, "APP", "0"])

    def _firmware_number(self):
        digits = self.firmware_version.replace("V", "").replace(".", "")
        return int(digits) if digits.isdigit() else 0

    def _version_pairs(self):
        return self.info_pairs if self.info_pairs is not None else [(1, self._firmware_number()), (130, 7)]

    def _cmd_GetInfo(self, payload, entry):
        pairs = "-".join("%d-%d" % (t, v) for t, v in self._version_pairs())
        return ",".join([self.serial, self.model_id, pairs, self.firmware_version])

    def _cmd_GetKey(self, payload, entry):
        return self.device_key_string

    def _cmd_CALI_NB(self, payload, entry):
        return self.calibration_reply

    def _cmd_SetTime(self, payload, entry):
        got = self._decrypt("time", payload, entry)
        self.set_clock(got["datetime"])
        entry["time_set"] = got["stamp"]
        return "Success"

    def _cmd_ADDPUBKEY(self, payload, entry):
        got = self._decrypt("key_change", payload, entry)
        with self._lock:
            self.key_records = got["records"]
        return "Success"

    def _cmd_CHGMODE(self, payload, entry):
        self._decrypt("mode", payload, entry, serial=self.serial, device_code_text=self.device_code)
        self._reply_line("Success")
        self.set_mode("update")
        return None

    def _cmd_Registration(self, payload, entry):
        env = payload.strip()
        if env not in ("P", "PP", "S"):
            raise Refused("unknown environment %r" % env)
        if env != self.environment:
            raise Refused("environment %r is not the scanner's %r" % (env, self.environment))
        nonce = os.urandom(16).hex()
        with self._lock:
            self._registration_pending = nonce
            fields = [self.serial, self.device_code, self.model_id, env, self.clock_reading(),
                      nonce, certs.spki_b64()]
        return ",".join(fields)

    def _cmd_Complete_Registration(self, payload, entry):
        with self._lock:
            pending = self._registration_pending
        if pending is None:
            raise Refused("no registration was started")
        fields = payload.split(",")
        if len(fields) < 7:
            raise Refused("registration answer has %d fields" % len(fields))
        try:
            cert = certs.parse_certificate_b64(fields[-1])
        except ValueError as e:
            raise Refused(str(e)) from None
        if self.registration_ca is not None:
            try:
                from cryptography.hazmat.primitives.asymmetric import padding
                if cert.issuer != self.registration_ca.subject:
                    raise ValueError("issuer")
                self.registration_ca.public_key().verify(
                    cert.signature, cert.tbs_certificate_bytes, padding.PKCS1v15(),
                    cert.signature_hash_algorithm)
            except Exception:
                raise Refused("model certificate is not issued by the registration CA") from None
        from cryptography.hazmat.primitives import serialization
        with self._lock:
            self.model_cert_der = cert.public_bytes(serialization.Encoding.DER)
            self._registration_pending = None
        entry["installed_cert_not_after"] = cert.not_valid_after.isoformat()
        return "Success"

    # ------------------------------------------------------------- capture
    def _scenario_for(self, position):
        with self._lock:
            if self._capture_queue:
                s = self._capture_queue.pop(0)
            else:
                s = self._capture_by_position.get(position, {})
            return dict(self._capture_default, **s)

    def _cmd_SnapFinger(self, payload, entry):
        got = self._decrypt("capture", payload, entry)
        with self._lock:
            if got["first"]:
                self._session = {"params": got, "bios": [], "expected": got["fcount"]}
            elif self._session is None:
                raise Refused("further finger without a first finger")
            session = self._session
        sc = self._scenario_for(got["position"])
        entry["scenario"] = sc["result"]
        res = sc["result"]
        end = sc["end"]
        if res == "ok":
            ctime = sc["capture_time"] or self.clock_reading()
            answer = ",".join([sc["status"], ctime, str(sc["minutiae"]), str(sc["count"]),
                               str(sc["quality"]), str(sc["liveness"]), end])
            ftype = session["params"]["ftype"]
            seed = ("%s|%d|%d" % (self.serial, got["position"], len(session["bios"]))).encode()
            with self._lock:
                for typ in (("FMR", "FIR") if ftype == "BOTH" else (ftype,)):
                    session["bios"].append((typ, got["position_name"],
                                            hashlib.sha512(seed + typ.encode()).digest()))
        elif res == "timeout":
            answer = "CAPTURE_TIMEOUT," + end
        elif res == "spoof":
            answer = "ERR:Spoof Detected," + end
        elif res == "not_allow":
            answer = "ERR:NOT ALLOW," + end
        elif res == "error":
            answer = "ERR:%s,%s" % (sc["error_text"], end)
        elif res == "silent":
            answer = None
        elif res == "raw":
            answer = None
        else:
            raise Refused("unknown scenario %r" % res)
        if sc["delay"] and self._stop.wait(sc["delay"]):
            return None
        for n in sc["noise"]:
            self._write(n.encode() + b"\r\n")
            if self._stop.wait(sc["noise_gap"]):
                return None
        if res == "raw" and sc["raw"] is not None:
            raw = sc["raw"]
            self._write(raw.encode() if isinstance(raw, str) else raw)
        if answer is None:
            return None
        data = answer.encode() + b"\r\n"
        size = int(sc["chunk_size"] or 0)
        if size > 0:
            for i in range(0, len(data), size):
                self._write(data[i:i + size])
                if i + size < len(data) and self._stop.wait(sc["noise_gap"]):
                    return None
        else:
            self._write(data)
        return None

    # ----------------------------------------------------------------- PID
    def _cmd_GeneratePID(self, payload, entry):
        got = self._decrypt("pid", payload, entry)
        with self._lock:
            session = self._session
            records = self.key_records
            fault = self.pid_fault
        if session is None or not session["bios"]:
            raise Refused("no biometrics captured")
        if got["key_block"] is not None:
            e, n = crypto.check_short_key(got["key_block"])
        else:
            if not records or got["key_index"] == 0:
                raise Refused("no UIDAI key for index %d" % got["key_index"])
            e, n, _ = crypto.check_key_record(records[got["key_index"] - 1])
        if fault == "silent":
            return None
        ts = self.clock_reading()
        fmt = session["params"]["format"]
        build = pidblock.build_xml if fmt == "X" else pidblock.build_protobuf
        block = build(ts, session["bios"], demo=got["demo"], wadh=got["wadh"], otp=got["otp"])
        data, skey, hmac = pidblock.encrypt_block(block, ts, (e, n))
        with self._lock:
            self.pids.append({"format": fmt, "block": block, "ts": ts, "request": got,
                              "data": data, "skey": skey, "hmac": hmac})
            self._session = None
        entry["pid_format"] = fmt
        if fault == "two_fields":
            return data + "," + skey
        if fault == "four_fields":
            return data + "," + skey + ",," + hmac
        if fault == "bad_hmac":
            h = bytearray(base64.b64decode(hmac)); h[0] ^= 1
            hmac = base64.b64encode(bytes(h)).decode()
        return ",".join([data, skey, hmac])

    # --------------------------------------------------------- update mode
    def _ack(self, command, payload=b"", refuse=False):
        return frames.build(frames.DATA_START, (command & 0x7F) | (0x80 if refuse else 0), payload)

    def _take_fault(self, command):
        with self._lock:
            f = self._frame_faults.get(command)
            if not f:
                return None
            kind, count = f
            if count is not None:
                count -= 1
                if count <= 0:
                    del self._frame_faults[command]
                else:
                    f[1] = count
            return kind

    def _handle_frame(self, error, frame):
        if error is not None:
            cmd = error.command if error.command is not None else 0
            self._record(command="frame", code=cmd, ok=False, reason=str(error), mode="update")
            if error.command is not None:
                self._write(self._ack(cmd, refuse=True))
            return
        cmd = frame.command
        entry = self._record(command="frame", code=cmd, start=frame.start,
                             name=frames.NAMES.get(cmd, "unknown"),
                             payload_len=len(frame.payload), ok=True, mode="update")
        if frame.start == frames.CMD_START and cmd == frames.WRITE:
            entry["range"] = [int.from_bytes(frame.payload[0:4], "big"),
                              int.from_bytes(frame.payload[4:8], "big")] if len(frame.payload) == 8 else None
        fault = self._take_fault(cmd)
        try:
            payload = self._frame_action(frame)
            refuse = False
        except Refused as e:
            entry.update(ok=False, reason=str(e))
            payload, refuse = b"", True
        if fault is not None:
            entry["fault"] = fault
        ack = self._ack(cmd, payload, refuse or fault == "refuse")
        if fault == "silent":
            return
        if fault == "bad_start":
            ack = b"\x01" + ack[1:]
        elif fault == "wrong_command":
            ack = self._ack((cmd + 1) & 0x7F, payload, refuse)
        elif fault == "short":
            ack = ack[:5]
        elif fault == "bad_checksum":
            ack = ack[:-2] + bytes([(ack[-2] + 1) & 0xFF]) + ack[-1:]
        self._write(ack)
        if cmd == frames.APPLY and not refuse and fault is None and self.apply_returns_to_normal:
            self.set_mode("normal")

    def _frame_action(self, frame):
        cmd, p = frame.command, frame.payload
        if frame.start == frames.DATA_START:
            if cmd != frames.WRITE:
                raise Refused("data packet for command %#04x" % cmd)
            return self._data_packet(p)
        if cmd == frames.CHIP_NUMBER:
            return (self.chip_number & 0xFFFFFFFF).to_bytes(4, "little")
        if cmd == frames.SERIAL_NUMBER:
            return self.serial.encode()
        if cmd == frames.KEY_STRING:
            return self.oem_key
        if cmd == frames.VERSION:
            pairs = self._version_pairs()
            out = bytes([len(pairs), 0, 0, 0])
            for t, v in pairs:
                out += bytes([t & 0xFF, 0, 0, 0]) + (v & 0xFFFFFFFF).to_bytes(4, "little")
            return out
        if cmd == frames.ERASE:
            if len(p) != 8:
                raise Refused("erase payload of %d bytes" % len(p))
            first, last = int.from_bytes(p[:4], "big"), int.from_bytes(p[4:], "big")
            if first > last or last > CODE_FLASH_END:
                raise Refused("erase range %#x..%#x outside code flash" % (first, last))
            with self._lock:
                self.flash[first:last + 1] = b"\xff" * (last - first + 1)
                self._write_window = None
            return b""
        if cmd == frames.WRITE:
            if len(p) != 8:
                raise Refused("write payload of %d bytes" % len(p))
            first, last = int.from_bytes(p[:4], "big"), int.from_bytes(p[4:], "big")
            reg = _region_of(first)
            if reg is None or not reg[0] <= last <= reg[1] or first > last:
                raise Refused("write range %#x..%#x is not inside one region" % (first, last))
            if first % reg[2] or (last + 1) % reg[2]:
                raise Refused("write range %#x..%#x is not aligned to the write unit" % (first, last))
            if last > CODE_FLASH_END:
                raise Refused("write range outside the emulated code flash")
            with self._lock:
                self._write_window = [first, last]
            return b""
        if cmd == frames.APPLY:
            if p != b"\x01":
                raise Refused("apply payload is not 01")
            if self.flash_blob() is None:
                raise Refused("no image in flash")
            with self._lock:
                self.applied += 1
            return b""
        raise Refused("unknown command %#04x" % cmd)

    def _data_packet(self, p):
        with self._lock:
            w = self._write_window
            if w is None:
                raise Refused("data packet without a write command")
            addr, last = w
            unit = _region_of(addr)[2]
            if not p or len(p) % unit:
                raise Refused("data packet of %d bytes is not a whole number of write units" % len(p))
            if addr + len(p) - 1 > last:
                raise Refused("data packet runs past the write range")
            if self.flash[addr:addr + len(p)] != b"\xff" * len(p):
                raise Refused("flash at %#x is not erased" % addr)
            self.flash[addr:addr + len(p)] = p
            w[0] = addr + len(p)
            if w[0] > last:
                self._write_window = None
        return b""
