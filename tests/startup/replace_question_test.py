#!/usr/bin/env python3
"""The real vexaro under Xvfb, its Save-As answered from the keyboard with
xdotool: converting to MP3 asks before replacing the MP3 that will be written,
never about the download's own name; "No" returns to the dialog and the file
stays; only "Yes" lets the converted file replace it.
Args: the vexaro program."""
import http.server
import os
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from xsession import Workplace, XSession  # noqa: E402

TITLE = "Save file as"
VEXARO = sys.argv[1]


def serve(folder):
    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=folder, **kwargs)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def save_as(x):
    """The Save-As dialog, once it is up (not the question)."""
    found = [w for w in x.windows(TITLE) if w[2] >= 200]
    return found[0][0] if found else None


def question(x):
    found = [w for w in x.windows(TITLE) if w[2] < 200]
    return found[0][0] if found else None


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run_case(x, place, url, name, existing, answers):
    """Starts vexaro converting to MP3 into a fresh folder holding `existing`
    files, presses Save, answers each question in turn (True: Yes), and
    returns the folder and whether a question came that was not planned."""
    out = place.path(name)
    os.makedirs(out)
    for file_name, content in existing.items():
        with open(os.path.join(out, file_name), "wb") as f:
            f.write(content)
    env = place.env(x.env())
    program = subprocess.Popen(
        [VEXARO, "/url:" + url, "/file:sample.flv", "/type:video/x-flv", "/path:" + out, "/format:4",
         "/autoclose:true"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for answer in answers + ["done"]:
            dialog = x.wait_for(lambda: save_as(x), what="the Save-As dialog")
            if answer == "cancel":
                x.keys(dialog, "Escape")
                break
            x.keys(dialog, "Return")
            if answer == "done":
                # No question may follow: the manager window comes instead.
                x.wait_for(lambda: question(x) or x.windows("Vexaro Download Manager") or program.poll() is not None,
                           what="the manager window")
                if question(x):
                    raise AssertionError("%s: a question nobody expected" % name)
                break
            box = x.wait_for(lambda: question(x), what="the replace question")
            x.screenshot(place.path(name + "-question.png"))
            x.keys(box, *(["shift+Tab", "space"] if answer else ["Return"]))
            if not answer:
                # Nothing is written while the user is back in the dialog.
                x.wait_for(lambda: save_as(x), what="the Save-As dialog again")
                for file_name, content in existing.items():
                    assert read(os.path.join(out, file_name)) == content, "%s changed after No" % file_name
            else:
                break
        code = program.wait(timeout=60)
        assert code == 0, "vexaro exited %d: %s" % (code, program.stderr.read().decode())
    finally:
        if program.poll() is None:
            program.kill()
    return out


def main():
    place = Workplace()
    try:
        www = place.path("www")
        os.makedirs(www)
        subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                        "-f", "lavfi", "-i", "color=size=64x64:duration=2", "-c:v", "flv", "-c:a", "libmp3lame",
                        os.path.join(www, "sample.flv")], check=True)
        server = serve(www)
        url = "http://127.0.0.1:%d/sample.flv" % server.server_address[1]
        with XSession() as x:
            # Only the download's own name exists: nothing to ask, nothing of it touched.
            out = run_case(x, place, url, "own-name-only", {"sample.flv": b"the user's video"}, [])
            assert read(os.path.join(out, "sample.flv")) == b"the user's video"
            assert read(os.path.join(out, "sample.mp3"))[:3] == b"ID3", "no MP3 was made"
            print("own name only: no question, sample.flv kept, sample.mp3 made")

            # The MP3 exists: asked about it; No, then giving up, leaves it.
            out = run_case(x, place, url, "no-then-cancel", {"sample.mp3": b"the user's song"}, [False, "cancel"])
            assert read(os.path.join(out, "sample.mp3")) == b"the user's song"
            assert sorted(os.listdir(out)) == ["sample.mp3"], os.listdir(out)
            print("No, then Cancel: sample.mp3 kept, nothing else written")

            # No, then Yes: the converted file replaces it.
            out = run_case(x, place, url, "no-then-yes", {"sample.mp3": b"the user's song"}, [False, True])
            assert read(os.path.join(out, "sample.mp3"))[:3] == b"ID3", "the agreed replace did not happen"
            assert sorted(os.listdir(out)) == ["sample.mp3"], os.listdir(out)
            print("No, then Yes: sample.mp3 replaced by the conversion")
        server.shutdown()
        print("replace question: ok")
    finally:
        place.remove()


if __name__ == "__main__":
    main()
