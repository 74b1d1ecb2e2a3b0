"""Request key derivation and decryption, as the scanner firmware does it.

Every encrypted request the host sends to the scanner (time, capture, mode,
key change, PID) is AES-256-GCM with a 16-byte tag appended.  Key, IV and
AAD are built from the scanner's own clock reading (the 19-character text
"YYYY-MM-DDTHH:MM:SS" it reports as field 0 of its time record) and its
16-byte device code, at fixed positions per request kind, mixed with
provisioned constant bytes (provision/provision.json, "kdf_constants").

Layout notation of the tables below:
  "c"           a provisioned constant byte (byte i of that block's array)
  int n         the character T[n] of the clock reading (its ASCII code)
  "YY" ... "SS" the value of that two-digit field of the clock reading

This module is self-contained on purpose: it is the scanner's side of the
protocol and is used to cross-check the host's request builders.

CLI:
  python3 -m sim.scanner.crypto decrypt --kind K --time T --device-code HEX
      reads a Base64 request on stdin, prints the plain request as lower-case
      hex; exit 1 with a reason on stderr when the request is refused.
  python3 -m sim.scanner.crypto encrypt --kind K --time T --device-code HEX
      reads a hex plain request on stdin, prints the Base64 request.
"""

import argparse
import base64
import binascii
import hashlib
import json
import os
import re
import sys

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

KINDS = ("time", "capture", "mode", "key_change", "pid")

_C = "c"

# Key bytes 0-15 (bytes 16-31 are the device code in every kind).
_KEY_LAYOUT = {
    "time": [_C, 8, 6, 2, 5, 9, 3, _C, 2, 9, 3, _C, 6, 8, 5, _C],
    "capture": [_C, 8, 5, 3, 9, 2, 6, _C, 6, 2, _C, 9, 3, _C, 8, 5],
    "mode": [_C, 8, 5, 3, 9, 2, 6, _C, 6, 2, _C, 9, 3, _C, 8, 5],
    "key_change": [15, 14, _C, 12, 11, _C, 18, 17, 18, 12, _C, 17, 11, _C, 15, 14],
    "pid": [11, 12, 13, 14, 15, 16, 17, 18, 11, 12, 13, 17, 18, 13, 14, 15],
}

_IV_LAYOUT = {
    "time": ["DD", "MI", "YY", "YY", "MI", "DD", _C, _C, _C, "HH", "MO", "SS"],
    "capture": ["DD", "SS", "MI", _C, "HH", "YY", _C, "MO", "MO", _C, "HH", "SS"],
    "mode": [_C, "DD", "MI", "YY", "SS", _C, "MO", "HH", "HH", "DD", _C, "MO"],
    "key_change": [_C, "MO", "MI", "MO", "SS", _C, "SS", "YY", "YY", "MI", _C, "HH"],
    "pid": [_C, "SS", "YY", "DD", "MO", _C, "MI", "HH", "DD", "MI", _C, "YY"],
}

_AAD_LAYOUT = {
    "time": [_C, "HH", "MO", "SS", "SS", "MO", "HH", _C, _C, _C, "DD", "MI", "YY", "YY", "MI", "DD"],
    "capture": ["MI", "YY", "DD", _C, "SS", "HH", _C, "MO", "MO", _C, "YY", "HH", _C, "MI", "SS", "DD"],
    "mode": [_C, "YY", "SS", "MI", "MO", _C, "DD", "HH", "HH", "MO", _C, "SS", "YY", "MI", "DD", _C],
    "key_change": [_C, "HH", "DD", "DD", "HH", _C, "MI", "YY", "YY", "SS", _C, "SS", "MO", "MI", "MO", _C],
    "pid": [_C, "HH", "MO", "SS", "YY", _C, "MI", "DD", "HH", "MI", _C, "MO", "DD", "YY", "SS", _C],
}

# Two-digit fields of the clock reading: name -> first position.
_FIELD_POS = {"YY": 2, "MO": 5, "DD": 8, "HH": 11, "MI": 14, "SS": 17}

_TIME_RE = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}$")

TAG_LEN = 16
KEY_RECORD_LEN = 263
KEY_RECORDS_LEN = 3 * KEY_RECORD_LEN  # 789
SHORT_KEY_LEN = 260
RDS_ID = "RENESAS.VELM.001"
FINGER_NAMES = ("UNKNOWN", "LEFT_THUMB", "LEFT_INDEX", "LEFT_MIDDLE", "LEFT_RING",
                "LEFT_LITTLE", "RIGHT_THUMB", "RIGHT_INDEX", "RIGHT_MIDDLE",
                "RIGHT_RING", "RIGHT_LITTLE")


def repo_root():
    return os.environ.get("VELM_SOURCE_DIR") or os.path.dirname(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


_constants_cache = None


def load_constants(path=None):
    """Constant arrays per kind and block, as bytes, from provision.json."""
    global _constants_cache
    if path is None and _constants_cache is not None:
        return _constants_cache
    p = path or os.path.join(repo_root(), "provision", "provision.json")
    with open(p, "r", encoding="utf-8") as f:
        raw = json.load(f)["kdf_constants"]
    out = {}
    sizes = {"key": 16, "iv": 12, "aad": 16}
    for kind in KINDS:
        out[kind] = {}
        for block, size in sizes.items():
            b = bytes.fromhex(raw[kind][block])
            if len(b) != size:
                raise ValueError("constant block %s/%s has %d bytes, want %d" % (kind, block, len(b), size))
            out[kind][block] = b
    if path is None:
        _constants_cache = out
    return out


def _check_kind(kind):
    if kind not in KINDS:
        raise ValueError("unknown request kind %r" % (kind,))


def _field_values(scanner_time):
    vals = {}
    for name, pos in _FIELD_POS.items():
        two = scanner_time[pos:pos + 2]
        if not two.isdigit() or not two.isascii():
            raise ValueError("clock reading field %s is not two digits: %r" % (name, two))
        vals[name] = int(two)
    return vals


def _check_time(scanner_time):
    if not isinstance(scanner_time, str):
        raise ValueError("clock reading must be text")
    if len(scanner_time) != 19:
        raise ValueError("clock reading must be 19 characters, got %d" % len(scanner_time))
    if not _TIME_RE.match(scanner_time):
        raise ValueError("clock reading is not YYYY-MM-DDTHH:MM:SS: %r" % (scanner_time,))


def derive(kind, scanner_time, device_code, constants=None):
    """(key 32 bytes, iv 12 bytes, aad 16 bytes) for a request kind."""
    _check_kind(kind)
    _check_time(scanner_time)
    device_code = bytes(device_code)
    if len(device_code) != 16:
        raise ValueError("device code must be 16 bytes, got %d" % len(device_code))
    consts = (constants or load_constants())[kind]
    fields = _field_values(scanner_time)

    key = bytearray()
    for i, item in enumerate(_KEY_LAYOUT[kind]):
        key.append(consts["key"][i] if item == _C else ord(scanner_time[item]))
    key += device_code

    def block(layout, const):
        out = bytearray()
        for i, item in enumerate(layout):
            out.append(const[i] if item == _C else fields[item])
        return bytes(out)

    iv = block(_IV_LAYOUT[kind], consts["iv"])
    aad = block(_AAD_LAYOUT[kind], consts["aad"])
    return bytes(key), iv, aad


def encrypt_request(kind, scanner_time, device_code, plain):
    key, iv, aad = derive(kind, scanner_time, device_code)
    return AESGCM(key).encrypt(iv, bytes(plain), aad)


def decrypt_request(kind, scanner_time, device_code, blob):
    """Plain request bytes; ValueError on a wrong tag, length or input."""
    key, iv, aad = derive(kind, scanner_time, device_code)
    blob = bytes(blob)
    if len(blob) <= TAG_LEN:
        raise ValueError("request of %d bytes is too short" % len(blob))
    try:
        return AESGCM(key).decrypt(iv, blob, aad)
    except InvalidTag:
        raise ValueError("authentication tag does not match") from None


def decode_base64_strict(text):
    """Base64 text to bytes; ValueError on anything that is not clean Base64."""
    if isinstance(text, bytes):
        text = text.decode("ascii", "strict")
    text = text.strip()
    if not text:
        raise ValueError("empty Base64 text")
    try:
        return base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError) as e:
        raise ValueError("bad Base64: %s" % e) from None


# ---------------------------------------------------------------------------
# Plain request layouts


def _wrapped(plain, what):
    try:
        text = plain.decode("ascii")
    except UnicodeDecodeError:
        raise ValueError("%s request is not ASCII text" % what) from None
    if not text.startswith("START,") or not text.endswith(",END"):
        raise ValueError("%s request is not framed by START, ... ,END" % what)
    return text[6:-4]


def parse_time_to_set(stamp):
    """'YYYY-MM-DDwHH:MM:SS' (w = weekday digit, 0 Sunday) -> (datetime, weekday)."""
    import datetime
    m = re.match(r"^(\d{4})-(\d{2})-(\d{2})(\d)(\d{2}):(\d{2}):(\d{2})$", stamp)
    if not m:
        raise ValueError("time to set is not YYYY-MM-DDwHH:MM:SS: %r" % (stamp,))
    y, mo, d, wd, h, mi, s = (int(x) for x in m.groups())
    try:
        dt = datetime.datetime(y, mo, d, h, mi, s)
    except ValueError as e:
        raise ValueError("time to set is not a valid date: %s" % e) from None
    # isoweekday: Monday 1 .. Sunday 7; the stamp counts Sunday as 0.
    if dt.isoweekday() % 7 != wd:
        raise ValueError("weekday digit %d does not match %s" % (wd, dt.date()))
    return dt, wd


def parse_capture_params(inner):
    """Capture request body (without START/END) -> dict of its fields."""
    parts = inner.split(",")
    if len(parts) != 8:
        raise ValueError("capture request has %d fields, want 8" % len(parts))
    fcount, timeout, svc_time, index, ftype, fmt, mode, customer = parts
    if not re.fullmatch(r"(?:[0-9A-F]{2})+", customer):
        raise ValueError("customer data field is not upper-case hex: %r" % customer)
    if not index.isdigit() or not 0 <= int(index) <= 10:
        raise ValueError("finger position index %r is not 0..10" % index)
    first = any(parts[i] for i in (0, 1, 2, 4, 5, 6))
    out = {"first": first, "position": int(index), "position_name": FINGER_NAMES[int(index)],
           "customer": customer}
    if first:
        if not fcount.isdigit() or not 1 <= int(fcount) <= 10:
            raise ValueError("finger count %r is not 1..10" % fcount)
        if not timeout.isdigit():
            raise ValueError("timeout %r is not a number" % timeout)
        if not _TIME_RE.match(svc_time):
            raise ValueError("service time %r is not YYYY-MM-DDTHH:MM:SS" % svc_time)
        if ftype not in ("FMR", "FIR", "BOTH"):
            raise ValueError("finger data type %r is not FMR/FIR/BOTH" % ftype)
        if fmt not in ("X", "P"):
            raise ValueError("format %r is not X/P" % fmt)
        if mode not in ("P", "Y", "N"):
            raise ValueError("capture mode %r is not P/Y/N" % mode)
        out.update(fcount=int(fcount), timeout=int(timeout), service_time=svc_time,
                   ftype=ftype, format=fmt, mode=mode)
    return out


def check_key_record(rec):
    """Check one 263-byte public-key record; return (exponent, modulus, expiry tuple)."""
    if len(rec) != KEY_RECORD_LEN:
        raise ValueError("key record of %d bytes, want 263" % len(rec))
    month0, day, zero = rec[1], rec[2], rec[3]
    if month0 > 11 or not 1 <= day <= 31 or zero != 0:
        raise ValueError("key record date bytes %02x %02x %02x are not a date" % (month0, day, zero))
    e = int.from_bytes(rec[4:7], "big")
    n = int.from_bytes(rec[7:263], "big")
    return _check_rsa(e, n), n, (rec[0], month0 + 1, day)


def _check_rsa(e, n):
    if e < 3 or e % 2 == 0:
        raise ValueError("public exponent %d is not usable" % e)
    if n.bit_length() != 2048 or n % 2 == 0:
        raise ValueError("modulus is not a 2048-bit odd number")
    return e


def check_short_key(block):
    """260-byte block: 0, exponent (3), modulus (256) -> (e, n)."""
    if len(block) != SHORT_KEY_LEN:
        raise ValueError("short key block of %d bytes, want 260" % len(block))
    if block[0] != 0:
        raise ValueError("short key block does not start with 0")
    e = int.from_bytes(block[1:4], "big")
    n = int.from_bytes(block[4:260], "big")
    return _check_rsa(e, n), n


def parse_pid_request(plain):
    """Split a plain PID request into its parts and check its hash.

    Returns a dict: random (4 bytes), key_index, rds_id, rds_ver, wadh (bytes),
    otp (text or None), key_block (260 bytes or None), demo (bytes or None).
    """
    plain = bytes(plain)
    if len(plain) < 165:
        raise ValueError("PID request of %d bytes is shorter than 165" % len(plain))
    rnd, digest, b = plain[0:4], plain[4:36], plain[36:164]
    lr = plain[164]
    if 165 + lr > len(plain):
        raise ValueError("RDS text length %d runs past the request" % lr)
    r = plain[165:165 + lr]
    rest = plain[165 + lr:]
    key_index = b[0]
    if key_index > 3:
        raise ValueError("UIDAI key index %d is above 3" % key_index)

    # The key block is there only for key index 0 and starts with a zero
    # byte; a demo block of the same length starts with its length 257 (01 01),
    # so the first byte tells them apart.  The hash then has to match.
    candidates = []
    for with_key in ((True, False) if key_index == 0 else (False,)):
        k = rest[:SHORT_KEY_LEN] if with_key else b""
        if with_key and (len(k) != SHORT_KEY_LEN or k[0] != 0):
            continue
        tail = rest[len(k):]
        if tail:
            if len(tail) < 3:
                continue
            ld = int.from_bytes(tail[0:2], "little")
            if ld < 1 or len(tail) != ld + 3 or tail[-1:] != b" ":
                continue
            d = tail
        else:
            d = b""
        h = b + bytes([lr]) + r + k + d + rnd + b" "
        if hashlib.sha256(h).digest() == digest:
            candidates.append((k, d))
    if not candidates:
        raise ValueError("PID request hash does not match its content")
    k, d = candidates[0]

    try:
        rtext = r.decode("ascii")
    except UnicodeDecodeError:
        raise ValueError("RDS text is not ASCII") from None
    if not rtext.endswith(","):
        raise ValueError("RDS text does not end with ','")
    head, otp = rtext[:-1].rsplit(",", 1) if "," in rtext[:-1] else (None, None)
    parts = head.split(",", 2) if head is not None else []
    if len(parts) != 3:
        raise ValueError("RDS text %r does not have id, version, wadh and OTP" % rtext)
    rds_id, rds_ver, wadh = parts
    if rds_id != RDS_ID:
        raise ValueError("RDS id %r is not %s" % (rds_id, RDS_ID))
    if not re.fullmatch(r"\d+\.\d+\.\d+", rds_ver):
        raise ValueError("RDS version %r is not a version" % rds_ver)
    if otp and len(otp) != 6:
        raise ValueError("OTP %r is not 6 characters" % otp)
    if k:
        check_short_key(k)
    return {
        "random": rnd, "key_index": key_index, "rds_id": rds_id, "rds_ver": rds_ver,
        "wadh": wadh.encode("ascii"), "otp": otp or None,
        "key_block": k or None, "demo": d[2:-1] if d else None,
    }


def check_plain(kind, plain, **ctx):
    """Validate the plain layout of a request kind; return its parsed content.

    ctx (optional): serial and device_code_text for the mode request.
    Raises ValueError with a reason.
    """
    _check_kind(kind)
    plain = bytes(plain)
    if kind == "time":
        if len(plain) != 29:
            raise ValueError("time request of %d bytes, want 29" % len(plain))
        stamp = _wrapped(plain, "time")
        dt, wd = parse_time_to_set(stamp)
        return {"stamp": stamp, "datetime": dt, "weekday": wd}
    if kind == "capture":
        return parse_capture_params(_wrapped(plain, "capture"))
    if kind == "mode":
        text = _wrapped(plain, "mode")
        if not text:
            raise ValueError("mode request is empty")
        parts = text.split(",")
        if len(parts) != 2:
            raise ValueError("mode request %r is not serial,device code" % text)
        serial, code = parts
        want_serial = ctx.get("serial")
        if want_serial is not None and serial != want_serial:
            raise ValueError("mode request names serial %r, this scanner is %r" % (serial, want_serial))
        want_code = ctx.get("device_code_text")
        if want_code is not None and code.replace("-", "").lower() != want_code.replace("-", "").lower():
            raise ValueError("mode request names another device code")
        return {"serial": serial, "device_code": code}
    if kind == "key_change":
        if len(plain) != 32 + KEY_RECORDS_LEN:
            raise ValueError("key change of %d bytes, want 821" % len(plain))
        digest, rec = plain[:32], plain[32:]
        if hashlib.sha256(rec).digest() != digest:
            raise ValueError("key record SHA-256 does not match")
        records = [rec[i * KEY_RECORD_LEN:(i + 1) * KEY_RECORD_LEN] for i in range(3)]
        for name, r in zip(("production", "pre-production", "staging"), records):
            try:
                check_key_record(r)
            except ValueError as e:
                raise ValueError("%s key record: %s" % (name, e)) from None
        return {"records": records}
    return parse_pid_request(plain)


# ---------------------------------------------------------------------------
# CLI


def _main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m sim.scanner.crypto")
    ap.add_argument("action", choices=("decrypt", "encrypt", "derive"))
    ap.add_argument("--kind", required=True, choices=KINDS)
    ap.add_argument("--time", required=True)
    ap.add_argument("--device-code", required=True, help="32 hex digits, '-' allowed")
    ap.add_argument("--check", action="store_true", help="decrypt: also check the plain layout")
    a = ap.parse_args(argv)
    try:
        code_hex = a.device_code.replace("-", "").strip()
        if not re.fullmatch(r"[0-9A-Fa-f]{32}", code_hex):
            raise ValueError("device code must be 32 hex digits")
        code = bytes.fromhex(code_hex)
        if a.action == "derive":
            key, iv, aad = derive(a.kind, a.time, code)
            print("key %s\niv %s\naad %s" % (key.hex(), iv.hex(), aad.hex()))
        elif a.action == "decrypt":
            blob = decode_base64_strict(sys.stdin.read())
            plain = decrypt_request(a.kind, a.time, code, blob)
            if a.check:
                check_plain(a.kind, plain)
            print(plain.hex())
        else:
            plain = bytes.fromhex(sys.stdin.read().strip())
            print(base64.b64encode(encrypt_request(a.kind, a.time, code, plain)).decode())
    except (ValueError, UnicodeError) as e:
        print("refused: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(_main())
