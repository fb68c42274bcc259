"""A private X display (Xvfb) for tests that drive the real program's windows
with xdotool, as a user would with a keyboard. Standard library only."""
import os
import shutil
import subprocess
import tempfile
import time


class XSession:
    """Starts Xvfb on a free display; `env` is the environment to start
    programs with. Use as a context manager."""

    def __init__(self, size="1024x768x24"):
        self.size = size
        self.process = None
        self.display = None

    def __enter__(self):
        read_end, write_end = os.pipe()
        # -noreset: without it the server resets whenever its last client
        # leaves, and a program connecting at that moment (the one under test,
        # while xdotool polls for its windows) is refused: "could not connect
        # to display".
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.size, "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            number = display.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        return self

    def __exit__(self, *exc):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=10)

    def env(self, base=None):
        env = dict(base if base is not None else os.environ)
        env["DISPLAY"] = self.display
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)
        return env

    def xdotool(self, *args, check=False):
        result = subprocess.run(["xdotool", *args], env=self.env(), capture_output=True, text=True)
        if check and result.returncode != 0:
            raise RuntimeError("xdotool %s: %s" % (" ".join(args), result.stderr))
        return result.stdout

    def windows(self, title):
        """Visible windows whose whole title is `title`: [(id, width, height)]."""
        found = []
        for window in self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title).split():
            geometry = self.xdotool("getwindowgeometry", window)
            for line in geometry.splitlines():
                if "Geometry:" in line:
                    width, height = line.split()[-1].split("x")
                    found.append((window, int(width), int(height)))
        return found

    def wait_for(self, predicate, timeout=30, what="a window"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError("timed out waiting for %s" % what)

    def keys(self, window, *keys):
        """Gives window the keyboard (there is no window manager to do it),
        then types the keys."""
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", "--clearmodifiers", *keys, check=True)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Workplace:
    """A temporary folder with the program's own data, cache and runtime
    folders, so neither the user's stores nor a running Vexaro take part."""

    def __init__(self, prefix="vexaro-e2e-"):
        self.root = tempfile.mkdtemp(prefix=prefix)
        for name in ("data", "cache", "runtime"):
            os.makedirs(os.path.join(self.root, name), mode=0o700)

    def path(self, *names):
        return os.path.join(self.root, *names)

    def env(self, base):
        env = dict(base)
        env.update(XDG_DATA_HOME=self.path("data"), XDG_CACHE_HOME=self.path("cache"),
                   XDG_RUNTIME_DIR=self.path("runtime"), LC_ALL="C.UTF-8", LANG="C.UTF-8", no_proxy="*")
        env["VEXARO_LOCK_SCOPE"] = os.path.basename(self.root)
        return env

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)
