#!/usr/bin/python3
"""Writes the installable packaging files into OUT_DIR, filling in the provisioned USB ids.

    /usr/bin/python3 packaging/render.py OUT_DIR
"""
import json
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def render_rules(provision):
    tr460 = provision["usb_vendor_id_tr460"].lower()
    brx500 = provision["usb_vendor_id_brx500"].lower()
    with open(os.path.join(HERE, "60-velm-scanner.rules.in"), encoding="utf-8") as f:
        text = f.read()
    for key, value in (("@VENDOR_TR460@", tr460), ("@VENDOR_TR460_UPPER@", tr460.upper()),
                       ("@VENDOR_BRX500@", brx500), ("@VENDOR_BRX500_UPPER@", brx500.upper())):
        text = text.replace(key, value)
    return text


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = argv[0]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(HERE, "..", "provision", "provision.json"), encoding="utf-8") as f:
        provision = json.load(f)
    with open(os.path.join(out, "60-velm-scanner.rules"), "w", encoding="utf-8") as f:
        f.write(render_rules(provision))
    shutil.copy(os.path.join(HERE, "velm-rd-service.service"), out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
