"""Benchmark driver; runs inside its own network and mount namespace (see run)."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
DOC = ('<RDService xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
       'xmlns:xsd="http://www.w3.org/2001/XMLSchema" status="NOTREADY" '
       'info="RD service for L1 provided by Velmora"><Interface id="CAPTURE" path="/rd/capture" />'
       '<Interface id="DEVICEINFO" path="/rd/info" /></RDService>')
NGINX_PLAIN, NGINX_TLS = 18080, 18443
GUARD = 60


def percentile(values, p):
    v = sorted(values)
    k = max(0, min(len(v) - 1, int(round(p / 100.0 * len(v) + 0.5)) - 1))
    return v[k]


def wait_port(port):
    end = time.monotonic() + GUARD
    while time.monotonic() < end:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.02)  # start-up probe only
    sys.exit("nothing listens on port %d" % port)


def build_client(build):
    out = os.path.join(build, "bench", "rd_latency_client")
    src = os.path.join(HERE, "client.cpp")
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(src):
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run(["g++", "-O2", "-std=c++17", "-Wall", "-Wextra", "-Werror", "-o", out, src,
                        "-lssl", "-lcrypto"], check=True)
    return out


def start_service(build, tmp):
    devroot = os.path.join(build, "devroot")
    copy = os.path.join(tmp, "devroot")
    shutil.copytree(devroot, copy, symlinks=True)
    subprocess.run(["mount", "--bind", copy, devroot], check=True)
    bindir = os.path.join(tmp, "bin")
    os.makedirs(bindir)
    stub = os.path.join(bindir, "update-ca-certificates")
    with open(stub, "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(stub, 0o755)
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))
    proc = subprocess.Popen([os.path.join(build, "velm_rd_service_dev")], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    found = {}
    ready = threading.Event()

    def reader():
        for raw in proc.stdout:
            line = raw.decode(errors="replace")
            if line.startswith("VELM RD server started on ports: "):
                found["port"] = int(line.split(":")[1].split()[0])
                ready.set()
        ready.set()

    threading.Thread(target=reader, daemon=True).start()
    if not ready.wait(GUARD) or "port" not in found:
        proc.kill()
        sys.exit("the dev service did not start")
    return proc, found["port"]


def start_nginx(tmp):
    prefix = os.path.join(tmp, "nginx")
    os.makedirs(os.path.join(prefix, "logs"))
    cert = os.path.join(SOURCE, "install", "localhost.cer")
    key = os.path.join(SOURCE, "install", "localhost_legacy.key")
    conf = os.path.join(prefix, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""
worker_processes 1;
daemon off;
pid {p}/nginx.pid;
error_log {p}/logs/error.log;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_body_temp_path {p}/body;
  proxy_temp_path {p}/proxy;
  fastcgi_temp_path {p}/fastcgi;
  server {{
    listen 127.0.0.1:{plain};
    listen 127.0.0.1:{tls} ssl;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_session_tickets off;
    default_type "text/xml; charset=utf-8";
    location / {{ return 200 '{doc}'; }}
  }}
}}
""".format(p=prefix, plain=NGINX_PLAIN, tls=NGINX_TLS, cert=cert, key=key, doc=DOC))
    proc = subprocess.Popen(["nginx", "-p", prefix, "-c", conf], stderr=subprocess.DEVNULL)
    wait_port(NGINX_PLAIN)
    wait_port(NGINX_TLS)
    return proc


def run_client(client, mode, port, count):
    ca = os.path.join(SOURCE, "install", "velm_localhost_ca.crt")
    done = subprocess.run([client, mode, str(port), str(count), 'status="NOTREADY"', ca],
                          capture_output=True, timeout=GUARD * 20)
    if done.returncode != 0:
        sys.exit("client failed (%s %d): %s" % (mode, port, done.stderr.decode()))
    return [int(x) / 1000.0 for x in done.stdout.split()]


def main():
    build = os.path.abspath(sys.argv[1])
    count = int(os.environ.get("RD_BENCH_COUNT", "5000"))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    client = build_client(build)
    tmp = tempfile.mkdtemp(prefix="rd_latency.", dir=build)
    service = nginx = None
    try:
        service, port = start_service(build, tmp)
        nginx = start_nginx(tmp)
        results = {}
        for mode in ("plain", "tls"):
            for name, p in (("velm", port), ("nginx", NGINX_PLAIN if mode == "plain" else NGINX_TLS)):
                run_client(client, mode, p, min(200, count))  # warm-up
                results[(name, mode)] = run_client(client, mode, p, count)
        for (name, mode), lat in sorted(results.items()):
            print("%-5s %-5s n=%d p50=%.3f ms p99=%.3f ms max=%.3f ms" % (
                name, mode, len(lat), percentile(lat, 50), percentile(lat, 99), max(lat)))
        ratio = {m: percentile(results[("velm", m)], 50) / percentile(results[("nginx", m)], 50)
                 for m in ("plain", "tls")}
        print("rd_latency plain_p50_ratio=%.2f tls_p50_ratio=%.2f plain_p99_ms=%.3f tls_p99_ms=%.3f" % (
            ratio["plain"], ratio["tls"], percentile(results[("velm", "plain")], 99),
            percentile(results[("velm", "tls")], 99)))
    finally:
        for proc in (nginx, service):
            if proc and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=GUARD)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
