"""Capture overhead of the service, idle cost and long-run footprint.

The real service runs in a umockdev testbed with a scanner twin that answers every command at
once and counts the bytes of each command line the service writes. A capture end to end,
minus the pause the service must make after every command it writes (100 us per byte plus
2.5 ms), minus any time the twin needed beyond that pause, is the service's own overhead.

Phases: warm-up; N single-finger captures timed one by one; three two-finger captures (the
2-second pause between fingers applies there, and only there); the service idle with the
scanner attached (CPU from /proc/<pid>/stat, RSS, open descriptors); a capture loop with RSS
and descriptors sampled at its mark (minute 1) and at its end (minute 5).
"""
import os
import statistics
import sys
import threading
import time

from capture_support import CountingTwin, PIDDATA_HEAD, pid_options, raw_request, wait_until_settled
from sim.harness import Testbed, enter_private_network

QUICK = os.environ.get("CAPTURE_BENCH_QUICK") == "1"


def setting(name, default, quick):
    value = os.environ.get(name)
    return float(value) if value else (quick if QUICK else default)


COUNT = int(setting("CAPTURE_BENCH_COUNT", 200, 30))
IDLE_S = setting("CAPTURE_BENCH_IDLE_S", 60, 10)
LOOP_MARK_S = setting("CAPTURE_BENCH_LOOP_MARK_S", 60, 10)
LOOP_S = setting("CAPTURE_BENCH_LOOP_S", 300, 30)
WARMUP = 5
PAUSE_PER_BYTE_S = 100e-6
PAUSE_PER_COMMAND_S = 2500e-6
SUCCESS_MARK = 'errCode="0"'


def mandated_pause(nbytes):
    return nbytes * PAUSE_PER_BYTE_S + PAUSE_PER_COMMAND_S


class Proc:
    """Counters of one process from /proc."""

    def __init__(self, pid):
        self.pid = pid
        self.hz = os.sysconf("SC_CLK_TCK")

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / self.hz  # utime + stime

    def rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise RuntimeError("no VmRSS")

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.pid))


def capture(twin, body):
    """(end-to-end seconds, mandated pauses, twin time beyond the pauses, commands, bytes)."""
    twin.take_lines()
    start = time.perf_counter()
    status, text = raw_request("CAPTURE", "/rd/capture", body)
    elapsed = time.perf_counter() - start
    if not status.startswith("HTTP/1.1 200") or not text.startswith(PIDDATA_HEAD) or SUCCESS_MARK not in text:
        raise SystemExit("capture failed: %s %s" % (status, text[:300]))
    lines = twin.take_lines()
    pauses = sum(mandated_pause(n) for n, _ in lines)
    twin_excess = sum(max(0.0, spent - mandated_pause(n)) for n, spent in lines)
    return elapsed, pauses, twin_excess, len(lines), sum(n for n, _ in lines)


def pct(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def main(build_dir):
    enter_private_network()
    single = pid_options(fcount="1", posh="RIGHT_INDEX")
    double = pid_options(fcount="2", posh="RIGHT_INDEX,LEFT_INDEX")
    with Testbed(build_dir, twin_factory=lambda fd, **kw: CountingTwin(fd, **kw)) as tb:
        tb.start_server()
        twin = tb.plug(serial="VT0000999001")
        tb.start_service()
        tb.wait_for_port()
        wait_until_settled(tb)
        proc = Proc(tb.service.proc.pid)
        exe = os.path.basename(os.readlink("/proc/%d/exe" % proc.pid))
        print("service pid %d (%s), %d captures, idle %.0f s, loop %.0f s (mark at %.0f s)"
              % (proc.pid, exe, COUNT, IDLE_S, LOOP_S, LOOP_MARK_S), flush=True)

        for _ in range(WARMUP):
            capture(twin, single)

        # Single-finger captures.
        load0 = os.getloadavg()[0]
        cpu_start = proc.cpu_seconds()
        rows = [capture(twin, single) for _ in range(COUNT)]
        cpu_per_capture_ms = (proc.cpu_seconds() - cpu_start) * 1000.0 / COUNT
        overhead_ms = [(e - p - x) * 1000 for e, p, x, _, _ in rows]
        e2e_ms = [e * 1000 for e, _, _, _, _ in rows]
        pause_ms = [p * 1000 for _, p, _, _, _ in rows]
        excess_ms = [x * 1000 for _, _, x, _, _ in rows]
        print("single finger: end to end p50 %.1f ms; mandated pauses p50 %.1f ms (%d commands, %d bytes "
              "written per capture); twin beyond its pauses p50 %.2f ms"
              % (statistics.median(e2e_ms), statistics.median(pause_ms), rows[-1][3], rows[-1][4],
                 statistics.median(excess_ms)))
        print("service overhead per capture: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms (target p50 < 5 ms)"
              % (statistics.median(overhead_ms), pct(overhead_ms, 90), pct(overhead_ms, 99), max(overhead_ms)),
              flush=True)
        print("service cpu per capture (all its threads): %.2f ms; host load average %.2f at the start"
              % (cpu_per_capture_ms, load0), flush=True)

        # Two fingers: the pause between fingers shows up as the time left after the pauses per
        # command; a single finger has none of it.
        two = [capture(twin, double) for _ in range(3)]
        two_left_ms = statistics.median((e - p - x) * 1000 for e, p, x, _, _ in two)
        print("two fingers: %.0f ms beyond the per-command pauses (finger pauses %.0f ms + overhead); "
              "single finger: %.2f ms" % (two_left_ms, two_left_ms - statistics.median(overhead_ms),
                                          statistics.median(overhead_ms)), flush=True)

        # Idle with the scanner attached.
        cpu0, wall0 = proc.cpu_seconds(), time.monotonic()
        rss_idle0, fds_idle0 = proc.rss_kib(), proc.fds()
        threading.Event().wait(IDLE_S)
        cpu1, wall1 = proc.cpu_seconds(), time.monotonic()
        idle_cpu_pct = (cpu1 - cpu0) / (wall1 - wall0) * 100.0
        print("idle %.0f s: cpu %.3f%% of one core (target < 0.5%%); rss %d -> %d KiB; fds %d -> %d; threads %d"
              % (wall1 - wall0, idle_cpu_pct, rss_idle0, proc.rss_kib(), fds_idle0, proc.fds(), proc.threads()),
              flush=True)

        # Capture loop.
        start = time.monotonic()
        fds_start, rss_start = proc.fds(), proc.rss_kib()
        mark = None
        n = 0
        while True:
            now = time.monotonic() - start
            if mark is None and now >= LOOP_MARK_S:
                mark = (proc.rss_kib(), proc.fds(), n)
            if now >= LOOP_S:
                break
            capture(twin, single)
            n += 1
        if mark is None:
            mark = (proc.rss_kib(), proc.fds(), n)
        rss_end, fds_end = proc.rss_kib(), proc.fds()
        rss_growth = (rss_end - mark[0]) * 100.0 / mark[0]
        fd_growth = fds_end - mark[1]
        print("capture loop: %d captures in %.0f s; rss %d KiB at start, %d KiB at %.0f s, %d KiB at the end "
              "(%+.2f%%, target within 1%%); fds %d at start, %d at %.0f s, %d at the end"
              % (n, time.monotonic() - start, rss_start, mark[0], LOOP_MARK_S, rss_end, rss_growth,
                 fds_start, mark[1], LOOP_MARK_S, fds_end), flush=True)
        rc = tb.stop_service()
        if rc != 0:
            raise SystemExit("service exited with %s" % rc)

    print("capture_overhead p50_ms=%.2f idle_cpu_pct=%.3f rss_growth_pct=%.2f fd_growth=%d"
          % (statistics.median(overhead_ms), idle_cpu_pct, rss_growth, fd_growth))


if __name__ == "__main__":
    main(sys.argv[1])
