"""The testbed itself: a process under it sees the scanner through sysfs and /dev, talks to the
twin over the pty, sees it go away and come back in update mode, and runs with its own root."""
import json
import os
import sys
import threading
import unittest

from sim.harness import PRODUCT_UPDATE, Testbed, enter_private_network, vendor_id

BUILD_DIR = os.environ.get("VELM_BINARY_DIR") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))), "build")

# Runs inside the testbed: lists the USB ttys as sysfs shows them, then talks to the first one.
PROBE = r'''
import json, os, sys
found = []
for name in sorted(os.listdir("/sys/class/tty")) if os.path.isdir("/sys/class/tty") else []:
    dev = os.path.realpath(os.path.join("/sys/class/tty", name))
    parent = os.path.dirname(os.path.dirname(os.path.dirname(dev)))
    ids = {}
    for attr in ("idVendor", "idProduct"):
        try:
            ids[attr] = open(os.path.join(parent, attr)).read().strip()
        except OSError:
            pass
    found.append({"name": name, **ids})
out = {"ttys": found, "root": sorted(os.listdir(sys.argv[1]))}
if found and len(sys.argv) > 2:
    fd = os.open("/dev/" + found[0]["name"], os.O_RDWR | os.O_NOCTTY)
    os.write(fd, sys.argv[2].encode() + b"\r\n")
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = os.read(fd, 64)
        if not chunk:
            break
        reply += chunk
    out["reply"] = reply.decode()
print(json.dumps(out))
'''


class EchoTwin:
    """Answers every line with "ECHO " + the line; records what it got."""

    def __init__(self, fd, **kwargs):
        self.fd = fd
        self.kwargs = kwargs
        self.mode = kwargs.get("mode")
        self.got = []
        self.on_mode_change = None

    def start(self):
        threading.Thread(target=self._run, args=(self.fd,), daemon=True).start()

    def _run(self, fd):
        buf = b""
        while True:
            try:
                chunk = os.read(fd, 256)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                line = line.rstrip(b"\r").decode()
                self.got.append(line)
                if line == "SWITCH" and self.on_mode_change:
                    self.on_mode_change(self, "update")
                try:
                    os.write(fd, b"ECHO " + line.encode() + b"\n")
                except OSError:
                    return

    def set_mode(self, mode, notify=True):
        self.mode = mode

    def stop(self):
        pass


class TestbedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        enter_private_network()

    def setUp(self):
        self.tb = Testbed(BUILD_DIR, twin_factory=EchoTwin)
        self.addCleanup(self.tb.close)

    def probe(self, line=None):
        argv = self.tb.service_argv(sys.executable)[:-1] + [sys.executable, "-c", PROBE,
                                                             os.path.join(BUILD_DIR, "devroot", "opt")]
        if line:
            argv.append(line)
        import subprocess
        r = subprocess.run(argv, env=self.tb.service_env(), capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return json.loads(r.stdout)

    def test_scanner_is_visible_and_answers_over_the_pty(self):
        twin = self.tb.plug(model="BRX500", upper_vendor=True)
        self.assertEqual(twin.kwargs, {"model_id": "BRX500", "mode": "normal"})
        out = self.probe("VELM_ReadSRNO ")
        self.assertEqual(out["ttys"], [{"name": "ttyACM0", "idVendor": vendor_id("BRX500", True),
                                        "idProduct": "8230"}])
        self.assertEqual(out["reply"], "ECHO VELM_ReadSRNO \n")
        self.assertEqual(twin.got, ["VELM_ReadSRNO "])
        # The process sees the testbed's private installation root, not the build's.
        self.assertEqual(out["root"], ["VELM_L1_RD_Service"])
        # It starts from a fresh installation: the TLS files and nothing else, whatever a dev run
        # may have left in the build's own installation directory.
        self.assertEqual(sorted(os.listdir(self.tb.install_dir)),
                         ["localhost.cer", "localhost_legacy.key", "velm_localhost_ca.crt"])

    def test_unplug_hangs_up_and_reenumeration_brings_the_other_product(self):
        self.tb.plug()
        self.tb.reenumerate(PRODUCT_UPDATE)
        out = self.probe("PING")
        self.assertEqual(out["ttys"], [{"name": "ttyACM1", "idVendor": vendor_id(), "idProduct": "8240"}])
        self.assertEqual(self.tb.twin.mode, "update")  # the same scanner, now in its update firmware
        self.assertEqual(out["reply"], "ECHO PING\n")

        # A descriptor held across the unplug reads end-of-file, as a vanished USB tty does.
        import subprocess
        holder = subprocess.Popen(
            self.tb.service_argv(sys.executable)[:-1] + [sys.executable, "-c",
                "import os,sys; fd=os.open('/dev/ttyACM1', os.O_RDWR|os.O_NOCTTY); print('open', flush=True);"
                " print(repr(os.read(fd, 10)), flush=True)"],
            env=self.tb.service_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(holder.stdout.readline().strip(), b"open")
        self.tb.unplug()
        self.assertEqual(holder.stdout.readline().strip(), b"b''")
        holder.wait(30)
        holder.stdout.close()
        holder.stderr.close()
        self.assertEqual(self.probe()["ttys"], [])

    def test_mode_change_callback_reenumerates(self):
        self.tb.plug()
        first = self.tb.twin
        done = threading.Event()
        original = self.tb.reenumerate

        def reenumerate(product, model=None):
            try:
                return original(product, model)
            finally:
                done.set()
        self.tb.reenumerate = reenumerate
        self.tb._hook_mode_change(first)
        self.probe("SWITCH")
        self.assertTrue(done.wait(30))
        self.assertIs(self.tb.twin, first)
        self.assertEqual(self.probe()["ttys"][0]["idProduct"], "8240")

    def test_recording_stand_ins(self):
        import subprocess
        env = self.tb.service_env()
        r = subprocess.run(["date", "-s", "2024-05-06 07:08:09"], env=env, capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0)
        r2 = subprocess.run(["date", "+%Z"], env=env, capture_output=True, timeout=30)
        self.assertEqual(r2.stdout.strip(), b"IST")  # real date, India time
        subprocess.run(["update-ca-certificates"], env=env, check=True, timeout=30)
        self.assertEqual(self.tb.recorded("date"), [{"args": ["-s", "2024-05-06 07:08:09"], "tz": "Asia/Kolkata"}])
        self.assertEqual(len(self.tb.recorded("update-ca-certificates")), 1)


if __name__ == "__main__":
    unittest.main()
