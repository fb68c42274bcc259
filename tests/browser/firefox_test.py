#!/usr/bin/env python3
"""The add-on's main case in real Firefox ESR (headless), with the real host
and the real vexaro under Xvfb, against a loopback site.

  firefox_test.py BUILD

The add-on package (vexaro.xpi, unsigned) is side-loaded into a temporary
profile, which Debian's ESR allows through user.js; the host's manifest is
written into the temporary home by `vexaro --install-browser-integration`, as
a user of a home-folder install does. Firefox is driven over Marionette, a
TCP socket on the loopback: "<length>:<JSON>" messages.
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import time

# No __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (Failure, Site, Workspace, cmdlines_holding, content_of, files_in, wait_for)  # noqa: E402


class Marionette:
    def __init__(self, port):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=30)
        self.buffer = b''
        self.next_id = 0
        self._receive()  # the server's greeting

    def _receive(self):
        while b':' not in self.buffer:
            self._fill()
        length, rest = self.buffer.split(b':', 1)
        self.buffer = rest
        while len(self.buffer) < int(length):
            self._fill()
        message, self.buffer = self.buffer[:int(length)], self.buffer[int(length):]
        return json.loads(message)

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise Failure('Marionette closed the connection')
        self.buffer += chunk

    def send(self, command, params=None):
        self.next_id += 1
        data = json.dumps([0, self.next_id, command, params or {}]).encode()
        self.sock.sendall(str(len(data)).encode() + b':' + data)
        while True:
            reply = self._receive()
            if reply[0] == 1 and reply[1] == self.next_id:
                if reply[2]:
                    raise Failure(f'{command}: {reply[2]}')
                # Most results come wrapped as {"value": ...}.
                result = reply[3]
                return result['value'] if isinstance(result, dict) and set(result) == {'value'} else result

    def close(self):
        self.sock.close()


def firefox_program():
    for name in ('firefox-esr', 'firefox'):
        found = shutil.which(name)
        if found:
            return found
    raise Failure('firefox-esr is not installed')


def main():
    build = os.path.abspath(sys.argv[1])
    started = time.monotonic()
    ws = Workspace('firefox')
    site = Site()
    failed = True
    try:
        ws.start_display()
        # The user's step for a home-folder install: the host manifest in ~/.mozilla.
        installed = subprocess.run([os.path.join(build, 'startup/vexaro'), '--install-browser-integration'],
                                   env=ws.environment, capture_output=True, text=True, timeout=30)
        if installed.returncode != 0:
            raise Failure(f'--install-browser-integration failed: {installed.stderr}')
        manifest = os.path.join(ws.home, '.mozilla/native-messaging-hosts/org.vexaro.host.json')
        if not os.path.isfile(manifest):
            raise Failure(f'no manifest at {manifest}: {installed.stdout}')

        profile = ws.mkdir('firefox-profile')
        os.makedirs(os.path.join(profile, 'extensions'))
        shutil.copy(os.path.join(build, 'browser/vexaro.xpi'), os.path.join(profile, 'extensions/browser@vexaro.xpi'))
        prefs = {
            'xpinstall.signatures.required': False,
            'extensions.autoDisableScopes': 0,
            'extensions.enabledScopes': 15,
            'marionette.port': 0,
            'browser.download.dir': ws.browser_downloads,
            'browser.download.folderList': 2,
            'browser.download.useDownloadDir': True,
            'browser.download.always_ask_before_handling_new_types': False,
            'browser.download.panel.shown': True,
            'browser.safebrowsing.downloads.enabled': False,
            'browser.shell.checkDefaultBrowser': False,
            'browser.startup.homepage_override.mstone': 'ignore',
            'datareporting.policy.dataSubmissionEnabled': False,
            'toolkit.telemetry.reportingpolicy.firstRun': False,
            'app.update.disabledForTesting': True,
            'network.proxy.type': 0,
        }
        with open(os.path.join(profile, 'user.js'), 'w') as f:
            for name, value in prefs.items():
                f.write(f'user_pref({json.dumps(name)}, {json.dumps(value)});\n')

        ws.start([firefox_program(), '--headless', '--marionette', '--no-remote', '--profile', profile,
                  'about:blank'], stdout=open(os.path.join(ws.root, 'firefox.log'), 'wb'), stderr=subprocess.STDOUT)
        port_file = os.path.join(profile, 'MarionetteActivePort')
        port = int(wait_for(lambda: os.path.isfile(port_file) and open(port_file).read().strip(), 60,
                            'Marionette to listen'))
        marionette = Marionette(port)
        marionette.send('WebDriver:NewSession', {'capabilities': {'alwaysMatch': {'acceptInsecureCerts': True}}})

        # Firefox hears of a download only once it runs (downloads.onCreated);
        # a file that takes a while, as one from the Internet does, is still
        # running then, and the add-on pauses it while it asks the host.
        site.browser_rate = site.file_size / 4
        site.vexaro_rate = site.file_size / 2
        page_url = site.url('/page')
        marionette.send('WebDriver:Navigate', {'url': page_url})
        cookies = marionette.send('WebDriver:GetCookies')
        cookie = next(f'session={c["value"]}' for c in cookies if c['name'] == 'session')
        link = marionette.send('WebDriver:FindElement', {'using': 'css selector', 'value': '#clip-flv'})
        element = next(iter(link.values()))
        marionette.send('WebDriver:ElementClick', {'id': element})

        ws.answer_save_as()
        wait_for(lambda: site.active_vexaro, 20, "Vexaro's download to start")
        while site.active_vexaro:
            holders = cmdlines_holding(cookie.split('=', 1)[1])
            if holders:
                raise Failure(f'the cookie is on the command line of process(es) {holders}')
            time.sleep(0.1)
        got = site.gets(vexaro=True)
        if len(got) != 1 or got[0]['cookie'] != cookie or got[0]['referer'] != page_url:
            raise Failure(f"Vexaro's requests: {got}; the page's cookie is {cookie!r}")
        path = os.path.join(ws.vexaro_downloads, 'clip.flv')
        wait_for(lambda: os.path.isfile(path) and os.path.getsize(path) == site.file_size, 30, 'the file from Vexaro')
        with open(path, 'rb') as f:
            if f.read() != content_of('clip.flv', site.file_size):
                raise Failure('the file Vexaro saved differs from the one served')
        wait_for(lambda: not files_in(ws.browser_downloads), 10, 'the browser download folder to be empty')
        own = site.gets(vexaro=False)
        wait_for(lambda: all(r['finished'] or r.get('aborted') for r in own), 10, "the browser's request to end")
        if len(own) != 1 or own[0]['finished']:
            raise Failure(f"the browser's own download was not stopped: {own}")
        marionette.close()
        failed = False
    except (Failure, OSError) as error:
        print(f'FAILED firefox: {error}')
        print(f'(workspace {ws.root}; set VEXARO_KEEP_FAILED=1 to keep it)')
        return 1
    finally:
        site.close()
        ws.close(keep=failed and os.environ.get('VEXARO_KEEP_FAILED') == '1')
    print(f'passed firefox in {time.monotonic() - started:.1f} s')
    return 0


if __name__ == '__main__':
    sys.exit(main())
