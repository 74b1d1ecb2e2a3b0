"""Open a PID block as its receiver does: Skey, then Data, then check Hmac.

  verify(skey_b64, data_b64, hmac_b64, private_key_pem) -> the plain block
  (text for the XML form, bytes for the protobuf form); ValueError when any
  step fails.

CLI: python3 -m sim.scanner.pidverify --key sim/keys/uidai_prod_test.key
     --skey B64 --data B64 --hmac B64     (or --piddata FILE with a PidData document)
"""

import argparse
import base64
import binascii
import hashlib
import sys
import xml.etree.ElementTree as ET

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM


def _b64(text, what):
    try:
        out = base64.b64decode(text.strip(), validate=True)
    except (binascii.Error, ValueError):
        raise ValueError("%s is not Base64" % what) from None
    if not out:
        raise ValueError("%s is empty" % what)
    return out


def load_private_key(pem):
    if isinstance(pem, str):
        if "-----BEGIN" not in pem:
            with open(pem, "rb") as f:
                pem = f.read()
        else:
            pem = pem.encode()
    return serialization.load_pem_private_key(pem, password=None)


def verify_raw(skey_b64, data_b64, hmac_b64, private_key_pem):
    """(ts, block bytes)."""
    key = load_private_key(private_key_pem)
    skey = _b64(skey_b64, "Skey")
    data = _b64(data_b64, "Data")
    hmac = _b64(hmac_b64, "Hmac")
    try:
        # A wrong key yields a random result instead of an error (no oracle);
        # the GCM tag below catches it.
        session = key.decrypt(skey, padding.PKCS1v15())
    except ValueError:
        raise ValueError("Skey does not decrypt under this key") from None
    if len(session) != 32:
        raise ValueError("session key is %d bytes, want 32" % len(session))
    if len(data) < 19 + 16:
        raise ValueError("Data is too short")
    tsb = data[:19]
    try:
        ts = tsb.decode("ascii")
    except UnicodeDecodeError:
        raise ValueError("Data does not start with a timestamp") from None
    iv, aad = tsb[-12:], tsb[-16:]
    gcm = AESGCM(session)
    try:
        block = gcm.decrypt(iv, data[19:], aad)
    except InvalidTag:
        raise ValueError("Data does not decrypt (wrong key or tampered)") from None
    try:
        digest = gcm.decrypt(iv, hmac, aad)
    except InvalidTag:
        raise ValueError("Hmac does not decrypt (wrong key or tampered)") from None
    if digest != hashlib.sha256(block).digest():
        raise ValueError("Hmac does not match the PID block")
    return ts, block


def verify(skey_b64, data_b64, hmac_b64, private_key_pem):
    _, block = verify_raw(skey_b64, data_b64, hmac_b64, private_key_pem)
    if block.startswith(b"<"):
        return block.decode("utf-8")
    return block


def fields_from_piddata(xml_text):
    """(skey, data, hmac, ci, data type) from a PidData document."""
    root = ET.fromstring(xml_text)
    data, skey, hmac = root.find("Data"), root.find("Skey"), root.find("Hmac")
    if data is None or skey is None or hmac is None:
        raise ValueError("PidData lacks Data, Skey or Hmac")
    return skey.text or "", data.text or "", hmac.text or "", skey.get("ci"), data.get("type")


def _main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m sim.scanner.pidverify")
    ap.add_argument("--key", required=True, help="UIDAI private key PEM file")
    ap.add_argument("--piddata", help="file with a PidData document")
    ap.add_argument("--skey")
    ap.add_argument("--data")
    ap.add_argument("--hmac")
    a = ap.parse_args(argv)
    try:
        if a.piddata:
            with open(a.piddata, encoding="utf-8") as f:
                skey, data, hmac, _, _ = fields_from_piddata(f.read())
        else:
            skey, data, hmac = a.skey or "", a.data or "", a.hmac or ""
        out = verify(skey, data, hmac, a.key)
    except (ValueError, OSError, ET.ParseError) as e:
        print("refused: %s" % e, file=sys.stderr)
        return 1
    print(out if isinstance(out, str) else out.hex())
    return 0


if __name__ == "__main__":
    sys.exit(_main())
