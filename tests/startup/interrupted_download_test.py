#!/usr/bin/env python3
"""The real vexaro under Xvfb, killed with SIGKILL in the middle of two
downloads of one window, one saved onto a link of the user's own (it leads to
another folder) and one handed over by a second start: `vexaro` with no
arguments shows both again as paused rows, the first at about the size it had;
Resume (clicked as a user would) fetches only the rest, and the files are
whole, byte for byte, the first where the link leads, the link kept. A damaged
journal beside them is kept aside under another name, recorded and named in a
message over the window, and the program still starts.
Args: the vexaro program, the folder for the screenshots."""
import glob
import hashlib
import http.server
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from xsession import Workplace, XSession  # noqa: E402

VEXARO = sys.argv[1]
PICTURES = sys.argv[2] if len(sys.argv) > 2 else None
MANAGER = "Vexaro Download Manager"
SIZE = 24 * 1024 * 1024
CHUNK = 64 * 1024
# Per connection: slow enough that the download is surely unfinished when it
# is killed, fast enough that the rest takes seconds.
BYTES_PER_SECOND = 1024 * 1024
ETAG = '"v1"'


def content():
    block = hashlib.sha256(b"interrupted").digest() * 2048  # 64 KiB, not repeating within
    data = bytearray()
    counter = 0
    while len(data) < SIZE:
        data += hashlib.sha256(counter.to_bytes(8, "little")).digest() + block[:CHUNK - 32]
        counter += 1
    return bytes(data[:SIZE])


class Server:
    """Serves one file with ranges and a strong validator, each connection at
    a limited speed, and keeps the Range header of every request and the
    bytes it sent."""

    def __init__(self, data):
        self.data = data
        self.lock = threading.Lock()
        self.requests = []
        self.sent = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                wanted = self.headers.get("Range")
                with server.lock:
                    server.requests.append(wanted)
                start, end = 0, len(server.data) - 1
                match = re.fullmatch(r"bytes=(\d+)-(\d*)", wanted or "")
                if match and self.headers.get("If-Range", ETAG) == ETAG:
                    start = int(match.group(1))
                    if match.group(2):
                        end = min(end, int(match.group(2)))
                    self.send_response(206)
                    self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, len(server.data)))
                else:
                    self.send_response(200)
                self.send_header("Content-Length", str(end - start + 1))
                self.send_header("Content-Type", "video/x-flv")
                self.send_header("Accept-Ranges", "bytes")
                self.send_header("ETag", ETAG)
                self.end_headers()
                position = start
                began = time.monotonic()
                try:
                    while position <= end:
                        piece = server.data[position:min(end + 1, position + CHUNK)]
                        self.wfile.write(piece)
                        position += len(piece)
                        with server.lock:
                            server.sent += len(piece)
                        ahead = (position - start) / BYTES_PER_SECOND - (time.monotonic() - began)
                        if ahead > 0:
                            time.sleep(ahead)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.http.daemon_threads = True
        threading.Thread(target=self.http.serve_forever, daemon=True).start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.http.server_address[1], path)

    def snapshot(self):
        with self.lock:
            return list(self.requests), self.sent


def journal_entries(place):
    entries = []
    for path in glob.glob(place.path("data", "Vexaro", "journal", "*.journal")):
        try:
            with open(path, encoding="utf-8") as f:
                entries += json.load(f)["downloads"]
        except (OSError, ValueError, KeyError):
            pass
    return entries


def on_disk(entry):
    state = entry.get("state") or {}
    return sum(end - start for start, end in state.get("onDisk", []))


def errors(place):
    with open(place.path("data", "Vexaro", "settings_tab.ini"), "rb") as f:
        return f.read().decode("utf-16")


def manager_window(x):
    found = x.windows(MANAGER)
    return found[0][0] if found else None


def save_as(x, process, err):
    """Waits for the Save-As dialog of process and accepts what it offers."""
    # A loaded machine (the browser tests beside this one) can be slow to show it.
    try:
        shown = x.wait_for(lambda: [w for w in x.windows("Save file as") if w[2] >= 200] or
                           (process.poll() is not None and "ended"), timeout=90, what="the Save-As dialog")
    except AssertionError:
        shown = "timed out"
    if not isinstance(shown, list):
        with open(err, "rb") as f:
            raise AssertionError("no Save-As dialog (%s): vexaro %s, its errors: %r" % (
                shown, "ended with %s" % process.poll() if process.poll() is not None else "still runs",
                f.read().decode(errors="replace")))
    x.keys(shown[0][0], "Return")


def shoot(x, name):
    if PICTURES:
        os.makedirs(PICTURES, exist_ok=True)
        x.screenshot(os.path.join(PICTURES, name))


def main():
    data = content()
    server = Server(data)
    place = Workplace()
    out = place.path("out")
    os.makedirs(out)
    # The user keeps the clips in another folder and saves through a link.
    library = place.path("library")
    os.makedirs(library)
    target = os.path.join(library, "clip.flv")
    os.symlink(target, os.path.join(out, "clip.flv"))
    other = os.path.join(out, "other.flv")
    try:
        with XSession() as x:
            env = place.env(x.env())
            first = subprocess.Popen(
                [VEXARO, "/url:" + server.url("/clip.flv"), "/file:clip.flv", "/type:video/x-flv", "/path:" + out,
                 "/size:%d" % SIZE, "/format:-1", "/cookie:session=s3cr3t"],
                env=env, stdout=subprocess.DEVNULL, stderr=open(place.path("first.err"), "wb"))
            try:
                save_as(x, first, place.path("first.err"))
                x.wait_for(lambda: manager_window(x), what="the manager window")
                dialog_size = x.windows(MANAGER)[0][1:]
                # A second file joins the open window.
                second_start = subprocess.Popen(
                    [VEXARO, "/url:" + server.url("/other.flv"), "/file:other.flv", "/type:video/x-flv",
                     "/path:" + out, "/size:%d" % SIZE, "/format:-1"],
                    env=env, stdout=subprocess.DEVNULL, stderr=open(place.path("second.err"), "wb"))
                save_as(x, second_start, place.path("second.err"))
                assert second_start.wait(timeout=30) == 0
                x.wait_for(lambda: len(journal_entries(place)) == 2, what="two downloads in the journal")
                # Killed once the journal knows a good part of the file is on disk.
                x.wait_for(lambda: any(on_disk(e) >= 4 * 1024 * 1024 for e in journal_entries(place)), timeout=60,
                           what="a journal with 4 MiB on disk")
                shoot(x, "interrupted-before-kill.png")
                first.send_signal(signal.SIGKILL)
                first.wait(timeout=10)
            finally:
                if first.poll() is None:
                    first.kill()
            journaled = max(on_disk(e) for e in journal_entries(place))
            _, sent_before = server.snapshot()
            assert not os.path.exists(target), "an unfinished file sits under the final name"
            assert os.path.exists(target + ".vxpart"), (os.listdir(library), journal_entries(place))
            assert not os.path.exists(os.path.join(out, "clip.flv.vxpart")), os.listdir(out)
            for journal in glob.glob(place.path("data", "Vexaro", "journal", "*.journal")):
                mode = os.stat(journal).st_mode & 0o777
                assert mode == 0o600, "journal mode %o" % mode
                with open(journal, encoding="utf-8") as f:
                    assert "s3cr3t" in f.read(), "the cookie is kept for the next attempt"
            print("killed with %d of %d bytes journaled on disk, %d sent" % (journaled, SIZE, sent_before))

            # A journal nobody can read, as a crash in the middle of a disk's write could leave.
            damaged = place.path("data", "Vexaro", "journal", "0123456789abcdef.journal")
            with open(damaged, "wb") as f:
                f.write(b'{"format": "vexaro-download-journal", "version": 1, "downloads": [{"id": ')

            requests_before, _ = server.snapshot()
            second = subprocess.Popen([VEXARO], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            try:
                # The window and, over it, the message naming what was kept aside.
                shown = x.wait_for(lambda: len(x.windows(MANAGER)) >= 2 and x.windows(MANAGER),
                                   what="the manager window of vexaro without arguments and its message")
                window = [w for w in shown if w[1:] == dialog_size][0][0]
                message = [w for w in shown if w[1:] != dialog_size][0][0]
                time.sleep(1.5)
                shoot(x, "interrupted-paused.png")
                x.keys(message, "Return")
                x.wait_for(lambda: len(x.windows(MANAGER)) == 1, what="the message closed")
                requests_after, sent_paused = server.snapshot()
                assert requests_after == requests_before, "a paused row fetched: %s" % requests_after[len(requests_before):]
                aside = glob.glob(damaged + ".unreadable-*")
                assert len(aside) == 1 and not os.path.exists(damaged), os.listdir(os.path.dirname(damaged))
                assert "2403=13" in errors(place), ("the damaged journal was not recorded", errors(place))
                assert sorted(e["target"] for e in journal_entries(place)) == sorted([target, other]), \
                    journal_entries(place)
                print("restarted: two paused rows, nothing fetched; the damaged journal kept aside, recorded, named")

                # Resume: the row's left button, in the first row (the window has no frame here).
                x.xdotool("mousemove", "--window", window, "360", "40", "click", "1", check=True)
                x.wait_for(lambda: os.path.exists(target), timeout=120, what="the finished file")
                shoot(x, "interrupted-resumed.png")
                requests, sent_after = server.snapshot()
                resumed = requests[len(requests_before):]
                assert resumed and all(r and not r.startswith("bytes=0-") for r in resumed), resumed
                fetched_again = sent_after - sent_paused
                with open(target, "rb") as f:
                    whole = f.read()
                assert hashlib.sha256(whole).digest() == hashlib.sha256(data).digest(), "the file is not whole"
                assert not os.path.exists(target + ".vxpart")
                assert fetched_again <= SIZE - journaled + 4 * CHUNK * len(resumed), \
                    "fetched %d again with %d on disk" % (fetched_again, journaled)
                assert os.path.islink(os.path.join(out, "clip.flv")), "the user's link was replaced"
                print("resumed with %s: %d bytes fetched, the file whole" % (resumed, fetched_again))

                # The second row, below the first.
                x.xdotool("mousemove", "--window", window, "360", "110", "click", "1", check=True)
                x.wait_for(lambda: os.path.exists(other), timeout=120, what="the second file")
                with open(other, "rb") as f:
                    assert hashlib.sha256(f.read()).digest() == hashlib.sha256(data).digest(), "the second file"

                x.wait_for(lambda: not journal_entries(place), what="the journal emptied")
            finally:
                second.kill()
                second.wait(timeout=10)
        print("interrupted download: ok")
    finally:
        server.http.shutdown()
        place.remove()


if __name__ == "__main__":
    main()
