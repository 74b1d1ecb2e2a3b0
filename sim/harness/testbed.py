"""Runs the service against a simulated scanner and management server.

A umockdev testbed holds the scanner's USB device (idVendor/idProduct) and its tty child. The tty
is a pty: the scanner twin plays the scanner on the master side, the service opens the slave
through the testbed's /dev. The management-server twin serves HTTPS on loopback. The service runs
under the umockdev preload, on India time, with recording stand-ins for `date` and
`update-ca-certificates` first on PATH, and with its own copy of the dev installation root bound
over build/devroot so that several service processes of one build never share files.

Typical use:

    enter_private_network()          # own loopback: ports never collide with other tests
    with Testbed(build_dir) as tb:
        tb.start_server()
        tb.plug()                    # TR460U L1, normal firmware
        tb.start_service()
        tb.wait_for(lambda: 'status="READY"' in tb.rd("RDSERVICE", "/rd").text)
"""
import ctypes
import ctypes.util
import fcntl
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import termios
import threading
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PRODUCT_APPLICATION = "8230"
PRODUCT_UPDATE = "8240"
SERVICE_PORTS = (11100, 11200)
SERVER_PORT = 18443  # the dev profile's management-server origin

_TIOCGPTPEER = 0x5441
_TIOCVHANGUP = 0x5437
_CLONE_NEWNET = 0x40000000


def provision():
    with open(os.path.join(SOURCE_DIR, "provision", "provision.json"), encoding="utf-8") as f:
        return json.load(f)


def vendor_id(model="TR460U L1", upper=False):
    """The provisioned USB vendor id of a model, in the spelling asked for."""
    p = provision()
    vid = p["usb_vendor_id_brx500"] if model == "BRX500" else p["usb_vendor_id_tr460"]
    return vid.upper() if upper else vid.lower()


def enter_private_network():
    """Moves this process into a new network namespace with loopback up.

    Call from the main thread before any other thread or socket exists; child processes and
    threads created afterwards share the namespace."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    if libc.unshare(_CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "unshare(CLONE_NEWNET): " + os.strerror(err))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return max(0.0, self.end - time.monotonic())

    def expired(self):
        return time.monotonic() >= self.end


class RdResponse:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body
        self.text = body.decode("utf-8", "replace")

    def __repr__(self):
        return "RdResponse(%d, %r)" % (self.status, self.text[:200])


class ServiceProcess:
    """The service process with its console output collected line by line."""

    def __init__(self, argv, env, cwd):
        self.lines = []
        self._cv = threading.Condition()
        self.proc = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            with self._cv:
                self.lines.append(line)
                self._cv.notify_all()
        with self._cv:
            self._cv.notify_all()

    def output(self):
        with self._cv:
            return "\n".join(self.lines)

    def wait_for_line(self, pattern, timeout=30.0, start=0):
        """Waits until a line from index `start` on matches `pattern` (regex); returns its index."""
        rx = re.compile(pattern)
        deadline = Deadline(timeout)
        with self._cv:
            while True:
                for i in range(start, len(self.lines)):
                    if rx.search(self.lines[i]):
                        return i
                if self.proc.poll() is not None and not self._reader.is_alive():
                    raise AssertionError("service ended (%s) before %r:\n%s"
                                         % (self.proc.returncode, pattern, "\n".join(self.lines[-40:])))
                if deadline.expired():
                    raise AssertionError("no line matching %r within %.0f s:\n%s"
                                         % (pattern, timeout, "\n".join(self.lines[-40:])))
                self._cv.wait(min(deadline.left(), 1.0))

    def line_count(self):
        with self._cv:
            return len(self.lines)

    def stop(self, timeout=15.0):
        """SIGTERM, then SIGKILL if it does not end in time. Returns the exit status."""
        if self.proc.poll() is None:
            try:
                self.proc.send_signal(signal.SIGTERM)
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(10)
        self._reader.join(10)
        if self.proc.stdout:
            self.proc.stdout.close()
        return self.proc.returncode


class _PluggedScanner:
    """One attachment of the scanner: the testbed records, the pty and the twin on it."""

    def __init__(self, index, model, vendor, product):
        self.index = index
        self.model = model
        self.vendor = vendor
        self.product = product
        self.name = "ttyACM%d" % index
        self.devnode = "/dev/" + self.name
        self.usb_syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d" % (index + 1)
        self.intf_syspath = self.usb_syspath + "/1-%d:1.0" % (index + 1)
        self.tty_syspath = self.intf_syspath + "/tty/" + self.name
        self.peer_fd = -1
        self.twin_fd = -1
        self.twin = None

    def record(self):
        strip = len("/sys")
        return "\n".join([
            "P: " + self.tty_syspath[strip:], "N: " + self.name, "E: DEVNAME=" + self.devnode,
            "E: SUBSYSTEM=tty", "",
            "P: " + self.intf_syspath[strip:], "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_interface",
            "A: bInterfaceClass=02", "",
            "P: " + self.usb_syspath[strip:], "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_device",
            "A: idVendor=" + self.vendor, "A: idProduct=" + self.product,
            "A: manufacturer=Velmora", "A: product=" + self.model, ""])


def default_twin_factory(fd, **kwargs):
    from sim.scanner.twin import ScannerTwin
    return ScannerTwin(fd, **kwargs)


class Testbed:
    """The umockdev testbed, the twins and the service process."""

    def __init__(self, build_dir, twin_factory=None, keep_root=False):
        self.build_dir = os.path.abspath(build_dir)
        self.twin_factory = twin_factory or default_twin_factory
        self.keep_root = keep_root
        self.root = tempfile.mkdtemp(prefix="velm-testbed-", dir=self._temp_parent())
        self.devroot = os.path.join(self.root, "devroot")
        self.install_dir = os.path.join(self.devroot, "opt", "VELM_L1_RD_Service")
        self.bin_dir = os.path.join(self.root, "bin")
        self.records_dir = os.path.join(self.root, "records")
        self._prepare_root()
        self.testbed = UMockdev.Testbed.new()
        self.scanner = None
        self.twin_kwargs = {}
        self._plug_count = 0
        self._lock = threading.RLock()
        self.server = None
        self.service = None

    # ---- files --------------------------------------------------------------------------------

    def _temp_parent(self):
        parent = os.path.join(self.build_dir, "testbeds")
        os.makedirs(parent, exist_ok=True)
        return parent

    def _prepare_root(self):
        built_install = os.path.join(self.build_dir, "devroot", "opt", "VELM_L1_RD_Service")
        os.makedirs(self.install_dir)
        for name in ("localhost.cer", "localhost_legacy.key", "velm_localhost_ca.crt"):
            src = os.path.join(built_install, name)
            if os.path.exists(src):
                shutil.copy2(src, self.install_dir)
        os.makedirs(os.path.join(self.devroot, "usr", "local", "share", "ca-certificates"))
        os.makedirs(os.path.join(self.devroot, "etc", "velm"))
        os.makedirs(self.bin_dir)
        os.makedirs(self.records_dir)
        self._write_recorder("date", passthrough="/usr/bin/date", record_when="-s")
        self._write_recorder("update-ca-certificates")

    def _write_recorder(self, name, passthrough=None, record_when=None):
        """A stand-in program that appends its arguments to records/<name>.jsonl.

        With `passthrough`, calls that do not carry `record_when` run the real program."""
        script = (
            "#!/usr/bin/python3\n"
            "import json, os, sys\n"
            "args = sys.argv[1:]\n"
            "passthrough = %r\n"
            "record_when = %r\n"
            "if passthrough and record_when not in args:\n"
            "    os.execv(passthrough, [passthrough] + args)\n"
            "with open(%r, 'a', encoding='utf-8') as f:\n"
            "    f.write(json.dumps({'args': args, 'tz': os.environ.get('TZ', '')}) + '\\n')\n"
            "if record_when == '-s' and '-s' in args:\n"
            "    i = args.index('-s')\n"
            "    print(args[i + 1] if i + 1 < len(args) else '')\n"
        ) % (passthrough, record_when, os.path.join(self.records_dir, name + ".jsonl"))
        path = os.path.join(self.bin_dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(script)
        os.chmod(path, 0o755)

    def recorded(self, name):
        """The argument lists the stand-in `name` was called with, oldest first."""
        path = os.path.join(self.records_dir, name + ".jsonl")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def log_text(self):
        """All service log files, concatenated."""
        parts = []
        for dirpath, _, files in os.walk(self.install_dir):
            for name in sorted(files):
                if name.endswith(".log") or "log" in name.lower() and name.endswith(".txt"):
                    with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as f:
                        parts.append(f.read())
        return "\n".join(parts)

    # ---- scanner ------------------------------------------------------------------------------

    def plug(self, model="TR460U L1", product=PRODUCT_APPLICATION, upper_vendor=False, vendor=None, twin=None,
             **twin_kwargs):
        """Attaches a scanner and runs a twin on its pty; returns the twin.

        `twin` re-attaches an existing twin (a scanner keeps its state across a replug); without
        it a new twin is made with `twin_kwargs`."""
        with self._lock:
            if self.scanner is not None:
                raise RuntimeError("a scanner is already plugged in")
            vid = vendor or vendor_id(model, upper_vendor)
            s = _PluggedScanner(self._plug_count, model, vid, product)
            self._plug_count += 1
            if not self.testbed.add_from_string(s.record()):
                raise RuntimeError("umockdev refused the scanner record")
            master = self.testbed.get_dev_fd(s.devnode)
            if master < 0:
                raise RuntimeError("no pty for " + s.devnode)
            # Keep a slave handle so the master never sees a hang-up between the service's
            # opens, and make the line raw at once: no echo of the twin's own replies.
            s.peer_fd = fcntl.ioctl(master, _TIOCGPTPEER, os.O_RDWR | os.O_NOCTTY)
            attrs = termios.tcgetattr(s.peer_fd)
            attrs[0] = 0
            attrs[1] = 0
            attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
            attrs[3] = 0
            termios.tcsetattr(s.peer_fd, termios.TCSANOW, attrs)
            s.twin_fd = os.dup(master)
            if twin is None:
                twin = self.twin_factory(s.twin_fd, **self._twin_args(s, twin_kwargs))
            else:
                twin.fd = s.twin_fd
                if hasattr(twin, "set_mode"):
                    twin.set_mode("update" if product == PRODUCT_UPDATE else "normal", notify=False)
            s.twin = twin
            self._hook_mode_change(twin)
            if hasattr(twin, "start"):
                twin.start()
            self.scanner = s
            return twin

    @staticmethod
    def _twin_args(s, extra):
        args = {"model_id": s.model, "mode": "update" if s.product == PRODUCT_UPDATE else "normal"}
        args.update(extra)
        return args

    def _hook_mode_change(self, twin):
        """The twin switched firmware: the scanner leaves the bus and comes back with the other
        product id. Done off the twin's own thread, since the twin is stopped on the way."""
        def changed(_twin=None, mode="update", *_):
            product = PRODUCT_UPDATE if mode in ("update", True) else PRODUCT_APPLICATION
            threading.Thread(target=self._reenumerate_for, args=(twin, product), daemon=True).start()
        if hasattr(twin, "on_mode_change"):
            twin.on_mode_change = changed

    def _reenumerate_for(self, twin, product):
        with self._lock:
            if self.scanner is not None and self.scanner.twin is twin:
                self.reenumerate(product)

    @property
    def twin(self):
        return self.scanner.twin if self.scanner else None

    def unplug(self):
        """Detaches the scanner: the tty hangs up (as on a USB disconnect) and its records go."""
        with self._lock:
            s = self.scanner
            if s is None:
                return
            self.scanner = None
            try:
                fcntl.ioctl(s.peer_fd, _TIOCVHANGUP)
            except OSError:
                pass
            if s.twin is not None:
                for stop in ("stop", "close"):
                    if hasattr(s.twin, stop):
                        try:
                            getattr(s.twin, stop)()
                        except Exception:  # a twin that fails to stop must not keep the device
                            pass
                        break
            for fd in (s.twin_fd, s.peer_fd):
                try:
                    os.close(fd)
                except OSError:
                    pass
            for path in (s.tty_syspath, s.intf_syspath, s.usb_syspath):
                self.testbed.remove_device(path)
            try:
                os.unlink(os.path.join(self.testbed.get_root_dir(), s.devnode.lstrip("/")))
            except FileNotFoundError:
                pass

    def reenumerate(self, product, model=None):
        """The scanner leaves the bus and comes back with another product id."""
        with self._lock:
            old = self.scanner
            if old is None:
                raise RuntimeError("no scanner plugged in")
            model = model or old.model
            vendor = old.vendor
            twin = old.twin
            self.unplug()
            return self.plug(model=model, product=product, vendor=vendor, twin=twin)

    # ---- management server --------------------------------------------------------------------

    def start_server(self, **kwargs):
        """Starts the management-server twin on the dev profile's port; its CA goes where the
        dev profile trusts it."""
        from sim.server import ServerTwin
        state = os.path.join(self.root, "server")
        os.makedirs(state, exist_ok=True)
        kwargs.setdefault("host", "127.0.0.1")
        kwargs.setdefault("port", SERVER_PORT)
        kwargs.setdefault("control_port", None)
        self.server = ServerTwin(state, ca_out=os.path.join(self.devroot, "etc", "velm", "management-ca.pem"),
                                 **kwargs)
        self.server.start()
        return self.server

    # ---- service ------------------------------------------------------------------------------

    def service_env(self):
        env = {
            "PATH": self.bin_dir + os.pathsep + "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "TZ": "Asia/Kolkata",
            "LANG": "C.UTF-8",
            "HOME": self.root,
            "PYTHONPATH": SOURCE_DIR,
        }
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        # ThreadSanitizer cannot see the umockdev preload's own descriptor bookkeeping.
        supp = os.path.join(SOURCE_DIR, "tests", "sanitizers", "tsan-umockdev.supp")
        tsan = env.get("TSAN_OPTIONS", "")
        env["TSAN_OPTIONS"] = (tsan + ":" if tsan else "") + "suppressions=" + supp
        # The umockdev preload comes before a sanitizer runtime linked into the service.
        asan = env.get("ASAN_OPTIONS", "")
        if "verify_asan_link_order" not in asan:
            env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        return env

    def service_argv(self, executable=None):
        exe = executable or os.path.join(self.build_dir, "velm_rd_service_dev")
        preload = "libumockdev-preload.so.0"
        if "LD_PRELOAD" in os.environ:  # sanitizer runtimes must come first
            preload = os.environ["LD_PRELOAD"] + ":" + preload
        # Without CAP_SYS_TIME: whatever the service runs, the host clock stays as it is (the
        # recording `date` first on PATH is the check, this is the guarantee).
        return ["/usr/bin/setpriv", "--bounding-set=-sys_time", "--inh-caps=-sys_time", "--",
                sys.executable if sys.executable.startswith("/usr/bin/") else "/usr/bin/python3",
                "-m", "sim.harness.launch",
                "--bind", self.devroot, os.path.join(self.build_dir, "devroot"),
                "--setenv", "LD_PRELOAD=" + preload,
                "--setenv", "UMOCKDEV_DIR=" + self.testbed.get_root_dir(),
                "--", exe]

    def start_service(self, executable=None):
        if self.service is not None:
            raise RuntimeError("service already running")
        os.makedirs(os.path.join(self.build_dir, "devroot"), exist_ok=True)
        self.service = ServiceProcess(self.service_argv(executable), self.service_env(), self.root)
        return self.service

    def stop_service(self):
        if self.service is None:
            return None
        rc = self.service.stop()
        self.service = None
        return rc

    # ---- RD API -------------------------------------------------------------------------------

    def rd(self, method, path, body=b"", port=SERVICE_PORTS[0], tls=False, timeout=60.0, headers=None):
        """One RD API request; returns an RdResponse."""
        if isinstance(body, str):
            body = body.encode("utf-8")
        if tls:
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=ctx)
        else:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        try:
            hdrs = {"Content-Type": "text/xml"}
            hdrs.update(headers or {})
            conn.request(method, path, body=body, headers=hdrs)
            resp = conn.getresponse()
            return RdResponse(resp.status, dict(resp.getheaders()), resp.read())
        finally:
            conn.close()

    def wait_for_port(self, port=SERVICE_PORTS[0], timeout=30.0):
        deadline = Deadline(timeout)
        while True:
            if self.service is not None and self.service.proc.poll() is not None:
                raise AssertionError("service ended:\n" + self.service.output())
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=min(1.0, deadline.left() + 0.01)):
                    return
            except OSError:
                if deadline.expired():
                    raise AssertionError("port %d not open within %.0f s" % (port, timeout))
                # The listener comes up once; give the service a moment between tries.
                threading.Event().wait(0.1)

    def wait_for(self, predicate, timeout=30.0, interval=0.25, what="condition"):
        """Polls `predicate` (which may call the service) until it holds."""
        deadline = Deadline(timeout)
        last = None
        while True:
            try:
                last = predicate()
                if last:
                    return last
            except (OSError, http.client.HTTPException) as e:
                last = e
            if deadline.expired():
                raise AssertionError("%s not met within %.0f s (last: %r)" % (what, timeout, last))
            threading.Event().wait(min(interval, deadline.left()))

    def status(self, port=SERVICE_PORTS[0]):
        """The status attribute of the RDSERVICE document."""
        m = re.search(r'status="([A-Z]+)"', self.rd("RDSERVICE", "/rd", port=port).text)
        return m.group(1) if m else None

    # ---- teardown -----------------------------------------------------------------------------

    def close(self):
        self.stop_service()
        self.unplug()
        if self.server is not None:
            try:
                self.server.stop()
            finally:
                self.server = None
        if not self.keep_root:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
