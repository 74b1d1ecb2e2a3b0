"""Keys and model certificates of the scanner twin.

The twin's device CA is generated once per process (or loaded from PEM files
the caller names) and signs the model certificate the scanner reports
before it is registered.  Certificates are real DER X.509.
"""

import base64
import datetime
import threading

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID

_lock = threading.Lock()
_ca = None
_device_key = None


def _new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def device_ca():
    """(private key, certificate) of the twin's device CA."""
    global _ca
    with _lock:
        if _ca is None:
            key = _new_key()
            name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "VELM Scanner Twin"),
                              x509.NameAttribute(NameOID.COMMON_NAME, "VELM Twin Device CA")])
            now = datetime.datetime.now(datetime.timezone.utc)
            cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                    .public_key(key.public_key()).serial_number(x509.random_serial_number())
                    .not_valid_before(now - datetime.timedelta(days=1))
                    .not_valid_after(now + datetime.timedelta(days=3650))
                    .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
                    .sign(key, hashes.SHA256()))
            _ca = (key, cert)
        return _ca


def device_key():
    """The key pair a twin scanner holds (shared by all twins of the process)."""
    global _device_key
    with _lock:
        if _device_key is None:
            _device_key = _new_key()
        return _device_key


def to_utc(when):
    if when.tzinfo is None:
        return when.astimezone(datetime.timezone.utc)  # naive = host local time
    return when.astimezone(datetime.timezone.utc)


def make_model_certificate(serial, not_after, not_before=None, issuer=None):
    """DER bytes of a model certificate for `serial`, valid until not_after."""
    ca_key, ca_cert = issuer or device_ca()
    not_after = to_utc(not_after)
    if not_before is None:
        not_before = min(datetime.datetime.now(datetime.timezone.utc),
                         not_after) - datetime.timedelta(days=1)
    name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "VELM"),
                      x509.NameAttribute(NameOID.COMMON_NAME, serial)])
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(ca_cert.subject)
            .public_key(device_key().public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(to_utc(not_before)).not_valid_after(not_after)
            .sign(ca_key, hashes.SHA256()))
    return cert.public_bytes(serialization.Encoding.DER)


def parse_certificate_b64(text):
    """x509.Certificate from Base64 DER text; ValueError when it is not one."""
    try:
        der = base64.b64decode(text.strip(), validate=True)
    except Exception:
        raise ValueError("certificate is not Base64") from None
    if not der:
        raise ValueError("certificate is empty")
    try:
        return x509.load_der_x509_certificate(der)
    except Exception as e:
        raise ValueError("certificate does not parse: %s" % e) from None


def spki_b64():
    """Base64 DER SubjectPublicKeyInfo of the twin's device key."""
    return base64.b64encode(device_key().public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)).decode()
