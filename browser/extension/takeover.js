// Taking a browser download over: which downloads, with what request, and
// how the browser's own download is let go only once Vexaro has it.
import {api, cookieStoreOf, finalUrlOf, holdFor, sizeOf} from './browser.js';
import {askHost} from './host.js';
import {extensionOf, extensionSet, loadSettings} from './settings.js';

const POST_MEMORY_MS = 5 * 60 * 1000;

// Pages that were sent as a POST form lately, by address: a download that
// comes from one cannot be fetched again without its body, which we do not
// have. Kept in session storage too, for a worker that is woken afresh.
const posted = new Map();

export function notePost(details) {
  if (details.method !== 'POST') return;
  posted.set(details.url, Date.now());
  api.storage.session.set({[`post:${details.url}`]: Date.now()}).catch(() => {});
}

// Whether url was posted lately; the mark is used up, so that a later plain
// download of the same address is taken over again.
async function takePost(url) {
  const now = Date.now();
  for (const [address, when] of posted) {
    if (now - when > POST_MEMORY_MS) posted.delete(address);
  }
  const key = `post:${url}`;
  const stored = await api.storage.session.get(key).catch(() => ({}));
  const marked = posted.delete(url) || (Boolean(stored[key]) && now - stored[key] <= POST_MEMORY_MS);
  if (stored[key]) await api.storage.session.remove(key).catch(() => {});
  return marked;
}

// Each browser download is decided (and handed over) at most once, whichever
// event brought it and however often the worker was woken for it: the claim
// is taken in this worker's memory before any await (so two events in one
// worker cannot both pass) and in session storage (so a worker woken afresh
// sees it too).
const claimed = new Set();

async function claim(id) {
  if (claimed.has(id)) return false;
  claimed.add(id);
  const key = `claim:${id}`;
  const stored = await api.storage.session.get(key).catch(() => ({}));
  if (stored[key]) return false;
  await api.storage.session.set({[key]: Date.now()}).catch(() => {});
  return true;
}

export function fileNameOf(item) {
  const fromPath = (item.filename || '').split(/[\\/]/).pop();
  if (fromPath) return fromPath;
  try {
    const last = new URL(finalUrlOf(item)).pathname.split('/').pop();
    return decodeURIComponent(last);
  } catch {
    return '';
  }
}

// Why a download stays with the browser, or '' when Vexaro may have it.
export async function reasonToLeave(item, settings) {
  if (!settings.takeOver) return 'taking over downloads is off';
  if (item.byExtensionId) return 'an extension started it';
  if (item.state && item.state !== 'in_progress') return `it is ${item.state}`;
  const url = finalUrlOf(item);
  if (!/^https?:/i.test(url)) return 'it is no http or https address';
  const postedOriginal = await takePost(item.url);
  if (postedOriginal || (url !== item.url && (await takePost(url)))) return 'it came from a POST form';
  const size = sizeOf(item);
  if (size > 0 && size < settings.minSizeKb * 1024) return 'it is below the minimum size';
  const extension = extensionOf(fileNameOf(item));
  if (extension && extensionSet(settings.excluded).has(extension)) return `.${extension} is excluded`;
  return '';
}

// The page's cookies for url as one Cookie header value, HttpOnly ones
// included, from the store the download or tab belongs to.
export async function cookieFor(url, storeId) {
  const cookies = await api.cookies.getAll({url, storeId}).catch(() => []);
  return cookies.map((c) => `${c.name}=${c.value}`).join('; ');
}

export function downloadMessage({url, file, type, size, cookie, referer}, settings) {
  return {
    action: 'download',
    url,
    file,
    type: type || '',
    size: size > 0 ? size : 0,
    cookie: cookie || '',
    referer: referer || '',
    path: settings.path || '',
    format: Number.isInteger(Number(settings.format)) ? Number(settings.format) : -1,
    autoclose: Boolean(settings.autoclose),
  };
}

// One download event (onDeterminingFilename with its suggest, or onCreated).
// Resolves when the download has been handed over or given back.
export async function handleDownload(item, suggest) {
  const holder = holdFor(item, suggest);
  try {
    // Decided once, before anything else: a second event for the same
    // download must not decide otherwise (a POST mark is used up by the first).
    if (!(await claim(item.id))) return void (await holder.giveBack());
    const settings = await loadSettings();
    const reason = await reasonToLeave(item, settings);
    if (reason) {
      console.debug(`Vexaro: download ${item.id} stays with the browser: ${reason}`);
      return void (await holder.giveBack());
    }
    await holder.hold();
    const url = finalUrlOf(item);
    const message = downloadMessage({
      url,
      file: fileNameOf(item),
      type: item.mime,
      size: sizeOf(item),
      cookie: await cookieFor(url, cookieStoreOf(item)),
      referer: item.referrer,
    }, settings);
    const answer = await askHost(message);
    if (answer.ok) {
      await holder.drop();
      return;
    }
    console.warn(`Vexaro: download ${item.id} stays with the browser: ${answer.error}: ${answer.message}`);
    await holder.giveBack();
  } catch (error) {
    console.error('Vexaro: download left to the browser after an error', error);
    await holder.giveBack();
  }
}
