#!/usr/bin/python3
"""Turns provision.json (and the files it names) into a C++ header for the service."""
import json
import os
import sys


def c_bytes(hexstr):
    b = bytes.fromhex(hexstr)
    return "{" + ", ".join("0x%02x" % x for x in b) + "}", len(b)


def c_str(text):
    out = []
    for line in text.splitlines(True):
        esc = line.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
        out.append('"%s"' % esc)
    return "\n    ".join(out) if out else '""'


def main():
    root, out = sys.argv[1], sys.argv[2]
    with open(os.path.join(root, "provision", "provision.json")) as f:
        p = json.load(f)

    def read(rel):
        with open(os.path.join(root, rel)) as f:
            return f.read()

    lines = ["// Generated from provision/provision.json; do not edit.", "#pragma once",
             "#include <cstdint>", "", "namespace velm::provision {", ""]
    arr, n = c_bytes(p["config_store_key"])
    lines.append("inline constexpr uint8_t kConfigStoreKey[%d] = %s;" % (n, arr))
    for kind, blocks in p["kdf_constants"].items():
        for blk in ("key", "iv", "aad"):
            arr, n = c_bytes(blocks[blk])
            lines.append("inline constexpr uint8_t kKdf_%s_%s[%d] = %s;" % (kind, blk, n, arr))
    lines.append('inline constexpr const char* kUsbVendorTr460 = "%s";' % p["usb_vendor_id_tr460"].lower())
    lines.append('inline constexpr const char* kUsbVendorBrx500 = "%s";' % p["usb_vendor_id_brx500"].lower())
    arr, n = c_bytes(p["firmware_hash_salt"])
    lines.append("inline constexpr uint8_t kFirmwareHashSalt[%d] = %s;" % (n, arr))
    for name, uri in p["namespaces"].items():
        lines.append('inline constexpr const char* kNamespace_%s = "%s";' % (name, uri))
    for prof, vals in p["profiles"].items():
        lines.append('inline constexpr const char* kServerOrigin_%s = "%s";' % (prof, vals["server_origin"]))
        lines.append("inline constexpr const char* kSigningPublicKey_%s =\n    %s;" % (prof, c_str(read(vals["signing_public_key"]))))
    lines.append('inline constexpr const char* kBuiltinUidaiCertificate = "%s";' % read(p["builtin_uidai_certificate"]).strip())
    lines += ["", "}  // namespace velm::provision", ""]
    tmp = out + ".tmp"
    with open(tmp, "w") as f:
        f.write("\n".join(lines))
    os.replace(tmp, out)


if __name__ == "__main__":
    main()
