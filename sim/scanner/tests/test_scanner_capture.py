"""Capture scenarios and PID generation of the scanner twin."""

import base64
import hashlib
import os
import unittest
import xml.etree.ElementTree as ET

from sim.scanner import pidblock, pidverify
from scanner_host import Host, KEYS, key_record, pid_request, short_key_block

PROD_CRT = os.path.join(KEYS, "uidai_prod_test.crt")
PROD_KEY = os.path.join(KEYS, "uidai_prod_test.key")
STAGE_KEY = os.path.join(KEYS, "uidai_stage_test.key")


def first_params(fcount=1, pos=7, ftype="FMR", fmt="X", mode="Y"):
    return "%d,10,2026-12-09T15:31:08,%d,%s,%s,%s" % (fcount, pos, ftype, fmt, mode)


class CaptureTest(unittest.TestCase):
    def setUp(self):
        self.h = Host()

    def tearDown(self):
        self.h.close()

    def capture(self, params, end=b"@VELM\r\n"):
        plain = ("START," + params + ",FFFFFFFFFFFFFFFF,END").encode()
        self.h.send("VELM_SnapFinger " + self.h.request("capture", plain) + "\r\n")
        return self.h.read_until(end).decode()

    def test_ok_answer_fields(self):
        self.h.twin.set_capture_default(minutiae=37, count="2", liveness=41234, capture_time="2026-01-02T03:04:05")
        ans = self.capture(first_params()).strip().split(",")
        self.assertEqual(ans, ["STATUS_OK", "2026-01-02T03:04:05", "37", "2", "80", "41234", "END@VELM"])

    def test_scenarios(self):
        cases = [({"result": "timeout"}, "CAPTURE_TIMEOUT,END@VELM\r\n"),
                 ({"result": "spoof"}, "ERR:Spoof Detected,END@VELM\r\n"),
                 ({"result": "not_allow"}, "ERR:NOT ALLOW,END@VELM\r\n"),
                 ({"result": "error", "error_text": "Device LOCK"}, "ERR:Device LOCK,END@VELM\r\n"),
                 ({"result": "ok", "status": "STATUS_OK ENDFIR@VELM", "end": "ENDFIR@VELM",
                   "capture_time": "T"}, "STATUS_OK ENDFIR@VELM,T,42,0,80,45000,ENDFIR@VELM\r\n")]
        self.h.twin.queue_capture(*[c for c, _ in cases])
        for scenario, want in cases:
            with self.subTest(scenario["result"]):
                self.assertEqual(self.capture(first_params()), want)

    def test_per_position_scenario(self):
        self.h.twin.set_capture("LEFT_THUMB", result="timeout")
        self.assertTrue(self.capture(first_params(fcount=2, pos=7)).startswith("STATUS_OK"))
        self.assertTrue(self.capture(",,,1,,,").startswith("CAPTURE_TIMEOUT"))

    def test_noise_and_chunks(self):
        self.h.twin.queue_capture({"noise": ["Place Finger", "Finger Detected"], "chunk_size": 7})
        got = self.capture(first_params())
        self.assertTrue(got.startswith("Place Finger\r\nFinger Detected\r\nSTATUS_OK,"), got)
        self.assertTrue(got.endswith(",END@VELM\r\n"))
        chunks = [r for r in self.h.twin.received() if r["command"] == "VELM_SnapFinger"]
        self.assertEqual(len(chunks), 1)

    def test_silent_capture_sends_nothing(self):
        self.h.twin.queue_capture({"result": "silent"})
        plain = ("START," + first_params() + ",FFFFFFFFFFFFFFFF,END").encode()
        self.h.send("VELM_SnapFinger " + self.h.request("capture", plain) + "\r\n")
        # The next thing on the line is the answer to the next command.
        self.assertEqual(self.h.command("VELM_ReadSRNO "), self.h.twin.serial)

    def test_bad_capture_requests_refused(self):
        h = self.h
        reading = h.reading()
        good = ("START," + first_params() + ",FFFFFFFFFFFFFFFF,END").encode()
        stale = "2000-01-01T00:00:00"
        for name, payload in {"stale reading": h.request("capture", good, reading=stale),
                              "bad layout": h.request("capture", b"START,1,2,END", reading=reading),
                              "further finger first": h.request("capture", b"START,,,,3,,,,FFFFFFFFFFFFFFFF,END",
                                                                reading=reading)}.items():
            with self.subTest(name):
                h.send("VELM_SnapFinger " + payload + "\r\n")
                ans = h.read_until(b"\r\n").decode()
                self.assertTrue(ans.startswith("ERR:FAIL"), ans)
                self.assertNotIn("STATUS_OK", ans)


class PidTest(unittest.TestCase):
    def setUp(self):
        self.h = Host()
        self.key_block = short_key_block(PROD_CRT)

    def tearDown(self):
        self.h.close()

    def capture(self, params):
        plain = ("START," + params + ",FFFFFFFFFFFFFFFF,END").encode()
        self.h.send("VELM_SnapFinger " + self.h.request("capture", plain) + "\r\n")
        return self.h.read_until(b"@VELM\r\n").decode()

    def pid(self, plain):
        return self.h.command("VELM_GeneratePID " + self.h.request("pid", plain))

    def test_xml_pid_verifies_with_uidai_key(self):
        self.capture(first_params(fcount=2, pos=7, ftype="BOTH"))
        self.capture(",,,2,,,")
        wadh = base64.b64encode(hashlib.sha256(b"wadh").digest())
        demo = b'<Demo lang="06"><Pi name="A B" gender="F"/></Demo>'
        ans = self.pid(pid_request(self.key_block, otp="123456", demo=demo, wadh=wadh))
        fields = ans.split(",")
        self.assertEqual(len(fields), 3)
        data, skey, hmac = fields
        xml = pidverify.verify(skey, data, hmac, PROD_KEY)
        root = ET.fromstring(xml)
        self.assertEqual((root.tag, root.get("ver"), root.get("wadh")), ("Pid", "2.0", wadh.decode()))
        self.assertEqual(root.get("ts"), base64.b64decode(data)[:19].decode())
        bios = [(b.get("type"), b.get("posh")) for b in root.find("Bios")]
        self.assertEqual(bios, [("FMR", "RIGHT_INDEX"), ("FIR", "RIGHT_INDEX"),
                                ("FMR", "LEFT_INDEX"), ("FIR", "LEFT_INDEX")])
        self.assertEqual(root.find("Demo/Pi").get("name"), "A B")
        self.assertEqual(root.find("Pv").get("otp"), "123456")

    def test_verifier_refuses_wrong_key_and_tampering(self):
        self.capture(first_params())
        data, skey, hmac = self.pid(pid_request(self.key_block)).split(",")
        with self.assertRaises(ValueError):
            pidverify.verify(skey, data, hmac, STAGE_KEY)
        d = bytearray(base64.b64decode(data)); d[30] ^= 1
        h = bytearray(base64.b64decode(hmac)); h[5] ^= 1
        ts = bytearray(base64.b64decode(data)); ts[18] ^= 1   # timestamp feeds IV and AAD
        for name, args in {"data": (skey, base64.b64encode(bytes(d)).decode(), hmac),
                           "hmac": (skey, data, base64.b64encode(bytes(h)).decode()),
                           "timestamp": (skey, base64.b64encode(bytes(ts)).decode(), hmac)}.items():
            with self.subTest(name):
                with self.assertRaises(ValueError):
                    pidverify.verify(*args, PROD_KEY)
        self.assertTrue(pidverify.verify(skey, data, hmac, PROD_KEY).startswith("<Pid "))

    def test_protobuf_pid_and_stored_key(self):
        records = b"".join(key_record(os.path.join(KEYS, "uidai_%s_test.crt" % e))
                           for e in ("prod", "preprod", "stage"))
        plain = hashlib.sha256(records).digest() + records
        self.assertEqual(self.h.command("VELM_ADDPUBKEY " + self.h.request("key_change", plain)), "Success")
        self.capture(first_params(fmt="P", pos=6))
        demo = b"\x08\x06"
        data, skey, hmac = self.pid(pid_request(key_index=3, demo=demo)).split(",")
        block = pidverify.verify(skey, data, hmac, STAGE_KEY)  # index 3 = staging record
        pid = pidblock.decode_protobuf(block)
        self.assertEqual((pid["ver"], pid["demo"], pid["bios"][0][:2]), ("2.0", demo, ("FMR", "RIGHT_THUMB")))

    def test_pid_refusals(self):
        h = self.h
        self.assertTrue(self.pid(pid_request(self.key_block)).startswith("FAIL"), "nothing captured")
        self.capture(first_params())
        bad = bytearray(pid_request(self.key_block)); bad[40] ^= 1
        for name, plain in {"hash": bytes(bad),
                            "index 2 without stored keys": pid_request(key_index=2),
                            "index 0 without key block": pid_request(None)}.items():
            with self.subTest(name):
                ans = self.pid(plain)
                self.assertTrue(ans.startswith("FAIL"), ans)
                self.assertNotIn(",", ans)
        # The capture is still there for a good request.
        self.assertEqual(len(self.pid(pid_request(self.key_block)).split(",")), 3)

    def test_pid_faults(self):
        for fault, nfields in (("two_fields", 2), ("four_fields", 4)):
            with self.subTest(fault):
                self.h.twin.set(pid_fault=fault)
                self.capture(first_params())
                self.assertEqual(len(self.pid(pid_request(self.key_block)).split(",")), nfields)
        self.h.twin.set(pid_fault="bad_hmac")
        self.capture(first_params())
        data, skey, hmac = self.pid(pid_request(self.key_block)).split(",")
        with self.assertRaises(ValueError):
            pidverify.verify(skey, data, hmac, PROD_KEY)


if __name__ == "__main__":
    unittest.main()
