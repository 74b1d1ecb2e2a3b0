"""Certificate material of the management-server twin.

Everything is generated once into the twin's state directory and reused on later runs:

- management CA (mgmt_ca.{key,pem}): signs the HTTPS server certificates; its certificate is
  what the service's dev profile trusts;
- untrusted CA (untrusted_ca.{key,pem}): signs a server certificate the service must refuse;
- device CA (device_ca.{key,pem}): signs the model certificates handed out by registration;
- server certificates for the three TLS modes (good, untrusted, wrong-host).
"""
import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID

TLS_MODES = ("good", "untrusted", "wrong-host")

_ONE_DAY = datetime.timedelta(days=1)


def _now():
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


def _new_key(bits=2048):
    return rsa.generate_private_key(public_exponent=65537, key_size=bits)


def _name(cn):
    return x509.Name([
        x509.NameAttribute(NameOID.COUNTRY_NAME, "IN"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "VELM Management Twin"),
        x509.NameAttribute(NameOID.COMMON_NAME, cn),
    ])


def _write_private(path, data):
    fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def _write_public(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def _key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


class CertificateAuthority:
    def __init__(self, key, cert):
        self.key = key
        self.cert = cert

    @property
    def pem(self):
        return self.cert.public_bytes(serialization.Encoding.PEM)

    @classmethod
    def load_or_create(cls, state_dir, stem, cn):
        key_path = os.path.join(state_dir, stem + ".key")
        pem_path = os.path.join(state_dir, stem + ".pem")
        if os.path.exists(key_path) and os.path.exists(pem_path):
            with open(key_path, "rb") as f:
                key = serialization.load_pem_private_key(f.read(), password=None)
            with open(pem_path, "rb") as f:
                cert = x509.load_pem_x509_certificate(f.read())
            if cert.not_valid_after > _now().replace(tzinfo=None) + _ONE_DAY:
                return cls(key, cert)
        key = _new_key()
        now = _now()
        cert = (x509.CertificateBuilder()
                .subject_name(_name(cn)).issuer_name(_name(cn))
                .public_key(key.public_key())
                .serial_number(x509.random_serial_number())
                .not_valid_before(now - _ONE_DAY)
                .not_valid_after(now + datetime.timedelta(days=3650))
                .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
                .add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=True, crl_sign=True,
                                             content_commitment=False, key_encipherment=False,
                                             data_encipherment=False, key_agreement=False,
                                             encipher_only=False, decipher_only=False), critical=True)
                .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
                .sign(key, hashes.SHA256()))
        _write_private(key_path, _key_pem(key))
        _write_public(pem_path, cert.public_bytes(serialization.Encoding.PEM))
        return cls(key, cert)

    def issue(self, subject_cn, public_key, not_before, not_after, sans=None, server=False):
        builder = (x509.CertificateBuilder()
                   .subject_name(_name(subject_cn)).issuer_name(self.cert.subject)
                   .public_key(public_key)
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(not_before).not_valid_after(not_after)
                   .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(self.key.public_key()),
                                  critical=False))
        if sans:
            builder = builder.add_extension(x509.SubjectAlternativeName(sans), critical=False)
        if server:
            builder = builder.add_extension(
                x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        return builder.sign(self.key, hashes.SHA256())


class TwinPki:
    """The CAs and server certificates of one state directory."""

    def __init__(self, state_dir):
        os.makedirs(state_dir, exist_ok=True)
        self.state_dir = state_dir
        self.mgmt_ca = CertificateAuthority.load_or_create(state_dir, "mgmt_ca", "VELM Management Test CA")
        self.untrusted_ca = CertificateAuthority.load_or_create(state_dir, "untrusted_ca", "Untrusted Test CA")
        self.device_ca = CertificateAuthority.load_or_create(state_dir, "device_ca", "VELM Device Test CA")
        self._model_key = None

    def server_credentials(self, mode, host="127.0.0.1"):
        """Writes the certificate chain and key for a TLS mode; returns (cert_path, key_path)."""
        if mode not in TLS_MODES:
            raise ValueError("unknown TLS mode: %s" % mode)
        cert_path = os.path.join(self.state_dir, "server_%s.pem" % mode)
        key_path = os.path.join(self.state_dir, "server_%s.key" % mode)
        if mode == "wrong-host":
            sans = [x509.DNSName("wrong-host.invalid")]
            cn = "wrong-host.invalid"
        else:
            sans = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
            try:
                ip = ipaddress.ip_address(host)
                if str(ip) != "127.0.0.1":
                    sans.append(x509.IPAddress(ip))
            except ValueError:
                sans.append(x509.DNSName(host))
            cn = host
        ca = self.untrusted_ca if mode == "untrusted" else self.mgmt_ca
        key = _new_key()
        now = _now()
        cert = ca.issue(cn, key.public_key(), now - _ONE_DAY, now + datetime.timedelta(days=30), sans, server=True)
        _write_private(key_path, _key_pem(key))
        _write_public(cert_path, cert.public_bytes(serialization.Encoding.PEM) + ca.pem)
        return cert_path, key_path

    def write_ca(self, path):
        """Writes the management CA certificate (what clients trust) to path."""
        d = os.path.dirname(os.path.abspath(path))
        os.makedirs(d, exist_ok=True)
        _write_public(path, self.mgmt_ca.pem)

    def issue_model_certificate(self, serial_number, not_before, not_after, public_key=None):
        """A model certificate for a device, signed by the device CA; returns DER bytes."""
        if public_key is None:
            if self._model_key is None:
                self._model_key = _new_key()
            public_key = self._model_key.public_key()
        cert = self.device_ca.issue(serial_number or "VELM device", public_key, not_before, not_after)
        return cert.public_bytes(serialization.Encoding.DER)
