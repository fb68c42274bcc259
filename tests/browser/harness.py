"""What the real-browser tests share: a loopback web site, a private X
display with Vexaro's dialogs answered by xdotool, and a folder of state of
the test's own (stores, runtime folder, locks, home).

Python's standard library only. Every wait is bounded; everything started is
ended by its process id when the test ends.
"""

import http.server
import json
import os
import secrets
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.parse

SAVE_AS_TITLE = '^Save file as$'
MANAGER_TITLE = '^Vexaro Download Manager$'


class Failure(Exception):
    pass


def wait_for(predicate, timeout, what, interval=0.02):
    """Polls predicate until it returns something true; returns that."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f'timed out after {timeout} s waiting for {what}')
        time.sleep(interval)


def content_of(name, size):
    """The bytes the site serves for a file name: deterministic, not repetitive."""
    seed = name.encode()
    block = bytearray()
    counter = 0
    while len(block) < size:
        block += bytes((b + counter * 31 + i * 7) & 0xFF for i, b in enumerate(seed * 32))
        counter += 1
    return bytes(block[:size])


class Site:
    """A loopback site. /page sets an HttpOnly session cookie (a new one for a
    visitor without one) and links to files under /files/, which are served
    with Content-Disposition: attachment. Every request for a file is
    recorded with its user agent, cookie and referrer; Vexaro's (user agent
    "Vexaro") can be slowed down so that a download is seen running."""

    TYPES = {'.flv': 'video/x-flv', '.mp3': 'audio/mpeg', '.zip': 'application/zip'}

    def __init__(self, file_size=256 * 1024):
        self.file_size = file_size
        self.vexaro_rate = None  # bytes per second for Vexaro's requests, None: full speed
        self.browser_rate = None  # the same for the browser's own
        self.requests = []
        self.active_vexaro = 0
        self.lock = threading.Lock()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = 'HTTP/1.1'

            def log_message(self, *args):
                pass

            def do_HEAD(self):
                self.respond(body=False)

            def do_GET(self):
                self.respond(body=True)

            def do_POST(self):
                self.rfile.read(int(self.headers.get('Content-Length') or 0))
                self.respond(body=True)

            def respond(self, body):
                path = urllib.parse.urlsplit(self.path).path
                if path == '/page':
                    return site.page(self)
                if path.startswith('/files/'):
                    return site.file(self, path[len('/files/'):], body)
                self.send_error(404)

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.origin = f'http://127.0.0.1:{self.port}'
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def url(self, path):
        return self.origin + path

    def page(self, handler):
        cookie = handler.headers.get('Cookie') or ''
        links = ''.join(f'<p><a id="{n.replace(".", "-")}" href="/files/{n}">{n}</a></p>'
                        for n in ('clip.flv', 'second.flv', 'archive.zip'))
        html = f'''<!DOCTYPE html><html><head><title>Vexaro test page</title></head><body>
{links}
<p><a id="blob" download="made.flv">made in the page</a></p>
<form id="post-form" method="post" action="/files/posted.flv"><input type="hidden" name="q" value="1">
<button type="submit">posted</button></form>
<script>
const data = new Uint8Array({self.file_size}).map((_, i) => i & 255);
document.getElementById('blob').href = URL.createObjectURL(new Blob([data], {{type: 'video/x-flv'}}));
</script></body></html>'''.encode()
        handler.send_response(200)
        if 'session=' not in cookie:
            handler.send_header('Set-Cookie', f'session={secrets.token_hex(12)}; Path=/; HttpOnly; SameSite=Lax')
        handler.send_header('Content-Type', 'text/html; charset=utf-8')
        handler.send_header('Content-Length', str(len(html)))
        handler.end_headers()
        handler.wfile.write(html)

    def file(self, handler, name, body):
        ext = os.path.splitext(name)[1]
        data = content_of(name, self.file_size)
        agent = handler.headers.get('User-Agent') or ''
        vexaro = agent == 'Vexaro'
        record = {'name': name, 'method': handler.command, 'agent': agent, 'vexaro': vexaro,
                  'cookie': handler.headers.get('Cookie') or '', 'referer': handler.headers.get('Referer') or '',
                  'started': time.monotonic(), 'finished': None}
        with self.lock:
            self.requests.append(record)
            if vexaro and body:
                self.active_vexaro += 1
        try:
            handler.send_response(200)
            handler.send_header('Content-Type', self.TYPES.get(ext, 'application/octet-stream'))
            handler.send_header('Content-Length', str(len(data)))
            handler.send_header('Content-Disposition', f'attachment; filename="{name}"')
            handler.end_headers()
            if not body:
                return
            rate = self.vexaro_rate if vexaro else self.browser_rate
            piece = 16384
            for at in range(0, len(data), piece):
                handler.wfile.write(data[at:at + piece])
                if rate:
                    time.sleep(piece / rate)
            handler.wfile.flush()
            record['finished'] = time.monotonic()
        except (BrokenPipeError, ConnectionResetError):
            record['aborted'] = True
        finally:
            if vexaro and body:
                with self.lock:
                    self.active_vexaro -= 1

    def gets(self, vexaro):
        with self.lock:
            return [r for r in self.requests if r['method'] == 'GET' and r['vexaro'] == vexaro]


class Workspace:
    """Folders, an X display and the environment for one test. The browser
    started with env() passes it on to the host and so to Vexaro."""

    def __init__(self, name):
        self.root = tempfile.mkdtemp(prefix=f'vexaro-{name}-')
        self.home = self.mkdir('home')
        self.vexaro_downloads = self.mkdir('home/Downloads')  # Vexaro's Save-As opens here
        self.browser_downloads = self.mkdir('browser-downloads')
        runtime = self.mkdir('runtime')
        os.chmod(runtime, 0o700)
        self.processes = []
        self.scope = f'browser-test-{secrets.token_hex(6)}'
        self.environment = dict(os.environ)
        for variable in ('WAYLAND_DISPLAY', 'QT_QPA_PLATFORM', 'LANGUAGE', 'LC_MESSAGES', 'DBUS_SESSION_BUS_ADDRESS'):
            self.environment.pop(variable, None)
        self.environment.update({
            'HOME': self.home,
            'XDG_CONFIG_HOME': self.mkdir('home/.config'),
            'XDG_DATA_HOME': self.mkdir('data'),
            'XDG_CACHE_HOME': self.mkdir('cache'),
            'XDG_RUNTIME_DIR': runtime,
            'VEXARO_LOCK_SCOPE': self.scope,
            'LC_ALL': 'C.UTF-8',  # English titles, which xdotool looks for
            'LANG': 'C.UTF-8',
            'no_proxy': '*',
        })
        self.display = None

    def mkdir(self, relative):
        path = os.path.join(self.root, relative)
        os.makedirs(path, exist_ok=True)
        return path

    def start(self, args, **kwargs):
        kwargs.setdefault('env', self.environment)
        kwargs.setdefault('stdin', subprocess.DEVNULL)
        process = subprocess.Popen(args, **kwargs)
        self.processes.append(process)
        return process

    def start_display(self):
        read_end, write_end = os.pipe()
        # -noreset: a server that resets when its last client (a polling
        # xdotool) leaves refuses whoever connects at that moment.
        self.start(['Xvfb', '-displayfd', str(write_end), '-screen', '0', '1280x900x24', '-nolisten', 'tcp',
                    '-noreset'],
                   pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise Failure('Xvfb did not start')
        self.display = f':{number}'
        self.environment['DISPLAY'] = self.display

    def xdotool(self, *args, timeout=10):
        result = subprocess.run(['xdotool', *args], env=self.environment, capture_output=True, text=True,
                                timeout=timeout)
        return result.stdout.split()

    def windows(self, title):
        return self.xdotool('search', '--onlyvisible', '--name', title)

    def answer_save_as(self, timeout=30):
        """Waits for a Save-As dialog of Vexaro's and presses Save (its name
        and folder are preset); returns when it has gone."""
        window = wait_for(lambda: self.windows(SAVE_AS_TITLE), timeout, "Vexaro's Save-As dialog")[0]
        # Without a window manager nothing hands the focus over; ask for it,
        # and press again should a key have come before the dialog took input.
        deadline = time.monotonic() + timeout
        while window in self.windows(SAVE_AS_TITLE):
            if time.monotonic() > deadline:
                raise Failure('the Save-As dialog did not take the Return key')
            subprocess.run(['xdotool', 'windowfocus', '--sync', window], env=self.environment,
                           capture_output=True, timeout=10)
            subprocess.run(['xdotool', 'key', '--clearmodifiers', 'Return'], env=self.environment,
                           capture_output=True, timeout=10)
            wait_until_gone = time.monotonic() + 1.5
            while time.monotonic() < wait_until_gone and window in self.windows(SAVE_AS_TITLE):
                time.sleep(0.05)

    def screenshot(self, window, path):
        shot = subprocess.run(['xwd', '-silent', '-id', window], env=self.environment, capture_output=True,
                              timeout=20)
        if shot.returncode == 0:
            subprocess.run(['convert', 'xwd:-', path], input=shot.stdout, capture_output=True, timeout=30)

    def our_processes(self):
        """Processes started for this test, directly or by the browser: those
        whose environment carries this test's lock scope."""
        found = []
        marker = f'VEXARO_LOCK_SCOPE={self.scope}'.encode()
        for entry in os.listdir('/proc'):
            if not entry.isdigit():
                continue
            try:
                with open(f'/proc/{entry}/environ', 'rb') as f:
                    if marker in f.read().split(b'\0'):
                        found.append(int(entry))
            except OSError:
                pass
        return found

    def vexaro_processes(self):
        pids = []
        for pid in self.our_processes():
            try:
                if os.path.basename(os.readlink(f'/proc/{pid}/exe')) == 'vexaro':
                    pids.append(pid)
            except OSError:
                pass
        return pids

    def close(self, keep=False):
        # Vexaro and the host run in sessions of their own: end them by pid.
        for pid in self.our_processes():
            if pid != os.getpid():
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if not keep:
            shutil.rmtree(self.root, ignore_errors=True)


def files_in(folder):
    return sorted(os.listdir(folder))


def cmdlines_holding(text):
    """Every process whose command line holds text (any user's: the file is
    world-readable, which is why nothing secret may be there)."""
    needle = text.encode()
    holders = []
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open(f'/proc/{entry}/cmdline', 'rb') as f:
                    if needle in f.read():
                        holders.append(int(entry))
            except OSError:
                pass
    return holders


def install_host_manifest(template, folder, host_path):
    """The shipped manifest (browser/host/manifests/) pointing at host_path."""
    os.makedirs(folder, exist_ok=True)
    with open(template) as f:
        text = f.read().replace('@VEXARO_HOST_PATH@', host_path)
    with open(os.path.join(folder, 'org.vexaro.host.json'), 'w') as f:
        f.write(text)
