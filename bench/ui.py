#!/usr/bin/env python3
"""UI bench: the manager dialog with four rows at full speed against four curls.

The dialog (offscreen) fetches four 512 MiB bodies at once from a server on
127.0.0.1 while a 5 ms timer measures how late its event loop is; alternating
with it in the same run, four `curl -o` processes started together fetch the
same. Three runs each. Wall time is until all four are done. The dialog's peak
memory is also taken with 50 rows.

The last two lines read `event-loop lag p99: X ms` and
`wall ratio vexaro/curl: R` (targets: X <= 20, R <= 1.10).
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
BODY = 512 * MIB
ROWS = 4
RUNS = 3
MANY_ROWS = 50
MANY_BODY = 8 * MIB


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def check_files(folder, count, length, who):
    for i in range(count):
        path = os.path.join(folder, f"{i}.bin")
        size = os.path.getsize(path) if os.path.exists(path) else -1
        if size != length:
            sys.exit(f"{who}: {path} has {size} bytes, expected {length}")


def clear(folder):
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    # Each run writes 2 GiB; without this the next run pays for the previous
    # one's writeback, whichever program that is.
    os.sync()


def run_vexaro(args, base, length, rows, folder, env):
    done = subprocess.run([args.ui, base, str(length), str(rows), folder], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"vexaro-bench-ui failed with {done.returncode}: {done.stderr.strip()}")
    check_files(folder, rows, length, "vexaro")
    clear(folder)
    values = {}
    for line in done.stdout.splitlines():
        key, _, rest = line.partition(" ")
        values[key] = rest
    lags = [float(x) for x in values["lag"].split()]
    return float(values["wall"]), int(values["peak"]), lags


def run_curl(url, rows, folder, env):
    start = time.monotonic()
    children = [subprocess.Popen(["curl", "-s", "-o", os.path.join(folder, f"{i}.bin"), url], env=env)
                for i in range(rows)]
    codes = [child.wait() for child in children]
    wall = time.monotonic() - start
    if any(codes):
        sys.exit(f"curl failed: {codes}")
    check_files(folder, rows, BODY, "curl")
    clear(folder)
    return wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--ui", required=True)
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="vexaro-bench-ui-")
    folder = os.path.join(scratch, "downloads")
    os.makedirs(folder)
    env = dict(os.environ, no_proxy="*", QT_QPA_PLATFORM="offscreen", LC_ALL="C",
               XDG_DATA_HOME=os.path.join(scratch, "data"), XDG_CACHE_HOME=os.path.join(scratch, "cache"),
               XDG_RUNTIME_DIR=scratch)
    server = subprocess.Popen([args.server], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        base = f"http://127.0.0.1:{int(server.stdout.readline())}"
        walls = {"vexaro": [], "curl": []}
        peaks = []
        lags = []
        for i in range(RUNS):
            wall, peak, run_lags = run_vexaro(args, base, BODY, ROWS, folder, env)
            walls["vexaro"].append(wall)
            peaks.append(peak)
            lags.extend(run_lags)
            print(f"run {i + 1} vexaro: {wall:7.3f} s  peak {peak / 1024:6.1f} MiB  "
                  f"lag p99 {percentile(run_lags, 0.99):5.1f} ms  max {max(run_lags):5.1f} ms", flush=True)
            wall = run_curl(f"{base}/bytes/{BODY}", ROWS, folder, env)
            walls["curl"].append(wall)
            print(f"run {i + 1} curl  : {wall:7.3f} s", flush=True)
        _, many_peak, _ = run_vexaro(args, base, MANY_BODY, MANY_ROWS, folder, env)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        server.stdin.close()
        server.wait()

    median = {kind: statistics.median(w) for kind, w in walls.items()}
    print(f"vexaro 4 x 512 MiB: median wall {median['vexaro']:.3f} s, curl: {median['curl']:.3f} s")
    print(f"event-loop lag over {len(lags)} ticks of 5 ms: median {statistics.median(lags):.2f} ms, "
          f"p99 {percentile(lags, 0.99):.2f} ms, max {max(lags):.2f} ms")
    print(f"peak memory: 4 rows {max(peaks) / 1024:.1f} MiB, {MANY_ROWS} rows {many_peak / 1024:.1f} MiB")
    print(f"event-loop lag p99: {percentile(lags, 0.99):.2f} ms")
    print(f"wall ratio vexaro/curl: {median['vexaro'] / median['curl']:.3f}")


if __name__ == "__main__":
    main()
