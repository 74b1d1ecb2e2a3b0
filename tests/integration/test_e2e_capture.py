"""End to end: CAPTURE through the real service process, with the scanner twin on a umockdev
tty and the management-server twin on loopback. Every successful PidData is opened the way its
receiver opens it: Skey under the UIDAI test private key of the environment, then Data, then the
Hmac is matched against the plain block."""
import os
import re
import threading
import unittest
import xml.etree.ElementTree as ET

from capture_support import (BUILTIN_CI, PIDDATA_HEAD, UIDAI_CERT, UIDAI_KEY, GatedTwin, PidData,
                             capture_requests, ci_of, commands, error_document, pid_options,
                             wait_until_settled)
from sim.harness import Testbed, enter_private_network
from sim.scanner import pidblock

BUILD_DIR = os.environ.get("VELM_BINARY_DIR", "")
SERVICE = os.path.join(BUILD_DIR, "velm_rd_service_dev")

SERIAL = "VT0000555001"
DEMO_XML = '<Demo lang="06"><Pi ms="E" name="Asha Rao" gender="F"/></Demo>'
# The same Demo as a protobuf message: lang 6; Pi { ms 1, name "Asha Rao", gender 1 }.
DEMO_PROTOBUF = bytes([0x08, 0x06, 0x12, 0x0E, 0x08, 0x01, 0x12, 0x08]) + b"Asha Rao" + bytes([0x30, 0x01])
MINUTIAE = {"RIGHT_INDEX": 57, "LEFT_INDEX": 31, "UNKNOWN": 42}


def setUpModule():
    if not os.path.exists(SERVICE):
        raise unittest.SkipTest("service not built: " + SERVICE)
    enter_private_network()


class ServiceWithScanner(unittest.TestCase):
    """One service process and one scanner for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.tb = Testbed(BUILD_DIR, twin_factory=lambda fd, **kw: GatedTwin(fd, **kw))
        try:
            cls.server = cls.tb.start_server()
            cls.twin = cls.tb.plug(serial=SERIAL)
            cls.tb.start_service()
            cls.tb.wait_for_port()
            wait_until_settled(cls.tb)
        except Exception:
            cls.tb.close()
            raise

    @classmethod
    def tearDownClass(cls):
        # The service stops cleanly and no sanitizer (in sanitizer builds) reported anything.
        service = cls.tb.service
        try:
            rc = cls.tb.stop_service()
            output = service.output() if service else ""
        finally:
            cls.tb.close()
        for marker in ("Sanitizer", "runtime error:"):
            if marker in output:
                raise AssertionError("sanitizer report from the service:\n" + output[-4000:])
        if rc != 0:
            raise AssertionError("service exited with %r:\n%s" % (rc, output[-4000:]))

    def setUp(self):
        self.twin.release_captures()
        self.twin.clear_captures()
        self.twin.set(environment="P", pid_fault=None)
        for name, points in MINUTIAE.items():
            self.twin.set_capture(name, minutiae=points)

    def capture(self, body, **kw):
        r = self.tb.rd("CAPTURE", "/rd/capture", body, **kw)
        self.assertEqual(r.status, 200, r.text)
        return r.text

    def assert_error(self, text, code, info):
        self.assertEqual(text, error_document(code, info))

    def assert_not_busy(self):
        """The busy flag is clear: a DEVICEINFO call gets the full answer, not the busy form."""
        info = self.tb.rd("DEVICEINFO", "/rd/info").text
        self.assertNotIn("busy", info)
        self.assertIn(SERIAL, info)


class CaptureEndToEnd(ServiceWithScanner):

    def check_success(self, text, *, env, key, fcount, ftype, fmt, posh, demo, otp=None, wadh=None,
                      cross=False):
        pd = PidData(text)
        names = posh.split(",") if posh else ["UNKNOWN"]
        names = (names + ["UNKNOWN"] * fcount)[:fcount]
        # Resp: counts and types as asked, one minutiae value per finger in capture order.
        self.assertEqual(pd.resp["errCode"], "0")
        self.assertEqual(pd.resp["errInfo"], "")
        self.assertEqual(pd.resp["fCount"], str(fcount))
        self.assertEqual(pd.resp["fType"], ftype)
        self.assertEqual(pd.resp["nmPoints"], ",".join(str(MINUTIAE[n]) for n in names))
        self.assertTrue(75 <= int(pd.resp["qScore"]) <= 97, pd.resp)
        self.assertRegex(pd.resp["ts"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
        # The embedded DeviceInfo: no namespace attributes, the scanner's identity, no error.
        self.assertIn("<DeviceInfo dpId=", text)
        self.assertEqual(pd.device_info.get("error"), "")
        self.assertIn(("srno", SERIAL), pd.info())
        liveness = [v for n, v in pd.info() if n == "Liveness"]
        self.assertEqual(liveness, [] if cross else ["45000"])
        self.assertEqual(pd.info("additional_info", "Param"), pd.info())
        # Certificate identifier of the certificate the block was sealed for.
        self.assertEqual(pd.ci, BUILTIN_CI if cross else ci_of(UIDAI_CERT[env]))
        self.assertEqual(pd.data_type, "X" if fmt == "0" else "P")

        ts, block = pd.open(UIDAI_KEY[key])
        # The service hands over what the scanner produced, unchanged.
        self.assertEqual(block, self.twin.pids[-1]["block"])
        types = {"0": ["FMR"], "1": ["FIR"], "2": ["FMR", "FIR"]}[ftype]
        want_bios = [(t, n) for n in names for t in types]
        if fmt == "0":
            pid = ET.fromstring(block.decode("utf-8"))
            self.assertEqual(pid.get("ts"), ts)
            self.assertEqual(pid.get("ver"), "2.0")
            self.assertEqual([(b.get("type"), b.get("posh")) for b in pid.find("Bios")], want_bios)
            if demo:
                self.assertIn(DEMO_XML.encode(), block)
            else:
                self.assertIsNone(pid.find("Demo"))
            pv = pid.find("Pv")
            self.assertEqual(pv.get("otp") if pv is not None else None, otp)
            self.assertEqual(pid.get("wadh"), wadh)
        else:
            pid = pidblock.decode_protobuf(block)
            self.assertEqual(pid["ts"], ts)
            self.assertEqual([(t, p) for t, p, _ in pid["bios"]], want_bios)
            self.assertEqual(pid.get("demo"), DEMO_PROTOBUF if demo else None)
            self.assertEqual(pid.get("otp"), otp)
            self.assertEqual(pid.get("wadh"), wadh)
        # A different environment's key does not open it.
        other = "S" if key != "S" else "P"
        with self.assertRaises(ValueError):
            pd.open(UIDAI_KEY[other])

    def test_successful_captures_open_under_the_key_of_their_environment(self):
        # env, scanner's own environment, fCount, fType, format, posh, demo, otp, wadh,
        # key that opens the block, capture mode letter sent to the scanner
        cases = [
            ("P", "P", 1, "0", "0", "RIGHT_INDEX", False, None, None, "P", "P"),
            ("P", "P", 2, "2", "1", "right_index,LEFT_INDEX", True, "123456", None, "P", "P"),
            ("PP", "P", 1, "1", "1", None, False, None, "d2FkaC1oYXNo", "PP", "Y"),
            ("PP", "P", 2, "0", "0", "LEFT_INDEX,RIGHT_INDEX", True, None, None, "PP", "Y"),
            ("S", "S", 1, "0", "0", "RIGHT_INDEX", True, "654321", None, "S", "Y"),
            ("s", "S", 2, "0", "1", "", False, None, None, "S", "Y"),
            # Staging on a production scanner: the built-in certificate, no liveness judgement.
            ("S", "P", 1, "0", "1", "LEFT_INDEX", True, None, None, "builtin", "N"),
            ("S", "P", 2, "1", "0", "RIGHT_INDEX", False, None, None, "builtin", "N"),
        ]
        for env, scanner_env, fcount, ftype, fmt, posh, demo, otp, wadh, key, mode in cases:
            with self.subTest(env=env, scanner=scanner_env, fCount=fcount, fType=ftype, format=fmt, demo=demo):
                self.twin.set(environment=scanner_env)
                mark = len(self.twin.received())
                body = pid_options(fcount=str(fcount), ftype=ftype, fmt=fmt, env=env, posh=posh, otp=otp,
                                   wadh=wadh, demo=DEMO_XML if demo else None)
                text = self.capture(body)
                self.check_success(text, env=env.upper(), key=key, fcount=fcount, ftype=ftype, fmt=fmt,
                                   posh=(posh or "").upper(), demo=demo, otp=otp, wadh=wadh,
                                   cross=key == "builtin")
                reqs = capture_requests(self.twin, mark)
                self.assertEqual(len(reqs), fcount)
                self.assertEqual(reqs[0]["mode"], mode)
                self.assertEqual(reqs[0]["fcount"], fcount)
                self.assertEqual(reqs[0]["timeout"], 10)
                self.assertEqual(reqs[0]["format"], "X" if fmt == "0" else "P")
                self.assertFalse(any(r["first"] for r in reqs[1:]))

    def test_capture_over_tls_on_the_second_port(self):
        text = self.capture(pid_options(fmt="1", posh="LEFT_INDEX", demo=DEMO_XML), port=11200, tls=True)
        self.check_success(text, env="P", key="P", fcount=1, ftype="0", fmt="1", posh="LEFT_INDEX", demo=True)

    def test_second_finger_timing_out_keeps_the_first(self):
        self.twin.queue_capture({"result": "ok", "minutiae": 57}, {"result": "timeout"})
        text = self.capture(pid_options(fcount="2", posh="RIGHT_INDEX,LEFT_INDEX"))
        pd = PidData(text)
        self.assertEqual(pd.resp["fCount"], "2")
        self.assertEqual(pd.resp["nmPoints"], "57")
        _, block = pd.open(UIDAI_KEY["P"])
        bios = ET.fromstring(block.decode()).find("Bios")
        self.assertEqual([b.get("posh") for b in bios], ["RIGHT_INDEX"])

    def test_failed_captures_answer_with_their_error_code(self):
        spoof_env = {"env": "P"}
        cases = [
            # what the scanner does, options, errCode, errInfo
            ({"result": "timeout"}, spoof_env, "700", "Capture timed out"),
            ({"result": "spoof"}, spoof_env, "700", "Capture timed out"),
            ({"liveness": 30000}, spoof_env, "700", "Capture timed out"),
            ({"liveness": 36000}, spoof_env, "700", "Capture timed out"),
            # Quality 3 needs a liveness above 37999.
            ({"liveness": 37000, "count": "3"}, spoof_env, "700", "Capture timed out"),
            ({"minutiae": 80}, {"env": "PP"}, "700", "Capture timed out"),
            ({"minutiae": 14}, {"env": "PP"}, "700", "Capture timed out"),
            ({"result": "error", "error_text": "FAIL sensor"}, spoof_env, "730", "Capture failed."),
            ({"result": "not_allow"}, spoof_env, "730", "Capture failed."),
        ]
        for scenario, opts, code, info in cases:
            with self.subTest(scenario=scenario, **opts):
                self.twin.queue_capture(scenario)
                self.assert_error(self.capture(pid_options(**opts)), code, info)
        # Low liveness with the lock-out off (no registration has set a limit) locks nothing:
        # a good finger still gets through.
        self.twin.clear_captures()
        self.check_success(self.capture(pid_options()), env="P", key="P", fcount=1, ftype="0", fmt="0",
                           posh="", demo=False)

    def test_failures_after_the_capture(self):
        cases = [
            # PID answer of the scanner, options, errCode, errInfo
            ("four_fields", {}, "999", "Invalid Pid Data Received From Device"),
            ("two_fields", {}, "999", "Invalid Pid Data Received From Device"),
            (None, {"otp": "12345"}, "999", "Internal Cryptography Error"),
        ]
        for fault, opts, code, info in cases:
            with self.subTest(fault=fault, **opts):
                self.twin.set(pid_fault=fault)
                self.assert_error(self.capture(pid_options(**opts)), code, info)
        self.assert_not_busy()

    def test_invalid_pid_options_are_refused_before_the_scanner_is_asked(self):
        spec_text = "Invalid PidOptions input. XML should strictly adhere to spec. %d"
        cases = [
            ("", "100", spec_text % 4),
            ("<PidOptions><Opts fCount=\"1\"", "100", spec_text % 1),
            ("<Options><Opts fCount=\"1\"/></Options>", "100", spec_text % 2),
            ("<PidOptions ver=\"1.0\"></PidOptions>", "100", spec_text % 3),
            (pid_options(fcount="0"), "120", "Invalid value for fCount"),
            (pid_options(fcount="11"), "120", "Invalid value for fCount"),
            (pid_options(fcount="x"), "120", "Invalid value for fCount"),
            (pid_options(fcount="3", ftype="2"), "120", "Invalid value for fCount"),
            (pid_options(ftype="3"), "110", "Invalid value for fType"),
            (pid_options(fmt="2"), "190", "Invalid value for format"),
            (pid_options(pidver="2"), "150", "Invalid value for pidVer"),
            (pid_options(pidver=None), "150", "Invalid value for pidVer"),
            (pid_options(timeout="999"), "160", "Invalid value for timeout"),
            (pid_options(timeout="180001"), "160", "Invalid value for timeout"),
            (pid_options(posh="LEFT_INDEX, RIGHT_INDEX"), "170", "Invalid value for posh"),
            (pid_options(posh="INDEX"), "170", "Invalid value for posh"),
            (pid_options(env="X"), "220", "Invalid value for env"),
            (pid_options(env=None), "220", "Invalid value for env"),
            (pid_options(demo="<Demo><Pi/><Pa co=\"x\"/></Demo>"), "200", "Invalid Demo structure"),
            # The last failing check is the one reported.
            (pid_options(fcount="0", env="X"), "220", "Invalid value for env"),
        ]
        for body, code, info in cases:
            with self.subTest(body=body):
                mark = len(self.twin.received())
                self.assert_error(self.capture(body), code, info)
                sent = commands(self.twin, mark)
                self.assertNotIn("VELM_SnapFinger", sent)
                self.assertNotIn("VELM_GetTime", sent)
        self.assert_not_busy()

    def test_second_capture_while_one_runs_is_refused(self):
        self.twin.hold_captures()
        first = {}

        def run_first():
            first["text"] = self.capture(pid_options(posh="RIGHT_INDEX"))
        t = threading.Thread(target=run_first, daemon=True)
        t.start()
        try:
            self.assertTrue(self.twin.capture_arrived.wait(60), "the first capture never reached the scanner")
            mark = len(self.twin.received())
            self.assert_error(self.capture(pid_options()), "710", "Being used by another application")
            self.assertIn('error="RD Service is currently busy with other requests."',
                          self.tb.rd("DEVICEINFO", "/rd/info").text)
            self.assertEqual(commands(self.twin, mark), [])  # the second request never touched the scanner
        finally:
            self.twin.release_captures()
            t.join(90)
        self.assertFalse(t.is_alive())
        # The running capture was not disturbed.
        self.check_success(first["text"], env="P", key="P", fcount=1, ftype="0", fmt="0", posh="RIGHT_INDEX",
                           demo=False)
        self.assert_not_busy()

    def test_unregistered_scanner_that_the_server_refuses_gets_740(self):
        regs_before = len(self.server.state()["registrations"])
        self.twin.set_model_cert(not_after="2020-01-01T00:00:00")
        self.server.set_registration(result="0,ERR,Registration refused")
        try:
            mark = len(self.twin.received())
            self.assert_error(self.capture(pid_options()), "740",
                              "Device needs to be re-initialized. Please Register/Check Env")
            # The capture tried to register once and asked for no finger.
            self.assertEqual(len(self.server.state()["registrations"]), regs_before + 1)
            sent = commands(self.twin, mark)
            self.assertEqual(sent.count("VELM_Complete_Registration"), 1)
            self.assertNotIn("VELM_SnapFinger", sent)
            info = self.tb.rd("DEVICEINFO", "/rd/info").text
            self.assertIn('error="Device registration error."', info)
        finally:
            self.server.set_registration(result=None)
            self.twin.set_model_cert(not_after="2099-01-01T00:00:00")
        self.check_success(self.capture(pid_options()), env="P", key="P", fcount=1, ftype="0", fmt="0",
                           posh="", demo=False)

    def test_unplugged_scanner_gets_720(self):
        mark = self.tb.service.line_count()
        self.tb.unplug()
        try:
            self.tb.service.wait_for_line(r"^Notification: Device disconnected\.$", start=mark)
            self.assert_error(self.capture(pid_options()), "720",
                              "Device not ready. Please connect Fingerprint Scanner")
            # The busy flag is clear again: DEVICEINFO reports the missing scanner, not a busy one.
            info = self.tb.rd("DEVICEINFO", "/rd/info").text
            self.assertIn('error="Please connect L1 fingerprint scanner device."', info)
        finally:
            mark = self.tb.service.line_count()
            self.tb.plug(twin=self.twin)
            wait_until_settled(self.tb, start=mark)
        self.check_success(self.capture(pid_options()), env="P", key="P", fcount=1, ftype="0", fmt="0",
                           posh="", demo=False)


class SpoofLockOutEndToEnd(ServiceWithScanner):
    """A registration sets five allowed spoof attempts and five lock-out minutes."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server.set_registration(attempt=5, timelock=5, level=2000)
        answer = cls.tb.rd("REGISTER_DEV", "/rd/regdev").text
        if 'isregsuccess="true"' not in answer:
            cls.tb.close()
            raise AssertionError("registration failed: " + answer)

    def spoof(self, liveness):
        self.twin.queue_capture({"liveness": liveness})
        self.assert_error(self.capture(pid_options()), "700", "Capture timed out")

    def test_repeated_spoofs_lock_the_scanner_and_are_reported_once(self):
        blocked = ("999", "Try after some time. Device Temporary Block!!")
        # Two counted spoofs, then a live finger starts the count afresh.
        self.spoof(30000)
        self.spoof(30000)
        self.twin.queue_capture({"liveness": 45000})
        PidData(self.capture(pid_options()))
        # Four counted, then one within 2000 of the threshold: refused but not counted.
        for _ in range(4):
            self.spoof(30000)
        self.spoof(35500)
        # Still open (four counted): the fifth counted spoof closes it.
        self.spoof(30000)
        self.assertEqual(self.server.state()["spoof_reports"], [])

        mark = len(self.twin.received())
        self.assert_error(self.capture(pid_options()), *blocked)
        reports = self.tb.wait_for(lambda: self.server.state()["spoof_reports"], what="spoof report")
        self.assertEqual([r["srno"] for r in reports], [SERIAL])
        # During the lock-out even invalid options get the lock-out answer; nothing is captured,
        # and the lock-out is not reported again.
        self.assert_error(self.capture(pid_options(fcount="0")), *blocked)
        self.assert_error(self.capture(""), *blocked)
        self.assert_error(self.capture(pid_options(env="PP", fcount="2")), *blocked)
        self.assertNotIn("VELM_SnapFinger", commands(self.twin, mark))
        suspect = [r for r in self.server.requests() if r["path"].endswith("/DeviceDataFatcher.asmx")]
        self.assertEqual(len(suspect), 1, suspect)
        self.assertEqual(len(self.server.state()["spoof_reports"]), 1)
        self.assert_not_busy()


if __name__ == "__main__":
    unittest.main()
