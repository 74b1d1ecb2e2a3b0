"""Request key derivation and decryption of the scanner twin."""

import base64
import hashlib
import os
import subprocess
import sys
import unittest

from sim.scanner import crypto

CODE = bytes(range(16))

# Test constants (not the provisioned ones): at a constant position i the key
# takes 0xA0+i, the IV 0xB0+i, the AAD 0xC0+i.
TEST_CONSTS = {k: {"key": bytes(0xA0 + i for i in range(16)),
                   "iv": bytes(0xB0 + i for i in range(12)),
                   "aad": bytes(0xC0 + i for i in range(16))} for k in crypto.KINDS}

# Hand-computed from the position tables.  Clock "2026-12-09T15:31:08":
# YY=0x1a MO=0x0c DD=0x09 HH=0x0f MI=0x1f SS=0x08.
VECTORS = [
    ("time", "2026-12-09T15:31:08",
     "a0303232313936a7323936ab323031af",
     "091f1a1a1f09b6b7b80f0c08",
     "c00f0c08080c0fc7c8c9091f1a1a1f09"),
    ("capture", "2026-12-09T15:31:08",
     "a0303136393232a73232aa3936ad3031",
     "09081fb30f1ab60c0cb90f08",
     "1f1a09c3080fc60c0cc91a0fcc1f0809"),
    ("mode", "2026-12-09T15:31:08",
     "a0303136393232a73232aa3936ad3031",
     "b0091f1a08b50c0f0f09ba0c",
     "c01a081f0cc5090f0f0cca081a1f09cf"),
    ("key_change", "2026-12-09T15:31:08",
     "3133a23531a538303835aa3031ad3133",
     "b00c1f0c08b5081a1a1fba0f",
     "c00f09090fc51f1a1a08ca080c1f0ccf"),
    ("pid", "2026-12-09T15:31:08",
     "31353a33313a303831353a30383a3331",
     "b0081a090cb51f0f091fba1a",
     "c00f0c081ac51f090f1fca0c091a08cf"),
    # Every time character and field distinct, so a swapped position shows.
    ("capture", "2013-45-67T89:01:23",
     "a0363433373135a73531aa3733ad3634",
     "431701b3590db62d2db95917",
     "010d43c31759c62d2dc90d59cc011743"),
]


class DerivationTest(unittest.TestCase):
    def test_hand_computed_vectors(self):
        for kind, t, key, iv, aad in VECTORS:
            with self.subTest(kind=kind, time=t):
                k, i, a = crypto.derive(kind, t, CODE, constants=TEST_CONSTS)
                self.assertEqual(k.hex(), key + CODE.hex())
                self.assertEqual(i.hex(), iv)
                self.assertEqual(a.hex(), aad)

    def test_key_change_positions_distinct_clock(self):
        k, _, _ = crypto.derive("key_change", "2013-45-67T89:01:23", CODE, constants=TEST_CONSTS)
        self.assertEqual(k[:16].hex(), "3130a23938a533323339aa3238ad3130")

    def test_provisioned_constants_are_used(self):
        prov = crypto.load_constants()
        for kind in crypto.KINDS:
            with self.subTest(kind=kind):
                self.assertEqual(crypto.derive(kind, "2026-12-09T15:31:08", CODE),
                                 crypto.derive(kind, "2026-12-09T15:31:08", CODE, constants=prov))
                self.assertNotEqual(crypto.derive(kind, "2026-12-09T15:31:08", CODE)[1:],
                                    crypto.derive(kind, "2026-12-09T15:31:08", CODE, constants=TEST_CONSTS)[1:])

    def test_aad_tail_mirrors_iv_with_provisioned_constants(self):
        for kind in crypto.KINDS:
            with self.subTest(kind=kind):
                _, iv, aad = crypto.derive(kind, "2013-45-67T89:01:23", CODE)
                self.assertEqual(aad[4:], iv[::-1])

    def test_bad_inputs_refused(self):
        cases = [("time", "2026-12-09T15:31:0", CODE),
                 ("time", "2026-12-09T15:31:080", CODE),
                 ("time", "2026-12-09 15:31:08", CODE),
                 ("time", "2026-1a-09T15:31:08", CODE),
                 ("time", "2026-12-09T15:31:08", CODE[:15]),
                 ("time", "2026-12-09T15:31:08", CODE + b"\0"),
                 ("bogus", "2026-12-09T15:31:08", CODE)]
        for kind, t, code in cases:
            with self.subTest(kind=kind, time=t, code=len(code)):
                with self.assertRaises(ValueError):
                    crypto.derive(kind, t, code)


T = "2026-12-09T15:31:08"


class DecryptTest(unittest.TestCase):
    def test_round_trip_and_gcm_with_derived_material(self):
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        plain = b"START,2026-12-09315:31:08,END"
        for kind in crypto.KINDS:
            with self.subTest(kind=kind):
                blob = crypto.encrypt_request(kind, T, CODE, plain)
                self.assertEqual(len(blob), len(plain) + 16)
                key, iv, aad = crypto.derive(kind, T, CODE)
                self.assertEqual(AESGCM(key).decrypt(iv, blob, aad), plain)
                self.assertEqual(crypto.decrypt_request(kind, T, CODE, blob), plain)

    def test_tampering_refused(self):
        plain = b"START,2026-12-09315:31:08,END"
        blob = crypto.encrypt_request("time", T, CODE, plain)
        flipped = bytearray(blob); flipped[3] ^= 1
        tag_flipped = bytearray(blob); tag_flipped[-1] ^= 0x80
        other_code = bytearray(CODE); other_code[15] ^= 1
        cases = {
            "ciphertext bit": ("time", T, CODE, bytes(flipped)),
            "tag bit": ("time", T, CODE, bytes(tag_flipped)),
            "truncated": ("time", T, CODE, blob[:-1]),
            "extended": ("time", T, CODE, blob + b"\0"),
            "only tag": ("time", T, CODE, blob[-16:]),
            "other kind": ("capture", T, CODE, blob),
            "other second": ("time", "2026-12-09T15:31:09", CODE, blob),
            "other year": ("time", "2027-12-09T15:31:08", CODE, blob),
            "other device code": ("time", T, bytes(other_code), blob),
        }
        for name, (kind, t, code, b) in cases.items():
            with self.subTest(name):
                with self.assertRaises(ValueError):
                    crypto.decrypt_request(kind, t, code, b)


def _key_record(year_byte=6, month0=7, day=13):
    from cryptography.hazmat.primitives.asymmetric import rsa
    n = rsa.generate_private_key(public_exponent=65537, key_size=2048).public_key().public_numbers().n
    return bytes([year_byte, month0, day, 0]) + (65537).to_bytes(3, "big") + n.to_bytes(256, "big")


class PlainLayoutTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.records = _key_record() + _key_record(26, 0, 1) + _key_record(0, 11, 31)

    def test_time(self):
        ok = crypto.check_plain("time", b"START,2026-12-09315:31:08,END")
        self.assertEqual(ok["datetime"].isoformat(), "2026-12-09T15:31:08")
        for bad in (b"START,2026-12-09415:31:08,END",   # Wednesday is 3
                    b"START,2026-02-30115:31:08,END",   # no such day
                    b"START,2026-12-09T15:31:08,END",
                    b"START,2026-12-09315:31:08,EN",
                    b"BEGIN,2026-12-09315:31:08,END"):
            with self.subTest(bad=bad):
                with self.assertRaises(ValueError):
                    crypto.check_plain("time", bad)

    def test_capture(self):
        first = crypto.check_plain("capture", b"START,2,10,2026-12-09T15:31:08,7,FMR,X,Y,FFFFFFFFFFFFFFFF,END")
        self.assertEqual((first["fcount"], first["position_name"], first["mode"]), (2, "RIGHT_INDEX", "Y"))
        further = crypto.check_plain("capture", b"START,,,,2,,,,FFFFFFFFFFFFFFFF,END")
        self.assertFalse(further["first"])
        self.assertEqual(further["position"], 2)
        for bad in (b"START,2,10,2026-12-09T15:31:08,11,FMR,X,Y,FFFFFFFFFFFFFFFF,END",
                    b"START,2,10,2026-12-09T15:31:08,7,ISO,X,Y,FFFFFFFFFFFFFFFF,END",
                    b"START,2,10,2026-12-09T15:31:08,7,FMR,X,Q,FFFFFFFFFFFFFFFF,END",
                    b"START,,10,2026-12-09T15:31:08,7,FMR,X,Y,FFFFFFFFFFFFFFFF,END",
                    b"START,2,10,2026-12-09T15:31:08,7,FMR,X,Y,END",
                    b"START,,,,2,,,,ffffffffffffffff,END"):
            with self.subTest(bad=bad):
                with self.assertRaises(ValueError):
                    crypto.check_plain("capture", bad)

    def test_mode(self):
        got = crypto.check_plain("mode", b"START,SN123,0011-2233,END", serial="SN123",
                                 device_code_text="00112233")
        self.assertEqual(got["serial"], "SN123")
        with self.assertRaises(ValueError):
            crypto.check_plain("mode", b"START,SN999,00112233,END", serial="SN123")
        with self.assertRaises(ValueError):
            crypto.check_plain("mode", b"START,,END")

    def test_key_change(self):
        good = hashlib.sha256(self.records).digest() + self.records
        self.assertEqual(len(crypto.check_plain("key_change", good)["records"]), 3)
        bad_hash = bytearray(good); bad_hash[40] ^= 1
        zero_key = hashlib.sha256(bytes(789)).digest() + bytes(789)
        bad_date = bytearray(self.records); bad_date[263 + 1] = 12
        for name, plain in {"hash": bytes(bad_hash), "short": good[:-1],
                            "zero key fields": zero_key,
                            "month 13": hashlib.sha256(bytes(bad_date)).digest() + bytes(bad_date)}.items():
            with self.subTest(name):
                with self.assertRaises(ValueError):
                    crypto.check_plain("key_change", plain)

    def _pid(self, key_index=0, otp=None, demo=None, wadh=b"", key=True):
        rnd = b"\x01\x02\x03\x04"
        b = bytes([key_index]) + bytes(range(127))
        r = ("RENESAS.VELM.001,1.3.5," + wadh.decode() + "," + (otp or "") + ",").encode()
        k = b"\0" + self.records[4:263] if key and key_index == 0 else b""
        d = len(demo).to_bytes(2, "little") + demo + b" " if demo else b""
        h = hashlib.sha256(b + bytes([len(r)]) + r + k + d + rnd + b" ").digest()
        return rnd + h + b + bytes([len(r)]) + r + k + d

    def test_pid_layout(self):
        wadh = base64.b64encode(hashlib.sha256(b"x").digest())
        p = self._pid(wadh=wadh)
        self.assertEqual(len(p), 494)  # 165 + 69 + 260
        got = crypto.check_plain("pid", p)
        self.assertEqual((got["wadh"], got["otp"], got["demo"]), (wadh, None, None))
        self.assertEqual(len(got["key_block"]), 260)
        got = crypto.check_plain("pid", self._pid(otp="123456", demo=b"<Demo lang=\"06\"/>"))
        self.assertEqual((got["otp"], got["demo"]), ("123456", b"<Demo lang=\"06\"/>"))
        # A demo of 257 bytes is as long as a key block would be.
        got = crypto.check_plain("pid", self._pid(key_index=0, key=False, demo=b"d" * 257))
        self.assertIsNone(got["key_block"])
        self.assertEqual(got["demo"], b"d" * 257)
        got = crypto.check_plain("pid", self._pid(key_index=2, demo=b"\x08\x06"))
        self.assertEqual((got["key_index"], got["key_block"], got["demo"]), (2, None, b"\x08\x06"))

    def test_pid_refusals(self):
        p = self._pid(otp="123456")
        bad_hash = bytearray(p); bad_hash[10] ^= 1
        bad_lr = bytearray(p); bad_lr[164] = 255
        cases = {"hash": bytes(bad_hash), "Lr too long": bytes(bad_lr), "short": p[:100],
                 "trailing byte": p + b"\0", "otp length": self._pid(otp="12345"),
                 "key index 4": self._pid(key_index=4, key=False)}
        for name, plain in cases.items():
            with self.subTest(name):
                with self.assertRaises(ValueError):
                    crypto.check_plain("pid", plain)


class CliTest(unittest.TestCase):
    def run_cli(self, args, stdin):
        env = dict(os.environ)
        root = crypto.repo_root()
        env["PYTHONPATH"] = root
        return subprocess.run(["/usr/bin/python3", "-m", "sim.scanner.crypto"] + args,
                              input=stdin, capture_output=True, text=True, env=env, timeout=60)

    def test_decrypt_ok_and_refused(self):
        plain = b"START,2026-12-09315:31:08,END"
        blob = base64.b64encode(crypto.encrypt_request("time", T, CODE, plain)).decode()
        code = "00010203-0405-0607-0809-0a0b0c0d0e0f"
        r = self.run_cli(["decrypt", "--kind", "time", "--time", T, "--device-code", code], blob + "\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), plain.hex())
        r = self.run_cli(["decrypt", "--kind", "time", "--time", "2026-12-09T15:31:07",
                          "--device-code", code], blob)
        self.assertEqual(r.returncode, 1)
        self.assertIn("tag", r.stderr)
        self.assertEqual(r.stdout, "")
        r = self.run_cli(["decrypt", "--kind", "time", "--time", T, "--device-code", code], "***")
        self.assertEqual(r.returncode, 1)


if __name__ == "__main__":
    unittest.main()
