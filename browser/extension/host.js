// Talking to the native host, vexaro-browser-host (see browser/host/Host.h).
import {api} from './browser.js';

export const HOST_NAME = 'org.vexaro.host';

// A host that has not answered by then counts as absent, and the browser
// keeps its download.
export const ANSWER_TIMEOUT_MS = 5000;

// Resolves to the host's answer ({ok: true, version} or {ok: false, error,
// message}); never rejects. A missing host, a refusal and a time-out all come
// back as ok: false.
export async function askHost(message) {
  let timer;
  const timeout = new Promise((resolve) => {
    timer = setTimeout(
      () => resolve({ok: false, error: 'no-answer', message: `no answer within ${ANSWER_TIMEOUT_MS / 1000} s`}),
      ANSWER_TIMEOUT_MS);
  });
  const answer = api.runtime.sendNativeMessage(HOST_NAME, message).then(
    (reply) => (reply && typeof reply === 'object' ? reply : {ok: false, error: 'bad-answer', message: String(reply)}),
    (error) => ({ok: false, error: 'no-host', message: String(error?.message ?? error)}));
  try {
    return await Promise.race([answer, timeout]);
  } finally {
    clearTimeout(timer);
  }
}
