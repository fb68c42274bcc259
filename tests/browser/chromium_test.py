#!/usr/bin/env python3
"""The add-on in real Chromium (--headless=new), with the real host and the
real vexaro under Xvfb, against a loopback site.

  chromium_test.py BUILD CASE      runs one case (see CASES); exit 0 = passed
  chromium_test.py BUILD measure   click -> Save-As visible, median of 5
                                   (bench_browser_click runs this)

Chromium is driven over --remote-debugging-pipe; the add-on is loaded with
Extensions.loadUnpacked into a temporary profile whose NativeMessagingHosts/
holds the host's manifest (none in the case without a host). Vexaro's Save-As
dialog opens in the temporary home's Downloads folder and is answered with
xdotool; the browser's own download folder is another one.
"""

import base64
import json
import os
import shutil
import statistics
import sys
import time

# No __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import Browser, ProtocolError  # noqa: E402
from harness import (MANAGER_TITLE, SAVE_AS_TITLE, Failure, Site, Workspace, cmdlines_holding,  # noqa: E402
                     content_of, files_in, install_host_manifest, wait_for)

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def chromium_program():
    for candidate in ('/usr/lib/chromium/chromium', shutil.which('chromium') or ''):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise Failure('chromium is not installed')


class Chromium:
    def __init__(self, workspace, build, with_host=True, name='chromium'):
        self.ws = workspace
        profile = workspace.mkdir(f'{name}-profile')
        os.makedirs(os.path.join(profile, 'Default'), exist_ok=True)
        with open(os.path.join(profile, 'Default', 'Preferences'), 'w') as f:
            f.write('{"download": {"default_directory": "%s", "prompt_for_download": false, '
                    '"directory_upgrade": true}, "safebrowsing": {"enabled": false}}' % workspace.browser_downloads)
        if with_host:
            host = with_host if isinstance(with_host, str) else os.path.join(build, 'startup/vexaro-browser-host')
            install_host_manifest(os.path.join(SOURCE, 'browser/host/manifests/chromium.json'),
                                  os.path.join(profile, 'NativeMessagingHosts'), host)
        args = [chromium_program(), '--headless=new', '--remote-debugging-pipe', '--enable-unsafe-extension-debugging',
                f'--user-data-dir={profile}', '--no-first-run', '--no-default-browser-check', '--disable-gpu',
                '--disable-background-networking', '--disable-component-update', '--disable-sync',
                '--password-store=basic', '--window-size=1000,800', 'about:blank']
        if os.geteuid() == 0:
            args.append('--no-sandbox')  # Chromium refuses to run its sandbox as root
        self.options = None
        self.browser = Browser(args, workspace.environment, os.path.join(workspace.root, f'{name}.log'))
        self.extension_id = self.browser.send(
            'Extensions.loadUnpacked',
            {'path': os.path.join(build, 'browser/chromium'), 'enableInIncognito': True})['id']
        expected = open(os.path.join(SOURCE, 'browser/host/manifests/chromium.json')).read()
        if f'chrome-extension://{self.extension_id}/' not in expected:
            raise Failure(f'the add-on loaded as {self.extension_id}, which the host manifest does not allow')

    def watch_worker(self):
        """The add-on's console messages, for the report of a failed case."""
        worker = wait_for(self.worker_targets, 10, "the add-on's service worker")[0]
        self.browser.send('Runtime.enable', session=self.attach(worker['targetId']))

    def console(self):
        lines = []
        for event in self.browser.drain_events():
            if event.get('method') == 'Runtime.consoleAPICalled':
                params = event['params']
                lines.append(params['type'] + ': ' + ' '.join(str(a.get('value', a.get('description', '')))
                                                             for a in params['args']))
        return lines

    def set_options(self, **values):
        """Stores options as the options page does."""
        if not self.options:
            self.options = self.extension_page()
        self.browser.evaluate(self.options, f'chrome.storage.sync.set({json.dumps(values)}).then(() => true)')

    def attach(self, target_id):
        return self.browser.send('Target.attachToTarget', {'targetId': target_id, 'flatten': True})['sessionId']

    def open(self, url):
        target = self.browser.send('Target.createTarget', {'url': url})['targetId']
        session = self.attach(target)
        self.wait_loaded(session)
        return session

    def wait_loaded(self, session):
        # A new target shows about:blank, complete, before its page commits.
        wait_for(lambda: self.browser.evaluate(
            session, "document.readyState === 'complete' && location.href !== 'about:blank'"), 20, 'the page to load')

    def targets(self, kind):
        return [t for t in self.browser.send('Target.getTargets')['targetInfos'] if t['type'] == kind]

    def worker_targets(self):
        prefix = f'chrome-extension://{self.extension_id}/'
        return [t for t in self.targets('service_worker') if t['url'].startswith(prefix)]

    def extension_page(self):
        """The options page: an extension page that can use the add-on's own
        modules and APIs."""
        return self.open(f'chrome-extension://{self.extension_id}/options.html')

    def click(self, session, selector):
        """A real mouse click on the element (a user gesture, as a person's)."""
        box = self.browser.evaluate(session, f'''(() => {{
            const r = document.querySelector({selector!r}).getBoundingClientRect();
            return [r.x + r.width / 2, r.y + r.height / 2]; }})()''')
        for kind in ('mousePressed', 'mouseReleased'):
            self.browser.send('Input.dispatchMouseEvent', {'type': kind, 'x': box[0], 'y': box[1], 'button': 'left',
                                                           'clickCount': 1}, session=session)

    def session_cookie(self):
        cookies = self.browser.send('Storage.getCookies')['cookies']
        return next(f'session={c["value"]}' for c in cookies if c['name'] == 'session')

    def close(self):
        self.browser.close()


class Case:
    def __init__(self, build, name, with_host=True):
        self.build = build
        self.ws = Workspace(name)
        self.site = Site()
        self.page_url = self.site.url('/page')
        self.failed = True
        self.chromium = None
        self.with_host = with_host

    def start(self):
        self.ws.start_display()
        if self.with_host == 'silent':
            # A host that takes the message and never answers (hung, or
            # stopped): only a time-out can tell.
            self.with_host = os.path.join(self.ws.root, 'silent-host')
            with open(self.with_host, 'w') as f:
                f.write('#!/bin/sh\nexec sleep 60\n')
            os.chmod(self.with_host, 0o755)
        self.chromium = Chromium(self.ws, self.build, self.with_host)
        self.chromium.watch_worker()
        self.chromium.set_options(autoclose=True)

    def close(self):
        try:
            if self.chromium:
                self.chromium.close()
        finally:
            self.site.close()
            self.ws.close(keep=self.failed and os.environ.get('VEXARO_KEEP_FAILED') == '1')

    def page(self):
        return self.chromium.open(self.page_url)

    def vexaro_file(self, name):
        path = os.path.join(self.ws.vexaro_downloads, name)
        return wait_for(lambda: os.path.isfile(path) and os.path.getsize(path) == self.site.file_size and path, 30,
                        f'{name} from Vexaro')

    def browser_file(self, name):
        path = os.path.join(self.ws.browser_downloads, name)
        wait_for(lambda: files_in(self.ws.browser_downloads) == [name] and os.path.getsize(path) ==
                 self.site.file_size, 30, f'the browser to download {name} itself')
        return path

    def expect_vexaro_request(self, name, cookie, referer):
        got = wait_for(lambda: [r for r in self.site.gets(vexaro=True) if r['name'] == name], 20,
                       f"Vexaro's request for {name}")
        if len(got) != 1:
            raise Failure(f'{len(got)} Vexaro requests for {name}, not one')
        if got[0]['cookie'] != cookie:
            raise Failure(f'Vexaro sent the cookie {got[0]["cookie"]!r}, the page has {cookie!r}')
        if got[0]['referer'] != referer:
            raise Failure(f'Vexaro sent the referrer {got[0]["referer"]!r}, not {referer!r}')

    def expect_vexaro_done(self):
        wait_for(lambda: not self.ws.vexaro_processes(), 30, 'Vexaro to finish and close')

    def expect_handed_over(self, name, cookie):
        """The Save-As question answered, Vexaro fetches the file with the
        page's cookie and address and ends; the browser keeps nothing."""
        self.ws.answer_save_as()
        self.expect_vexaro_request(name, cookie, self.page_url)
        self.vexaro_file(name)
        self.expect_vexaro_done()
        self.expect_browser_kept_nothing()

    def expect_no_vexaro(self):
        if self.site.gets(vexaro=True):
            raise Failure('Vexaro fetched something')
        if self.ws.windows(SAVE_AS_TITLE) or self.ws.vexaro_processes():
            raise Failure('Vexaro was started')

    def expect_browser_kept_nothing(self):
        # The browser's partial file goes when its download is cancelled.
        wait_for(lambda: not files_in(self.ws.browser_downloads), 10, 'the browser download folder to be empty')


def take_over(case):
    """The main case: the click goes to Vexaro with the page's HttpOnly cookie
    and the page as referrer; the cookie is on no command line meanwhile; the
    browser keeps nothing, not even in its list of downloads."""
    case.site.vexaro_rate = case.site.file_size / 2  # a download that runs for two seconds
    session = case.page()
    cookie = case.chromium.session_cookie()
    case.chromium.click(session, '#clip-flv')
    case.ws.answer_save_as()
    wait_for(lambda: case.site.active_vexaro, 20, "Vexaro's download to start")
    checks = 0
    while case.site.active_vexaro:
        holders = cmdlines_holding(cookie.split('=', 1)[1])
        if holders:
            raise Failure(f'the cookie is on the command line of process(es) {holders}')
        checks += 1
        time.sleep(0.1)
    if checks < 3:
        raise Failure(f'the download ran too briefly to be checked ({checks} looks)')
    case.expect_vexaro_request('clip.flv', cookie, case.page_url)
    with open(case.vexaro_file('clip.flv'), 'rb') as f:
        if f.read() != content_of('clip.flv', case.site.file_size):
            raise Failure('the file Vexaro saved differs from the one served')
    case.expect_vexaro_done()
    case.expect_browser_kept_nothing()
    options = case.chromium.extension_page()
    listed = case.chromium.browser.evaluate(options, 'chrome.downloads.search({}).then(l => l.length)')
    if listed != 0:
        raise Failure(f"the browser's download list still holds {listed} entries")


def no_host(case):
    """No host manifest: the browser downloads the file itself."""
    session = case.page()
    case.chromium.click(session, '#clip-flv')
    case.browser_file('clip.flv')
    case.expect_no_vexaro()


def silent_host(case):
    """A host that never answers: after the add-on's 5 s the browser goes on
    with its own download."""
    session = case.page()
    clicked = time.monotonic()
    case.chromium.click(session, '#clip-flv')
    case.browser_file('clip.flv')
    waited = time.monotonic() - clicked
    if waited < 4.5:
        raise Failure(f'the browser went on after {waited:.1f} s, before the host had its 5 s')
    case.expect_no_vexaro()


def blob_link(case):
    """A blob: link made by the page stays with the browser."""
    session = case.page()
    case.chromium.click(session, '#blob')
    case.browser_file('made.flv')
    case.expect_no_vexaro()


def left_to_browser(case):
    """Downloads the add-on leaves to the browser, each checked in turn: the
    browser downloads the file and Vexaro is never started."""
    session = case.page()
    steps = [
        ('a type Vexaro offers nothing for (the host refuses it)', {}, '#archive-zip', 'archive.zip'),
        ('a download that came from a POST form', {}, '#post-form button', 'posted.flv'),
        ('a file below the minimum size', {'minSizeKb': 1024}, '#clip-flv', 'clip.flv'),
        ('an excluded extension', {'minSizeKb': 0, 'excluded': 'zip, .FLV'}, '#clip-flv', 'clip.flv'),
        ('taking over switched off', {'excluded': '', 'takeOver': False}, '#clip-flv', 'clip.flv'),
    ]
    for what, options, selector, name in steps:
        if options:
            case.chromium.set_options(**options)
        case.chromium.click(session, selector)
        try:
            os.remove(case.browser_file(name))
        except Failure as error:
            raise Failure(f'{what}: {error}') from None
        case.expect_no_vexaro()
        if selector.startswith('#post'):
            session = case.page()  # the form replaced nothing, but start afresh


def two_clicks(case):
    """Two downloads while the first runs: two Save-As questions, then two
    rows in the one manager window (the second start hands over and ends)."""
    case.site.vexaro_rate = case.site.file_size / 4
    session = case.page()
    cookie = case.chromium.session_cookie()
    case.chromium.click(session, '#clip-flv')
    case.ws.answer_save_as()
    wait_for(lambda: case.ws.windows(MANAGER_TITLE), 20, 'the manager window')
    case.chromium.click(session, '#second-flv')
    case.ws.answer_save_as()
    wait_for(lambda: case.site.active_vexaro == 2, 20, 'both downloads to run at once')
    managers = case.ws.windows(MANAGER_TITLE)
    if len(managers) != 1:
        raise Failure(f'{len(managers)} manager windows, not one')
    wait_for(lambda: len(case.ws.vexaro_processes()) == 1, 10, 'the second start to hand over and end')
    case.ws.screenshot(managers[0], os.path.join(case.build, 'pictures', 'browser-two-rows.png'))
    case.expect_vexaro_request('clip.flv', cookie, case.page_url)
    case.expect_vexaro_request('second.flv', cookie, case.page_url)
    case.vexaro_file('clip.flv')
    case.vexaro_file('second.flv')
    case.expect_vexaro_done()
    case.expect_browser_kept_nothing()


def private_window(case):
    """A download from an incognito window carries that window's cookie, not
    the one of the normal window."""
    normal = case.page()
    normal_cookie = case.chromium.session_cookie()
    worker = case.chromium.attach(wait_for(case.chromium.worker_targets, 10, 'the service worker')[0]['targetId'])
    case.chromium.browser.evaluate(worker, f'chrome.windows.create({{incognito: true, url: {case.page_url!r}}})'
                                           '.then(() => true)')
    incognito = wait_for(lambda: [t for t in case.chromium.targets('page') if t['url'] == case.page_url
                                  and t['browserContextId'] != case.chromium.targets('page')[0]['browserContextId']],
                         10, 'the incognito page')
    session = case.chromium.attach(incognito[0]['targetId'])
    case.chromium.wait_loaded(session)
    private_cookies = case.chromium.browser.send('Network.getCookies', {'urls': [case.page_url]},
                                                 session=session)['cookies']
    private_cookie = next(f'session={c["value"]}' for c in private_cookies if c['name'] == 'session')
    if private_cookie == normal_cookie:
        raise Failure('the incognito window shares the normal cookie; the case would show nothing')
    del normal
    case.chromium.click(session, '#clip-flv')
    case.expect_handed_over('clip.flv', private_cookie)


def context_menu(case):
    """"Download with Vexaro" on a link: the entry exists, and its click hands
    the link over without the browser fetching the file first. Headless
    Chromium shows no menus, so the click is delivered to the add-on's own
    menu handler from one of its pages."""
    case.page()
    cookie = case.chromium.session_cookie()
    options = case.chromium.extension_page()
    case.chromium.browser.evaluate(options, "chrome.contextMenus.update('vexaro-download', {}).then(() => true)")
    link = case.site.url('/files/clip.flv')
    info = {'menuItemId': 'vexaro-download', 'linkUrl': link, 'pageUrl': case.page_url}
    case.chromium.browser.evaluate(
        options, f"import('./menu.js').then(m => m.handleMenuClick({info!r}, {{id: 1, incognito: false}}))"
                 '.then(() => true)')
    case.expect_handed_over('clip.flv', cookie)
    if case.site.gets(vexaro=False):
        raise Failure('the browser fetched the file itself')


def worker_woken(case):
    """The browser stopped the add-on's service worker; the next download
    wakes it, and it still takes the download over, exactly once."""
    session = case.page()
    cookie = case.chromium.session_cookie()
    worker = wait_for(case.chromium.worker_targets, 10, 'the service worker')[0]
    case.chromium.browser.send('Target.closeTarget', {'targetId': worker['targetId']})
    wait_for(lambda: not case.chromium.worker_targets(), 10, 'the service worker to stop')
    case.chromium.click(session, '#clip-flv')
    case.expect_handed_over('clip.flv', cookie)


def picture(chromium, session, path):
    chromium.browser.send('Emulation.setDeviceMetricsOverride',
                          {'width': 760, 'height': 700, 'deviceScaleFactor': 1, 'mobile': False}, session=session)
    shot = chromium.browser.send('Page.captureScreenshot', {'format': 'png'}, session=session)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(base64.b64decode(shot['data']))


def options_page(case):
    """The options page says whether the host answers, and how to install it
    when it does not (the second browser has no host manifest). Its pictures
    go to the build's pictures/ folder."""
    pictures = os.path.join(case.build, 'pictures')
    for chromium, state in ((case.chromium, 'ok'), (Chromium(case.ws, case.build, with_host=False, name='nohost'),
                                                    'missing')):
        try:
            session = chromium.extension_page()
            summary = wait_for(lambda: chromium.browser.evaluate(
                session, "document.getElementById('host').classList.contains('checking') ? '' : "
                         "document.getElementById('host').innerText"), 10, 'the host check')
            if state == 'ok' and 'Vexaro is installed' not in summary:
                raise Failure(f'the options page does not see the host: {summary!r}')
            if state == 'missing' and ('not installed' not in summary
                                       or 'vexaro --install-browser-integration' not in summary):
                raise Failure(f'the options page does not say how to install the host: {summary!r}')
            settings = chromium.browser.evaluate(session, 'chrome.storage.sync.get(null).then(JSON.stringify)')
            if state == 'ok' and json.loads(settings).get('autoclose') is not True:
                raise Failure(f'the stored options are not read back: {settings}')
            picture(chromium, session, os.path.join(pictures, f'browser-options-{state}.png'))
        finally:
            if chromium is not case.chromium:
                chromium.close()


CASES = {
    'options_page': (options_page, True),
    'take_over': (take_over, True),
    'no_host': (no_host, False),
    'silent_host': (silent_host, 'silent'),
    'blob_link': (blob_link, True),
    'left_to_browser': (left_to_browser, True),
    'two_clicks': (two_clicks, True),
    'private_window': (private_window, True),
    'context_menu': (context_menu, True),
    'worker_woken': (worker_woken, True),
}


def measure(build, runs=5):
    """Click -> Vexaro's Save-As visible, each run in a fresh browser and
    Vexaro, as a user's first click of a session; beside it, as the peer, the
    browser alone (no host): click -> its own download's file in its folder."""
    def one(with_host):
        case = Case(build, 'measure', with_host)
        try:
            case.start()
            session = case.page()
            clicked = time.monotonic()
            case.chromium.click(session, '#clip-flv')
            if with_host:
                wait_for(lambda: case.ws.windows(SAVE_AS_TITLE), 30, "Vexaro's Save-As dialog", interval=0.005)
            else:
                wait_for(lambda: files_in(case.ws.browser_downloads), 30, "the browser's download", interval=0.005)
            elapsed = time.monotonic() - clicked
            if with_host:
                case.ws.answer_save_as()
                case.expect_vexaro_done()
            case.failed = False
            return elapsed
        finally:
            case.close()

    vexaro = [one(True) for _ in range(runs)]
    browser = [one(False) for _ in range(runs)]
    print('click -> Save-As visible (s):            ' + ' '.join(f'{t:.3f}' for t in vexaro))
    print("click -> browser's own download (s):     " + ' '.join(f'{t:.3f}' for t in browser))
    print(f'median of {runs}: Save-As {statistics.median(vexaro):.3f} s, browser alone '
          f'{statistics.median(browser):.3f} s, ratio {statistics.median(vexaro) / statistics.median(browser):.1f}')


def main():
    build, name = os.path.abspath(sys.argv[1]), sys.argv[2]
    if name == 'measure':
        measure(build)
        return 0
    function, with_host = CASES[name]
    started = time.monotonic()
    case = Case(build, name, with_host)
    try:
        case.start()
        function(case)
        case.failed = False
    except (Failure, ProtocolError) as error:
        print(f'FAILED {name}: {error}')
        if case.chromium:
            print('\n'.join(['add-on console:'] + case.chromium.console()))
        print(f'(workspace {case.ws.root}; set VEXARO_KEEP_FAILED=1 to keep it)')
        return 1
    finally:
        case.close()
    print(f'passed {name} in {time.monotonic() - started:.1f} s')
    return 0


if __name__ == '__main__':
    sys.exit(main())
