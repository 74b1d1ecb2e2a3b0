"""The dev service against the management-server twin: the start-up clock synchronisation runs
`date -s` with the server's time in India time, and a server that does not answer leaves the
clock alone. Each test runs in its own network namespace with a recording `date` on PATH."""
import datetime
import os
import sys
import unittest

sys.path.insert(0, os.environ.get("VELM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")))

from sim.harness.testbed import Testbed, enter_private_network  # noqa: E402

BUILD_DIR = os.environ.get("VELM_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
IST = datetime.timezone(datetime.timedelta(hours=5, minutes=30))


class ClockStartupTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        enter_private_network()

    def setUp(self):
        self.tb = Testbed(BUILD_DIR)
        self.addCleanup(self.tb.close)

    def clock_calls(self):
        return [r for r in self.tb.recorded("date") if "-s" in r["args"]]

    def test_startup_sets_the_host_clock_from_the_server(self):
        server = self.tb.start_server()
        server.set_time_offset(7200)
        self.tb.start_service()
        self.tb.wait_for_port()  # the server starts after the start-up synchronisation
        calls = self.clock_calls()
        self.assertEqual(len(calls), 1, calls)
        args = calls[0]["args"]
        self.assertEqual(args[0], "-s")
        self.assertEqual(len(args), 2, "date and time travel as one argument, no shell")
        self.assertRegex(args[1], r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}$")
        set_to = datetime.datetime.strptime(args[1], "%Y-%m-%d %H:%M:%S").replace(tzinfo=IST)
        # The server's own Date header, as it sent it.
        dates = [v for r in server.requests() if r["path"].endswith("/time_sync.html")
                 for v in [r.get("time")] if v is not None]
        self.assertEqual(len(dates), 1)
        expected = datetime.datetime.fromtimestamp(dates[0], IST) + datetime.timedelta(seconds=7200)
        self.assertLess(abs((set_to - expected).total_seconds()), 5, (set_to, expected))

    def test_silent_server_leaves_the_clock_alone(self):
        server = self.tb.start_server()
        server.set_fault("/TR460_REGISTRATION_SERVICE/time_sync.html", "no_date_header")
        self.tb.start_service()
        self.tb.wait_for_port()
        self.assertEqual(self.clock_calls(), [])
        self.assertEqual(self.tb.status(), "NOTREADY")


if __name__ == "__main__":
    unittest.main()
