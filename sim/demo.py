#!/usr/bin/python3
"""`make demo`: the service with a simulated scanner and management server, reachable from this
machine's shell with curl, until Ctrl-C. Nothing is left behind.

    /usr/bin/python3 sim/demo.py --build-dir build
"""
import argparse
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.harness import Testbed  # noqa: E402

PID_OPTIONS = ('<PidOptions ver="1.0"><Opts fCount="1" fType="2" iCount="0" pCount="0" format="0" '
               'pidVer="2.0" timeout="10000" posh="UNKNOWN" env="P" /></PidOptions>')


def commands(tb):
    keys = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keys")
    return "\n".join([
        "",
        "The RD service is up with a simulated TR460U L1 scanner (serial %s)." % tb.twin.serial,
        "Try, from another shell:",
        "",
        "  curl -s -X RDSERVICE http://127.0.0.1:11100/rd",
        "  curl -s --cacert %s -X RDSERVICE https://127.0.0.1:11100/rd   # same port, TLS"
        % os.path.join(tb.install_dir, "velm_localhost_ca.crt"),
        "  curl -s -X RDSERVICE http://127.0.0.1:11200/rd",
        "  curl -s -X DEVICEINFO http://127.0.0.1:11100/rd/info",
        "  curl -s -X CAPTURE http://127.0.0.1:11100/rd/capture -H 'Content-Type: text/xml' \\",
        "       --data '%s' > /tmp/piddata.xml" % PID_OPTIONS,
        "",
        "Decrypt and check the PID block of that answer with the UIDAI test key of its environment",
        "(env P = prod, PP = preprod, S = stage):",
        "",
        "  PYTHONPATH=%s /usr/bin/python3 -m sim.scanner.pidverify --key %s/uidai_prod_test.key --piddata /tmp/piddata.xml"
        % (os.path.dirname(os.path.dirname(os.path.abspath(__file__))), keys),
        "  (see `/usr/bin/python3 -m sim.scanner.pidverify --help` for its options)",
        "",
        "Service log: %s" % os.path.join(tb.install_dir, "Logs"),
        "Ctrl-C stops the service and removes everything the demo made.",
        "",
    ])


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build")
    ap.add_argument("--keep", action="store_true", help="keep the demo's files after it stops")
    args = ap.parse_args(argv)
    exe = os.path.join(os.path.abspath(args.build_dir), "velm_rd_service_dev")
    if not os.path.exists(exe):
        print("demo: %s is not built; run `make build` first" % exe, file=sys.stderr)
        return 1

    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())

    # Host network namespace on purpose: the user reaches the service with curl.
    with Testbed(args.build_dir, keep_root=args.keep) as tb:
        tb.start_server()
        tb.plug()
        service = tb.start_service()
        try:
            tb.wait_for_port(timeout=30)
            tb.wait_for(lambda: tb.status() == "READY", timeout=60, what="scanner READY")
        except AssertionError as e:
            print("demo: the service did not come up:\n%s" % e, file=sys.stderr)
            return 1
        print(commands(tb), flush=True)
        shown = service.line_count()
        while not stop.is_set():
            if service.proc.poll() is not None:
                print("demo: the service ended with status %s" % service.proc.returncode, file=sys.stderr)
                break
            # Echo the service's console (notifications) as it goes.
            n = service.line_count()
            if n > shown:
                with service._cv:
                    new = service.lines[shown:n]
                for line in new:
                    print("  service| " + line, flush=True)
                shown = n
            stop.wait(0.5)
        print("\nStopping the demo...", flush=True)
    print("Done.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
