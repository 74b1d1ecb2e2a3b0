"""Starts a program in a private mount namespace with some directories bound over others.

    /usr/bin/python3 -m sim.harness.launch [--bind SRC DST]... [--setenv K=V]... -- PROGRAM ARGS...

The binds let several service processes of the same build run side by side, each with its own
installation root. Environment settings given with --setenv apply to the program only (not to
this launcher), so an LD_PRELOAD reaches the program and nothing else.
"""
import ctypes
import ctypes.util
import os
import sys

CLONE_NEWNS = 0x00020000
MS_BIND = 4096
MS_REC = 16384
MS_PRIVATE = 1 << 18


def _libc():
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_void_p]
    libc.unshare.argtypes = [ctypes.c_int]
    return libc


def _check(rc, what):
    if rc != 0:
        err = ctypes.get_errno()
        raise OSError(err, "%s: %s" % (what, os.strerror(err)))


def main(argv):
    binds, env_sets = [], []
    i = 0
    while i < len(argv) and argv[i] != "--":
        if argv[i] == "--bind" and i + 2 < len(argv):
            binds.append((argv[i + 1], argv[i + 2]))
            i += 3
        elif argv[i] == "--setenv" and i + 1 < len(argv) and "=" in argv[i + 1]:
            env_sets.append(argv[i + 1].split("=", 1))
            i += 2
        else:
            print("usage: launch [--bind SRC DST]... [--setenv K=V]... -- PROGRAM ARGS...", file=sys.stderr)
            return 2
    program = argv[i + 1:]
    if not program:
        print("launch: no program given", file=sys.stderr)
        return 2
    if binds:
        libc = _libc()
        _check(libc.unshare(CLONE_NEWNS), "unshare")
        _check(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "make / private")
        for src, dst in binds:
            _check(libc.mount(os.fsencode(src), os.fsencode(dst), None, MS_BIND, None), "bind %s" % dst)
    env = dict(os.environ)
    for key, value in env_sets:
        env[key] = value
    os.execvpe(program[0], program, env)
    return 127


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
