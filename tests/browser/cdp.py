"""A minimal client of the Chrome DevTools Protocol over
--remote-debugging-pipe: the browser reads commands on its descriptor 3 and
writes answers and events on its descriptor 4, each a JSON text ended by NUL.
"""

import json
import os
import queue
import subprocess
import threading
import time


class ProtocolError(Exception):
    pass


class Browser:
    def __init__(self, args, env, stderr_path):
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()

        # Copies first: either end may itself be descriptor 3 or 4 (and
        # dup2 onto itself would keep its close-on-exec flag).
        def give_descriptors():
            commands, answers = os.dup(to_browser_read), os.dup(from_browser_write)
            os.dup2(commands, 3)
            os.dup2(answers, 4)

        self._stderr = open(stderr_path, 'wb')
        self.process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=self._stderr,
                                        stderr=self._stderr, preexec_fn=give_descriptors, pass_fds=(3, 4))
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._next_id = 0
        self._waiting = {}
        self._events = queue.Queue()
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        buffer = b''
        with os.fdopen(self._from_browser, 'rb', buffering=0) as pipe:
            while True:
                chunk = pipe.read(65536)
                if not chunk:
                    break
                buffer += chunk
                while b'\0' in buffer:
                    text, buffer = buffer.split(b'\0', 1)
                    message = json.loads(text)
                    if 'id' in message:
                        with self._lock:
                            slot = self._waiting.pop(message['id'], None)
                        if slot:
                            slot.put(message)
                    else:
                        self._events.put(message)
        with self._lock:
            for slot in self._waiting.values():
                slot.put({'error': {'message': 'the browser closed the pipe'}})
            self._waiting.clear()

    def send(self, method, params=None, session=None, timeout=30):
        slot = queue.Queue()
        with self._lock:
            self._next_id += 1
            ident = self._next_id
            self._waiting[ident] = slot
        message = {'id': ident, 'method': method, 'params': params or {}}
        if session:
            message['sessionId'] = session
        os.write(self._to_browser, json.dumps(message).encode() + b'\0')
        try:
            answer = slot.get(timeout=timeout)
        except queue.Empty:
            raise ProtocolError(f'{method}: no answer within {timeout} s') from None
        if 'error' in answer:
            raise ProtocolError(f'{method}: {answer["error"].get("message")}')
        return answer.get('result', {})

    def wait_event(self, method, predicate=lambda params: True, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise ProtocolError(f'no {method} event within {timeout} s')
            try:
                event = self._events.get(timeout=left)
            except queue.Empty:
                continue
            if event.get('method') == method and predicate(event.get('params', {})):
                return event

    def drain_events(self):
        events = []
        while True:
            try:
                events.append(self._events.get_nowait())
            except queue.Empty:
                return events

    def evaluate(self, session, expression, timeout=30):
        """Runs expression (awaiting a promise) in a target; returns its value."""
        result = self.send('Runtime.evaluate', {'expression': expression, 'awaitPromise': True,
                                                'returnByValue': True}, session=session, timeout=timeout)
        if 'exceptionDetails' in result:
            details = result['exceptionDetails']
            text = details.get('exception', {}).get('description') or details.get('text')
            raise ProtocolError(f'evaluation failed: {text}')
        return result.get('result', {}).get('value')

    def close(self):
        try:
            self.send('Browser.close', timeout=5)
        except (ProtocolError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        try:
            os.close(self._to_browser)
        except OSError:
            pass
        self._stderr.close()
