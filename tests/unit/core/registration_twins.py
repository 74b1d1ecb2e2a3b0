#!/usr/bin/python3
"""Runs the scanner twin (on a pty pair) and the management-server twin (on a free loopback
port) in one process for the C++ registration, key-rotation and clock tests.

  /usr/bin/python3 registration_twins.py STATE_DIR

The first line on stdout is a JSON object: {"tty": slave path, "origin": server origin,
"ca": CA bundle path}. Then every line read from stdin is a JSON request
{"target": "scanner"|"server", "op": method name, "args": {...}} that calls that method of
the twin; the answer is one JSON line {"ok": true, "result": ...} or {"ok": false,
"error": "..."}. The process ends when stdin closes.
"""

import datetime
import json
import os
import sys

from sim.scanner.twin import ScannerTwin, jsonable
from sim.server.twin import ServerTwin


def main():
    state_dir = sys.argv[1]
    os.makedirs(state_dir, exist_ok=True)
    master, slave = os.openpty()
    scanner = ScannerTwin(master)
    scanner.start()
    server = ServerTwin(os.path.join(state_dir, "server"), port=0)
    server.start()

    extra = {
        # Scanner helpers that are not plain methods.
        ("scanner", "set_cert_in"): lambda seconds: scanner.set_model_cert(
            datetime.datetime.now() + datetime.timedelta(seconds=seconds)),
        ("scanner", "commands"): lambda: [r.get("command", r.get("word", "")) for r in scanner.received()],
        ("scanner", "key_records"): lambda: [r.hex() for r in scanner.key_records] if scanner.key_records else None,
        ("scanner", "set_device_code"): lambda code: scanner.set(device_code=code),
        ("scanner", "set_reply"): lambda word, reply: scanner.set(reply_overrides={word: reply}),
    }
    print(json.dumps({"tty": os.ttyname(slave), "origin": server.origin, "ca": server.ca_path}), flush=True)
    for line in sys.stdin:
        if not line.strip():
            continue
        try:
            req = json.loads(line)
            target = {"scanner": scanner, "server": server}[req["target"]]
            fn = extra.get((req["target"], req["op"])) or getattr(target, req["op"])
            result = fn(**req.get("args", {}))
            out = {"ok": True, "result": jsonable(result)}
        except Exception as e:  # every failure goes back to the test
            out = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
        print(json.dumps(out), flush=True)
    scanner.stop()
    server.stop()
    os.close(slave)


if __name__ == "__main__":
    main()
