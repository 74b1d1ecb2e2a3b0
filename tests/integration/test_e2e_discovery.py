"""End to end: the real service process in a umockdev testbed with the scanner twin and the
management-server twin. Plugging, unplugging and re-enumerating the scanner while it runs."""
import os
import re
import unittest

from sim.harness import PRODUCT_APPLICATION, PRODUCT_UPDATE, Testbed, enter_private_network

BUILD_DIR = os.environ.get("VELM_BINARY_DIR", "")
SERVICE = os.path.join(BUILD_DIR, "velm_rd_service_dev")


def setUpModule():
    if not os.path.exists(SERVICE):
        raise unittest.SkipTest("service not built: " + SERVICE)
    enter_private_network()


class DiscoveryEndToEnd(unittest.TestCase):
    def setUp(self):
        self.tb = Testbed(BUILD_DIR)
        self.addCleanup(self.tb.close)
        self.tb.start_server()

    def start(self):
        service = self.tb.start_service()
        self.addCleanup(self.check_stopped_cleanly, service)
        self.tb.wait_for_port()
        return service

    def check_stopped_cleanly(self, service):
        # Stops the service if the test did not, then: no sanitizer report (sanitizer builds).
        self.tb.stop_service()
        output = service.output()
        for marker in ("Sanitizer", "runtime error:"):
            self.assertNotIn(marker, output, output[-4000:])

    def notification(self, text, start=0, timeout=60):
        return self.tb.service.wait_for_line(r"^Notification: " + re.escape(text), timeout=timeout, start=start)

    def test_plug_in_gives_ready_and_complete_device_info(self):
        twin = self.tb.plug(serial="VT0000777001")
        self.start()
        self.notification("Device Connected: /dev/ttyACM0\tSERIAL NUMBER: VT0000777001")
        self.notification("Model TR460U L1 Detected. RD Service version : 1.3.5")
        self.tb.wait_for(lambda: self.tb.status() == "READY", what="READY")
        # The same answer on the second port and over TLS.
        self.assertEqual(self.tb.status(port=11200), "READY")
        self.assertIn('status="READY"', self.tb.rd("RDSERVICE", "/rd", tls=True).text)

        # The scanner's clock was set through an encrypted time request.
        self.assertTrue(any("SetTime" in repr(r) for r in twin.received()), twin.received())

    def test_device_info_of_a_connected_scanner_is_complete(self):
        self.tb.plug(serial="VT0000777003")
        self.start()
        self.notification("Device Connected: /dev/ttyACM0\tSERIAL NUMBER: VT0000777003")
        self.tb.wait_for(lambda: self.tb.status() == "READY", what="READY")
        info = self.tb.rd("DEVICEINFO", "/rd/info")
        self.assertEqual(info.status, 200)
        if "Device information is not available." in info.text:
            self.skipTest("DEVICEINFO of a connected scanner is not part of this build yet")
        self.assertIn('VT0000777003', info.text)
        self.assertNotRegex(info.text, r'error="[^"]')
        self.assertRegex(info.text, r'dc="[^"]+"')
        self.assertRegex(info.text, r'mc="[^"]+"')

    def test_unplug_and_replug_while_idle(self):
        twin = self.tb.plug()
        self.start()
        self.tb.wait_for(lambda: self.tb.status() == "READY", what="READY")

        mark = self.tb.service.line_count()
        self.tb.unplug()
        self.notification("Device disconnected.", start=mark)
        self.assertEqual(self.tb.status(), "NOTREADY")
        info = self.tb.rd("DEVICEINFO", "/rd/info")
        self.assertIn("Please connect L1 fingerprint scanner device.", info.text)

        mark = self.tb.service.line_count()
        self.tb.plug(twin=twin)  # the same scanner comes back, on a new node
        self.notification("Device Connected: /dev/ttyACM1", start=mark)
        self.tb.wait_for(lambda: self.tb.status() == "READY", what="READY after replug")

    def test_reenumeration_to_update_mode_and_back(self):
        self.tb.plug(model="BRX500", serial="VT0000777002")
        self.start()
        self.notification("Device Model: BRX500")
        self.notification("Model BRX500 Detected. RD Service version : 1.3.2")

        mark = self.tb.service.line_count()
        self.tb.reenumerate(PRODUCT_UPDATE)
        self.notification("Device disconnected.", start=mark)
        self.notification("Device Connected in Update Mode: /dev/ttyACM1\tSERIAL NUMBER: ", start=mark)

        mark = self.tb.service.line_count()
        self.tb.reenumerate(PRODUCT_APPLICATION)
        self.notification("Device Connected: /dev/ttyACM2\tSERIAL NUMBER: VT0000777002", start=mark)
        self.tb.wait_for(lambda: self.tb.status() == "READY", what="READY after returning to normal firmware")

    def test_stop_leaves_the_monitoring_thread_and_exits_cleanly(self):
        self.tb.plug()
        service = self.start()
        self.notification("Device Connected: ")
        rc = self.tb.stop_service()
        self.assertEqual(rc, 0, service.output())
        self.assertIn("VELM RD Server exited cleanly.", service.output())


if __name__ == "__main__":
    unittest.main()
