#!/usr/bin/python3
"""Regenerates the certificate fixtures of the helper tests (run from this directory)."""
import datetime

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID


def make(name, key, not_after):
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    cert = (x509.CertificateBuilder()
            .subject_name(subject).issuer_name(subject)
            .public_key(key.public_key())
            .serial_number(1000)
            .not_valid_before(datetime.datetime(2024, 1, 1))
            .not_valid_after(not_after)
            .sign(key, hashes.SHA256()))
    with open(name + ".der", "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.DER))
    if isinstance(key, rsa.RSAPrivateKey):
        with open(name + ".modulus.hex", "w") as f:
            f.write("%X\n" % key.public_key().public_numbers().n)


# Expires at 20:00 UTC, which is already the next day in India.
make("late_expiry_rsa2048", rsa.generate_private_key(65537, 2048), datetime.datetime(2031, 3, 31, 20, 0, 0))
make("ec_p256", ec.generate_private_key(ec.SECP256R1()), datetime.datetime(2031, 3, 31, 20, 0, 0))
make("rsa4096", rsa.generate_private_key(65537, 4096), datetime.datetime(2031, 3, 31, 20, 0, 0))
make("rsa1024_e3", rsa.generate_private_key(3, 1024), datetime.datetime(2099, 12, 31, 10, 0, 0))
