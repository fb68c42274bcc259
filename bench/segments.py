#!/usr/bin/env python3
"""Segments bench: one download split over several connections, against a
server that limits the speed of each connection.

A loopback nginx (Debian's nginx-light, started here with a temporary
configuration) serves a 256 MiB file with `limit_rate 20m`, that is 20 MiB/s per
connection. In the same run, alternating, three runs each: Vexaro's worker with
4 connections, `aria2c -x4 -s4 -k1M` and `curl -o`. Each runs as a child process
(wall time and peak memory from GNU time) and its file is checked byte for byte.
It prints each median, the limit that 4 connections allow (size / (4 x 20 MiB/s))
and the peak memory, and as its last line `segmented ratio vexaro/aria2: R`
(targets: R <= 1.0, and Vexaro within 1.10 of the limit).
"""

import argparse
import hashlib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from transfer import TIME, timed_child  # noqa: E402

MIB = 1024 * 1024
SIZE = 256 * MIB
RATE_MIB = 20
CONNECTIONS = 4
RUNS = 3
NGINX = "/usr/sbin/nginx"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_file(path):
    """SIZE bytes that no two places share, so a misplaced piece shows."""
    digest = hashlib.sha256()
    with open(path, "wb") as out:
        block = os.urandom(MIB)
        for i in range(SIZE // MIB):
            piece = i.to_bytes(8, "little") + block[8:]
            out.write(piece)
            digest.update(piece)
    return digest.hexdigest()


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        while chunk := data.read(4 * MIB):
            digest.update(chunk)
    return digest.hexdigest()


def start_nginx(folder, port):
    www = os.path.join(folder, "www")
    os.makedirs(www)
    temp = os.path.join(folder, "temp")
    os.makedirs(temp)
    user = "user root root;" if os.geteuid() == 0 else ""
    config = os.path.join(folder, "nginx.conf")
    with open(config, "w") as out:
        out.write(f"""
{user}
daemon off;
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 128; }}
http {{
  access_log off;
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  fastcgi_temp_path {temp}/fastcgi;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;
  sendfile on;
  server {{
    listen 127.0.0.1:{port};
    root {www};
    location / {{ limit_rate {RATE_MIB}m; }}
  }}
}}
""")
    server = subprocess.Popen([NGINX, "-p", folder, "-c", config, "-e", os.path.join(folder, "error.log")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return server, www
        except OSError:
            if server.poll() is not None:
                break
            time.sleep(0.05)
    server.kill()
    with open(os.path.join(folder, "error.log")) as log:
        sys.exit("nginx did not start:\n" + log.read())


def fetch(kind, args, url, folder, env, expected):
    path = os.path.join(folder, f"{kind}.bin")
    if kind == "vexaro":
        argv = [args.fetch, url, path, "--connections", str(CONNECTIONS)]
    elif kind == "aria2c":
        argv = ["aria2c", "-x4", "-s4", "-k1M", "-q", "--allow-overwrite=true", "--auto-file-renaming=false",
                "-d", folder, "-o", os.path.basename(path), url]
    else:
        argv = ["curl", "-s", "-o", path, url]
    wall, peak = timed_child(argv, env, folder)
    if file_digest(path) != expected:
        sys.exit(f"{kind}: the file is not the one served")
    os.remove(path)
    return wall, peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fetch", required=True)
    args = parser.parse_args()
    for tool in (NGINX, TIME):
        if not os.access(tool, os.X_OK):
            sys.exit(f"{tool} is needed (scripts/setup installs it)")
    if not shutil.which("aria2c"):
        sys.exit("aria2c is needed (Debian package aria2; scripts/setup installs it)")

    env = dict(os.environ, no_proxy="*")
    folder = tempfile.mkdtemp(prefix="vexaro-segments-")
    server = None
    try:
        port = free_port()
        server, www = start_nginx(folder, port)
        expected = make_file(os.path.join(www, "file.bin"))
        url = f"http://127.0.0.1:{port}/file.bin"
        downloads = os.path.join(folder, "downloads")
        os.makedirs(downloads)

        kinds = ("vexaro", "aria2c", "curl")
        runs = {kind: [] for kind in kinds}
        for i in range(RUNS):
            for kind in kinds:
                wall, peak = fetch(kind, args, url, downloads, env, expected)
                runs[kind].append((wall, peak))
                print(f"run {i + 1} {kind:6}: {wall:7.3f} s  peak {peak / 1024:6.1f} MiB", flush=True)
    finally:
        if server:
            server.send_signal(signal.SIGQUIT)
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(folder, ignore_errors=True)

    limit = SIZE / (CONNECTIONS * RATE_MIB * MIB)
    median = {kind: statistics.median(w for w, _ in r) for kind, r in runs.items()}
    for kind in kinds:
        peak = max(p for _, p in runs[kind])
        print(f"{kind:6} 256 MiB: median wall {median[kind]:.3f} s ({SIZE / MIB / median[kind]:.0f} MiB/s), "
              f"peak memory {peak / 1024:.1f} MiB")
    print(f"limit of {CONNECTIONS} connections at {RATE_MIB} MiB/s: {limit:.3f} s; "
          f"vexaro {median['vexaro'] / limit:.3f} of it (target <= 1.10)")
    print(f"segmented ratio vexaro/aria2: {median['vexaro'] / median['aria2c']:.3f}")


if __name__ == "__main__":
    main()
