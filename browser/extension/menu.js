// "Download with Vexaro" on links, images, audio and video: the address goes
// straight to Vexaro, the browser downloads nothing first. Whatever Vexaro
// cannot take (no host, a type it offers nothing for, no http address) the
// browser downloads instead, so a click is never lost.
import {api, browserDownloadOptions, cookieStoreOf, menus} from './browser.js';
import {askHost} from './host.js';
import {extensionOf, loadSettings} from './settings.js';
import {cookieFor, downloadMessage} from './takeover.js';

export const MENU_ID = 'vexaro-download';
const PROBE_TIMEOUT_MS = 3000;

// Types by extension for when the server does not say (no HEAD allowed):
// those of the formats Vexaro knows out of the box.
const typesByExtension = {
  asf: 'video/x-ms-asf', avi: 'video/x-msvideo', flv: 'video/x-flv', mov: 'video/quicktime',
  mp3: 'audio/mpeg', m4a: 'audio/mp4', mp4: 'video/mp4', wav: 'audio/wav', wmv: 'video/x-ms-wmv',
};

export async function createMenu() {
  await menus.removeAll();
  menus.create({
    id: MENU_ID,
    title: 'Download with Vexaro',
    contexts: ['link', 'image', 'audio', 'video'],
  });
}

function nameFromDisposition(header) {
  if (!header) return '';
  const extended = /filename\*\s*=\s*[^']*'[^']*'([^;]+)/i.exec(header);
  if (extended) {
    try {
      return decodeURIComponent(extended[1].trim());
    } catch {}
  }
  const plain = /filename\s*=\s*("([^"]*)"|[^;]+)/i.exec(header);
  return plain ? (plain[2] ?? plain[1]).trim() : '';
}

function nameFromUrl(url) {
  try {
    return decodeURIComponent(new URL(url).pathname.split('/').pop());
  } catch {
    return '';
  }
}

// What the server says of the file without sending it.
async function probe(url) {
  const found = {type: '', size: 0, file: ''};
  try {
    const response = await fetch(url, {
      method: 'HEAD', credentials: 'include', signal: AbortSignal.timeout(PROBE_TIMEOUT_MS)});
    if (response.ok) {
      found.type = (response.headers.get('content-type') || '').split(';')[0].trim().toLowerCase();
      found.size = Number(response.headers.get('content-length')) || 0;
      found.file = nameFromDisposition(response.headers.get('content-disposition'));
    }
  } catch {
    // Refused or unreachable: the name and its extension must do.
  }
  if (!found.file) found.file = nameFromUrl(url);
  if (!found.type) found.type = typesByExtension[extensionOf(found.file)] || '';
  return found;
}

export async function handleMenuClick(info, tab) {
  if (info.menuItemId !== MENU_ID) return;
  const url = info.linkUrl || info.srcUrl;
  if (!url) return;
  const browserDownload = () =>
    api.downloads.download(browserDownloadOptions(url, tab)).catch((error) =>
      console.error('Vexaro: the browser could not download it either', error));
  if (!/^https?:/i.test(url)) return void (await browserDownload());
  const settings = await loadSettings();
  const found = await probe(url);
  const message = downloadMessage({
    url,
    file: found.file,
    type: found.type,
    size: found.size,
    cookie: await cookieFor(url, tab ? cookieStoreOf(tab) : undefined),
    referer: info.pageUrl || info.frameUrl || '',
  }, settings);
  const answer = await askHost(message);
  if (answer.ok) return;
  console.warn(`Vexaro: the browser downloads ${url}: ${answer.error}: ${answer.message}`);
  await browserDownload();
}
