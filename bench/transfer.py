#!/usr/bin/env python3
"""Transfer bench: Vexaro's DownloadToFile against `curl -o`.

Both fetch the same generated 1 GiB body from a server on 127.0.0.1 over one
connection, five runs each, alternating; every download runs as a child process
so its wall time and peak memory (maximum resident set, from GNU time) are its
own. Vexaro's peak memory is also taken for a 64 MiB body (it must not grow with
the file) and for the 1 GiB body split over 16 connections (limit 32 MiB).
Files go to a fresh temporary folder and are deleted after each run.

The last line reads `wall ratio vexaro/curl: R` (targets: R <= 0.80, peak
memory of one connection <= 16 MiB).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024
BIG = 1024 * MIB
SMALL = 64 * MIB
RUNS = 5
MANY = 16
TIME = "/usr/bin/time"  # GNU time (Debian package "time")


def timed_child(argv, env, scratch):
    """Runs argv as a child; returns (wall seconds, peak memory in KiB).

    The peak comes from GNU time: wait4's ru_maxrss of a child spawned from
    here would start at this interpreter's own size, since the child runs in
    the parent's memory until its exec.
    """
    report = os.path.join(scratch, "rss")
    start = time.monotonic()
    done = subprocess.run([TIME, "-f", "%M", "-o", report] + argv, env=env, stdout=subprocess.DEVNULL)
    wall = time.monotonic() - start
    if done.returncode != 0:
        sys.exit(f"{argv[0]} failed with {done.returncode}")
    with open(report) as lines:
        return wall, int(lines.read().split()[-1])


def fetch(kind, args, url, path, env, length, connections=1):
    if kind == "vexaro":
        argv = [args.fetch, url, path, "--connections", str(connections)]
    else:
        argv = ["curl", "-s", "-o", path, url]
    result = timed_child(argv, env, os.path.dirname(path))
    size = os.path.getsize(path)
    os.remove(path)
    if size != length:
        sys.exit(f"{kind}: got {size} bytes, expected {length}")
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--fetch", required=True)
    args = parser.parse_args()

    if not os.access(TIME, os.X_OK):
        sys.exit(f"{TIME} (GNU time) is needed for the peak memory")
    env = dict(os.environ, no_proxy="*")
    server = subprocess.Popen([args.server], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    folder = tempfile.mkdtemp(prefix="vexaro-bench-")
    try:
        port = int(server.stdout.readline())
        big_url = f"http://127.0.0.1:{port}/bytes/{BIG}"
        small_url = f"http://127.0.0.1:{port}/bytes/{SMALL}"
        path = os.path.join(folder, "download.bin")

        runs = {"vexaro": [], "curl": []}
        for i in range(RUNS):
            for kind in ("vexaro", "curl"):
                wall, peak = fetch(kind, args, big_url, path, env, BIG)
                runs[kind].append((wall, peak))
                print(f"run {i + 1} {kind:6}: {wall:7.3f} s  peak {peak / 1024:6.1f} MiB", flush=True)
        small_peaks = [fetch("vexaro", args, small_url, path, env, SMALL)[1] for _ in range(3)]
        # An ETag lets the worker split the body over its connections.
        tagged_url = f"http://127.0.0.1:{port}/tagged/{BIG}"
        split_runs = [fetch("vexaro", args, tagged_url, path, env, BIG, MANY) for _ in range(3)]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        server.stdin.close()
        server.wait()

    median = {kind: statistics.median(w for w, _ in r) for kind, r in runs.items()}
    peak = {kind: max(p for _, p in r) for kind, r in runs.items()}
    small_peak = max(small_peaks)
    for kind in ("vexaro", "curl"):
        rate = BIG / MIB / median[kind]
        print(f"{kind:6} 1 GiB: median wall {median[kind]:.3f} s ({rate:.0f} MiB/s), "
              f"peak memory {peak[kind] / 1024:.1f} MiB")
    print(f"vexaro peak memory: 64 MiB body {small_peak / 1024:.1f} MiB, 1 GiB body {peak['vexaro'] / 1024:.1f} MiB, "
          f"difference {(peak['vexaro'] - small_peak) / 1024:.1f} MiB (limit 2 MiB)")
    split_wall = statistics.median(w for w, _ in split_runs)
    split_peak = max(p for _, p in split_runs)
    print(f"vexaro {MANY} connections, 1 GiB: median wall {split_wall:.3f} s, "
          f"peak memory {split_peak / 1024:.1f} MiB (limit 32 MiB)")
    print(f"wall ratio vexaro/curl: {median['vexaro'] / median['curl']:.3f}")


if __name__ == "__main__":
    main()
