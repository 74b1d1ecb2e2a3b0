"""Runs the management-server twin until SIGTERM or SIGINT.

Prints one JSON line once it listens: {"origin", "port", "control_port", "ca"}.
"""
import argparse
import json
import signal
import sys
import threading

from .pki import TLS_MODES
from .twin import FAULT_KINDS, ServerTwin

CONTROL_HELP = """control endpoint (plain HTTP on --control-port, JSON bodies):
  GET  /state                 origin, ports, CA path, faults, TLS failures, spoof reports, registrations
  GET  /requests              every request received: method, path, raw_head, headers, body, body_b64
  GET  /requests/count        number of requests recorded (plain text)
  GET  /requests/I/FIELD      FIELD (raw_head, body, method, path) of request I (-1: the last), raw bytes
  GET  /tls-failures/count    TLS handshakes that failed (plain text)
  POST /requests/clear        forget the recorded requests
  POST /reset                 defaults: no faults, no time offset, nothing recorded
  POST /fault                 {"target": SOAP action | GET path | "*", "kind": KIND, "count": N, ...}
  POST /faults/clear
  POST /time-offset           {"seconds": S}   Date headers run S seconds ahead of the host clock
  POST /model-cert-validity   {"not_before": S, "not_after": S}  relative to the moment of registration
  POST /registration          {"attempt", "timelock", "level"} fields 3-5, or {"result": TEXT}
  POST /certificates          {"reregister": "Y"|"N", "firmware_version": V, "field0": T,
                               "blank": ["stage"|"prod"|"preprod", ...]}
  POST /update-list           {"text": T}  decoded update list of GetUpdateDetailsModel
  POST /update-secret         {"text": T}  answer of GetUpdateEncData
  POST /publish               {"path": P, "data_b64": B64, "content_type": T}  serve a file on GET P

fault kinds:
""" + "\n".join("  %-16s %s" % (k, v) for k, v in FAULT_KINDS.items())


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m sim.server", description="Management-server twin (HTTPS).",
                                 epilog=CONTROL_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--state-dir", required=True, help="directory for the generated CAs, keys and certificates")
    ap.add_argument("--host", default="127.0.0.1", help="listen address (default 127.0.0.1)")
    ap.add_argument("--port", type=int, default=18443, help="HTTPS port (default 18443; 0 picks a free one)")
    ap.add_argument("--control-port", type=int, default=None,
                    help="plain-HTTP JSON control port on the same address (0 picks a free one; default: none)")
    ap.add_argument("--ca-out", default=None, help="also write the management CA certificate (PEM) here")
    ap.add_argument("--tls-mode", choices=TLS_MODES, default="good",
                    help="good: trusted CA and right host; untrusted: certificate from a CA nobody trusts; "
                         "wrong-host: trusted CA, certificate for another host name")
    ap.add_argument("--time-offset", type=float, default=0.0, help="seconds added to every Date header")
    args = ap.parse_args(argv)

    twin = ServerTwin(args.state_dir, host=args.host, port=args.port, control_port=args.control_port,
                      ca_out=args.ca_out, tls_mode=args.tls_mode)
    twin.set_time_offset(args.time_offset)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    twin.start()
    print(json.dumps({"origin": twin.origin, "port": twin.port, "control_port": twin.control_port,
                      "ca": twin.ca_path}), flush=True)
    while not stop.wait(3600):
        pass
    twin.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
