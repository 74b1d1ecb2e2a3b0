"""Text commands of the scanner twin over a real pty pair."""

import base64
import datetime
import hashlib
import os
import threading
import re
import unittest

from cryptography import x509

from sim.scanner import certs, crypto
from scanner_host import Host, KEYS, key_record, time_stamp


class IdentityTest(unittest.TestCase):
    def setUp(self):
        self.not_after = datetime.datetime(2031, 5, 17, 10, 0, 0, tzinfo=datetime.timezone.utc)
        self.h = Host(serial="VT42", model_id="BRX500", environment="PP", firmware_version="2.05",
                      cert_not_after=self.not_after, status_word=17)

    def tearDown(self):
        self.h.close()

    def test_identity_replies(self):
        h = self.h
        self.assertEqual(h.command("VELM_ReadSRNO "), "VT42")
        self.assertEqual(h.command("VELM_ReadMI "), "BRX500")
        self.assertEqual(h.command("VELM_ReadDPID "), "VELMORA")
        code = h.command("VELM_ReadDC ")
        self.assertRegex(code, r"^[0-9a-fA-F-]+$")
        self.assertEqual(len(code.replace("-", "")), 32)
        cert = x509.load_der_x509_certificate(base64.b64decode(h.command("VELM_ReadMC "), validate=True))
        self.assertEqual(cert.not_valid_after, self.not_after.replace(tzinfo=None))
        self.assertIn("VT42", cert.subject.rfc4514_string())

    def test_time_record(self):
        rec = self.h.command("VELM_GetTime ").split(",")
        self.assertEqual(len(rec), 8)
        self.assertRegex(rec[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
        self.assertEqual(rec[1:4], ["17", "PP", "2.05"])
        self.h.twin.set_tamper(True)
        rec = self.h.command("VELM_GetTime ").split(",")
        self.assertEqual(int(rec[1]) >> 29 & 1, 1)
        self.assertEqual(int(rec[1]) & 0xFF, 17)
        self.h.twin.set(time_record="a,b,c,d,e,f,g")
        self.assertEqual(self.h.command("VELM_GetTime "), "a,b,c,d,e,f,g")

    def test_info_key_calibration_unknown(self):
        info = self.h.command("VELM_GetInfo ").split(",")
        self.assertGreaterEqual(len(info), 4)
        nums = [int(x) for x in info[2].split("-")]
        pairs = list(zip(nums[::2], nums[1::2]))
        self.assertEqual([v for t, v in pairs if t < 128][-1], 205)
        self.assertEqual(len(self.h.command("VELM_GetKey ").split(",")), 3)
        self.assertIn("succes", self.h.command("VELM_CALI_NB "))
        self.assertTrue(self.h.command("VELM_Bogus ").startswith("FAIL"))
        self.assertEqual([r["command"] for r in self.h.twin.received()][-4:],
                         ["VELM_GetInfo", "VELM_GetKey", "VELM_CALI_NB", "unknown"])

    def test_line_end_and_overrides(self):
        self.h.twin.set(line_end=b"\r\n", reply_overrides={"VELM_ReadSRNO": "SN WITH BLANKS  "})
        self.assertEqual(self.h.command("VELM_ReadMI "), "BRX500\r")
        self.assertEqual(self.h.command("VELM_ReadSRNO "), "SN WITH BLANKS  \r")


class TimeSettingTest(unittest.TestCase):
    def setUp(self):
        self.h = Host(clock="2026-03-01T10:00:00")

    def tearDown(self):
        self.h.close()

    def test_time_set_moves_clock(self):
        h = self.h
        target = datetime.datetime(2026, 12, 9, 15, 31, 8)
        plain = ("START," + time_stamp(target) + ",END").encode()
        self.assertEqual(plain, b"START,2026-12-09315:31:08,END")
        self.assertEqual(h.command("VELM_SetTime" + h.request("time", plain)), "Success")
        self.assertLess(abs(h.twin.clock_offset_seconds() - (target - datetime.datetime.now()).total_seconds()), 5)
        self.assertTrue(h.reading().startswith("2026-12-09T15:3"))

    def test_last_reported_reading_is_used(self):
        h = self.h
        reading = h.reading()
        h.twin.shift_clock(3600)  # the clock moves on after the report
        plain = ("START," + time_stamp(datetime.datetime(2026, 4, 5, 6, 7, 8)) + ",END").encode()
        self.assertEqual(h.command("VELM_SetTime" + h.request("time", plain, reading=reading)), "Success")

    def test_refusals_leave_clock_alone(self):
        h = self.h
        reading = h.reading()
        good = ("START," + time_stamp(datetime.datetime(2027, 1, 1, 0, 0, 0)) + ",END").encode()
        earlier = (datetime.datetime.strptime(reading, "%Y-%m-%dT%H:%M:%S")
                   - datetime.timedelta(seconds=1)).strftime("%Y-%m-%dT%H:%M:%S")
        wrong_code = bytes(16)
        blob = bytearray(base64.b64decode(h.request("time", good, reading=reading)))
        blob[0] ^= 1
        cases = {
            "stale reading": h.request("time", good, reading=earlier),
            "wrong device code": h.request("time", good, reading=reading, code=wrong_code),
            "wrong kind": base64.b64encode(crypto.encrypt_request(
                "mode", reading, h.twin.device_code_bytes(), good)).decode(),
            "tampered": base64.b64encode(bytes(blob)).decode(),
            "bad weekday": h.request("time", b"START,2027-01-01000:00:00,END", reading=reading),
            "not base64": "@@@@",
            "empty": "",
        }
        before = h.twin.clock_offset_seconds()
        for name, payload in cases.items():
            with self.subTest(name):
                reply = h.command("VELM_SetTime" + payload)
                self.assertNotIn("Success", reply)
                self.assertTrue(reply.startswith("FAIL"))
                self.assertLess(abs(h.twin.clock_offset_seconds() - before), 2)
        self.assertFalse(any(r["ok"] for r in h.twin.received() if r["command"] == "VELM_SetTime"))


class KeyChangeModeTest(unittest.TestCase):
    def setUp(self):
        self.changes = []
        self.changed = threading.Event()

        def on_change(twin, mode):
            self.changes.append(mode)
            self.changed.set()

        self.h = Host(serial="VT77", on_mode_change=on_change)
        self.records = b"".join(key_record(os.path.join(KEYS, "uidai_%s_test.crt" % e))
                                for e in ("prod", "preprod", "stage"))

    def tearDown(self):
        self.h.close()

    def test_key_change_stores_records(self):
        h = self.h
        plain = hashlib.sha256(self.records).digest() + self.records
        self.assertEqual(h.command("VELM_ADDPUBKEY " + h.request("key_change", plain)), "Success")
        self.assertEqual(b"".join(h.twin.key_records), self.records)
        self.assertEqual(h.command("VELM_GetTime ").split(",")[4], "3")

    def test_key_change_refusals(self):
        h = self.h
        bad = bytearray(hashlib.sha256(self.records).digest() + self.records)
        bad[100] ^= 1
        for name, plain in {"hash": bytes(bad), "788-byte record":
                            hashlib.sha256(self.records[:-1]).digest() + self.records[:-1]}.items():
            with self.subTest(name):
                self.assertTrue(h.command("VELM_ADDPUBKEY " + h.request("key_change", plain)).startswith("FAIL"))
        self.assertIsNone(h.twin.key_records)

    def test_mode_change(self):
        h = self.h
        wrong = h.request("mode", b"START,VT78," + h.twin.device_code.encode() + b",END")
        self.assertTrue(h.command("VELM_CHGMODE " + wrong).startswith("FAIL"))
        self.assertEqual(h.twin.mode, "normal")
        good = h.request("mode", b"START,VT77," + h.twin.device_code.encode() + b",END")
        self.assertEqual(h.command("VELM_CHGMODE " + good), "Success")
        # Like the device, the twin answers first and then restarts into its update firmware.
        self.assertTrue(self.changed.wait(10))
        self.assertEqual((h.twin.mode, self.changes), ("update", ["update"]))
        # The update firmware still names itself, and ignores other text.
        self.assertIn("OEMRXMODE", h.command("VELM_ReadMI "))


class RegistrationTest(unittest.TestCase):
    def setUp(self):
        self.h = Host(serial="VT9", environment="S")

    def tearDown(self):
        self.h.close()

    def answer(self, cert_der, fields=("1", "OK", "x", "5", "15", "2000")):
        return ",".join(list(fields) + [base64.b64encode(cert_der).decode()])

    def test_register_installs_certificate(self):
        h = self.h
        req = h.command("VELM_RegistrationS").split(",")
        self.assertEqual(req[0:4], ["VT9", h.twin.device_code, "TR460U L1", "S"])
        new_end = datetime.datetime(2029, 2, 3, 4, 5, 6, tzinfo=datetime.timezone.utc)
        der = certs.make_model_certificate("VT9", new_end)
        self.assertEqual(h.command("VELM_Complete_Registration" + self.answer(der)), "Success")
        cert = x509.load_der_x509_certificate(base64.b64decode(h.command("VELM_ReadMC ")))
        self.assertEqual(cert.not_valid_after, new_end.replace(tzinfo=None))

    def test_registration_refusals(self):
        h = self.h
        der = certs.make_model_certificate("VT9", datetime.datetime(2029, 1, 1))
        before = h.command("VELM_ReadMC ")
        self.assertTrue(h.command("VELM_Complete_Registration" + self.answer(der)).startswith("FAIL"),
                        "completion without a started registration")
        self.assertTrue(h.command("VELM_RegistrationP").startswith("FAIL"), "other environment")
        h.command("VELM_RegistrationS")
        for name, ans in {"not base64": self.answer(b"") + "%%",
                          "not a certificate": self.answer(b"\x30\x03\x02\x01\x01"),
                          "too few fields": "1,2," + base64.b64encode(der).decode()}.items():
            with self.subTest(name):
                self.assertTrue(h.command("VELM_Complete_Registration" + ans).startswith("FAIL"))
        self.assertEqual(h.command("VELM_ReadMC "), before)

    def test_registration_ca_enforced(self):
        h = self.h
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.hazmat.primitives import hashes
        from cryptography.x509.oid import NameOID
        other_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Other CA")])
        now = datetime.datetime.now(datetime.timezone.utc)
        other = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                 .public_key(other_key.public_key()).serial_number(1)
                 .not_valid_before(now - datetime.timedelta(days=1))
                 .not_valid_after(now + datetime.timedelta(days=30)).sign(other_key, hashes.SHA256()))
        h.twin.registration_ca = certs.device_ca()[1]
        h.command("VELM_RegistrationS")
        foreign = certs.make_model_certificate("VT9", datetime.datetime(2029, 1, 1), issuer=(other_key, other))
        self.assertTrue(h.command("VELM_Complete_Registration" + self.answer(foreign)).startswith("FAIL"))
        own = certs.make_model_certificate("VT9", datetime.datetime(2029, 1, 1))
        self.assertEqual(h.command("VELM_Complete_Registration" + self.answer(own)), "Success")


if __name__ == "__main__":
    unittest.main()
