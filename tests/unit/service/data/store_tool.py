#!/usr/bin/python3
"""Reads and writes configuration store files the way another installation would, with the
provisioned store key and an independent AES-128-ECB.

  store_tool.py SOURCE_DIR decrypt STORE   -> hex of the decrypted bytes (padding included)
  store_tool.py SOURCE_DIR encrypt STORE   <- plaintext on stdin, padded with blanks
"""
import base64
import json
import os
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def key(source_dir):
    with open(os.path.join(source_dir, "provision", "provision.json")) as f:
        return bytes.fromhex(json.load(f)["config_store_key"])


def main():
    source_dir, op, path = sys.argv[1:4]
    cipher = Cipher(algorithms.AES(key(source_dir)), modes.ECB())
    if op == "decrypt":
        with open(path, "rb") as f:
            raw = base64.b64decode(f.read(), validate=True)
        d = cipher.decryptor()
        sys.stdout.write((d.update(raw) + d.finalize()).hex())
    elif op == "encrypt":
        plain = sys.stdin.buffer.read()
        plain += b" " * (-len(plain) % 16)
        e = cipher.encryptor()
        with open(path, "wb") as f:
            f.write(base64.b64encode(e.update(plain) + e.finalize()))
    else:
        sys.exit(2)


if __name__ == "__main__":
    main()
