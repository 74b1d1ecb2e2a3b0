"""The PID block a scanner builds and encrypts (UIDAI 2.0 way).

XML form (format "X"):
  <Pid ts="..." ver="2.0" wadh="..."><Demo .../><Bios><Bio type="FMR"
  posh="RIGHT_INDEX">BASE64</Bio>...</Bios><Pv otp="..."/></Pid>
  (wadh attribute only with a wadh, Demo as received, Pv only with an OTP)

Protobuf form (format "P"), this twin's layout (proto2 wire format):
  Pid  { 1 ts string; 2 ver string; 3 wadh string; 4 demo bytes (the Demo
         message as received); 5 bios Bios; 6 pv Pv }
  Bios { 1 bio repeated Bio }
  Bio  { 1 type string; 2 posh string; 3 content bytes }
  Pv   { 1 otp string }

Encryption: a fresh 32-byte session key; ts = the 19 ASCII bytes of the Pid
timestamp; IV = ts[-12:], AAD = ts[-16:];
  Data = ts + AES-256-GCM(block)           (ciphertext then 16-byte tag)
  Hmac = AES-256-GCM(SHA-256(block))       (same key, IV and AAD)
  Skey = RSA PKCS#1 v1.5(session key) under the UIDAI public key
each Base64.
"""

import base64
import hashlib
import os
from xml.sax.saxutils import quoteattr

from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers.aead import AESGCM


# --- protobuf wire helpers --------------------------------------------------

def _varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def _field_bytes(no, data):
    return _varint(no << 3 | 2) + _varint(len(data)) + bytes(data)


def read_varint(buf, pos):
    shift = result = 0
    while True:
        if pos >= len(buf):
            raise ValueError("varint runs past the end")
        b = buf[pos]
        pos += 1
        result |= (b & 0x7F) << shift
        if not b & 0x80:
            return result, pos
        shift += 7
        if shift > 63:
            raise ValueError("varint too long")


def parse_message(buf):
    """[(field number, wire type, value)] of a protobuf message."""
    out, pos = [], 0
    buf = bytes(buf)
    while pos < len(buf):
        key, pos = read_varint(buf, pos)
        no, wt = key >> 3, key & 7
        if wt == 0:
            val, pos = read_varint(buf, pos)
        elif wt == 2:
            n, pos = read_varint(buf, pos)
            if pos + n > len(buf):
                raise ValueError("length-delimited field runs past the end")
            val, pos = buf[pos:pos + n], pos + n
        else:
            raise ValueError("unsupported wire type %d" % wt)
        out.append((no, wt, val))
    return out


# --- block building -----------------------------------------------------------

def build_xml(ts, bios, demo=None, wadh=b"", otp=None):
    """bios: [(type, posh, content bytes)]."""
    parts = ['<Pid ts=%s ver="2.0"' % quoteattr(ts)]
    if wadh:
        parts.append(" wadh=%s" % quoteattr(wadh.decode("ascii")))
    parts.append(">")
    if demo:
        parts.append(demo.decode("utf-8"))
    parts.append("<Bios>")
    for typ, posh, content in bios:
        parts.append('<Bio type=%s posh=%s>%s</Bio>' % (quoteattr(typ), quoteattr(posh),
                                                       base64.b64encode(content).decode()))
    parts.append("</Bios>")
    if otp:
        parts.append("<Pv otp=%s/>" % quoteattr(otp))
    parts.append("</Pid>")
    return "".join(parts).encode("utf-8")


def build_protobuf(ts, bios, demo=None, wadh=b"", otp=None):
    out = _field_bytes(1, ts.encode()) + _field_bytes(2, b"2.0")
    if wadh:
        out += _field_bytes(3, wadh)
    if demo:
        out += _field_bytes(4, demo)
    b = b"".join(_field_bytes(1, _field_bytes(1, t.encode()) + _field_bytes(2, p.encode())
                              + _field_bytes(3, c)) for t, p, c in bios)
    out += _field_bytes(5, b)
    if otp:
        out += _field_bytes(6, _field_bytes(1, otp.encode()))
    return out


def decode_protobuf(block):
    """dict view of a protobuf PID block built by build_protobuf."""
    pid = {"bios": []}
    for no, wt, val in parse_message(block):
        if wt != 2:
            raise ValueError("PID field %d is not length-delimited" % no)
        if no == 1:
            pid["ts"] = val.decode()
        elif no == 2:
            pid["ver"] = val.decode()
        elif no == 3:
            pid["wadh"] = val.decode()
        elif no == 4:
            pid["demo"] = val
        elif no == 5:
            for bno, _, bio in parse_message(val):
                if bno == 1:
                    f = {n: v for n, _, v in parse_message(bio)}
                    pid["bios"].append((f.get(1, b"").decode(), f.get(2, b"").decode(), f.get(3, b"")))
        elif no == 6:
            f = {n: v for n, _, v in parse_message(val)}
            pid["otp"] = f.get(1, b"").decode()
    return pid


def encrypt_block(block, ts, public_key):
    """(data_b64, skey_b64, hmac_b64); public_key is (e, n) or an RSA public key."""
    if isinstance(public_key, tuple):
        e, n = public_key
        public_key = rsa.RSAPublicNumbers(e, n).public_key()
    tsb = ts.encode("ascii")
    if len(tsb) != 19:
        raise ValueError("timestamp must be 19 characters")
    session = os.urandom(32)
    iv, aad = tsb[-12:], tsb[-16:]
    gcm = AESGCM(session)
    data = tsb + gcm.encrypt(iv, block, aad)
    hmac = gcm.encrypt(iv, hashlib.sha256(block).digest(), aad)
    skey = public_key.encrypt(session, padding.PKCS1v15())
    b64 = lambda b: base64.b64encode(b).decode()
    return b64(data), b64(skey), b64(hmac)
