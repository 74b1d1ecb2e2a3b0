#!/usr/bin/python3
"""Runs inside a fresh network and mount namespace (started with `unshare -n -m`): brings the
loopback up, mounts a private copy of the dev root over build/devroot, optionally holds some
loopback ports, and then becomes the given program (exec), so the caller's pid is the
program's pid.

  service_sandbox.py --root COPY --devroot BUILD/devroot [--hold FIRST-LAST] -- PROGRAM [ARGS...]
"""
import argparse
import os
import socket
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--devroot", required=True)
    parser.add_argument("--hold", default="")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        sys.exit("no program")

    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["mount", "--bind", args.root, args.devroot], check=True)

    held = []
    if args.hold:
        first, last = (int(p) for p in args.hold.split("-"))
        for port in range(first, last + 1):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("0.0.0.0", port))
            s.listen(1)
            s.set_inheritable(True)  # still held after the exec below
            held.append(s)

    os.execv(program[0], program)


if __name__ == "__main__":
    main()
