// Everything that differs between Chromium and Firefox, in one place. The
// rest of the add-on is the same code in both.

export const api = globalThis.browser ?? globalThis.chrome;

// Only Firefox tells about itself this way.
const isFirefox = typeof api.runtime.getBrowserInfo === 'function';

// Firefox calls it menus, Chromium contextMenus (Firefox knows both names).
export const menus = api.menus ?? api.contextMenus;

// Chromium asks the add-on for each download's file name before the file can
// complete (downloads.onDeterminingFilename), which holds the download while
// we ask the host. Firefox has no such event: there the add-on hears of a
// download in onCreated and pauses it.
export const holdsDownloads = Boolean(api.downloads.onDeterminingFilename);

// The cookie store a download or tab belongs to. Firefox names it; Chromium
// has one store for the normal profile ("0") and one for incognito ("1").
export function cookieStoreOf(itemOrTab) {
  if (itemOrTab.cookieStoreId) return itemOrTab.cookieStoreId;
  return itemOrTab.incognito ? '1' : '0';
}

// The address after redirects (Chromium's finalUrl; Firefox reports only url).
export function finalUrlOf(item) {
  return item.finalUrl || item.url;
}

// Bytes, 0 when unknown (Firefox says -1, Chromium 0 or -1).
export function sizeOf(item) {
  const size = item.totalBytes > 0 ? item.totalBytes : item.fileSize;
  return Number.isSafeInteger(size) && size > 0 ? size : 0;
}

// A download the add-on asks the browser for, in the tab's own window kind
// where the browser lets us say so (Firefox; Chromium has no such option).
export function browserDownloadOptions(url, tab) {
  return isFirefox && tab?.incognito ? {url, incognito: true} : {url};
}

// How a download is held while the host is asked, and let go afterwards:
//   hold()     true when the browser will not finish it on its own meanwhile
//   giveBack() the browser goes on with it as if we had never been there
//   drop()     cancelled and erased from the list: Vexaro has it now
export function holdFor(item, suggest) {
  if (suggest) {
    let answered = false;
    const answer = () => {
      if (!answered) {
        answered = true;
        suggest();
      }
    };
    return {
      hold: async () => true,
      giveBack: async () => answer(),
      // Cancelled before the name is answered, so no file is ever moved into
      // the download folder; the answer then only ends the event.
      drop: async () => {
        await api.downloads.cancel(item.id).catch(() => {});
        answer();
        await api.downloads.erase({id: item.id}).catch(() => {});
      },
    };
  }
  let paused = false;
  return {
    hold: async () => {
      try {
        await api.downloads.pause(item.id);
        paused = true;
      } catch {
        // Finished already, or not pausable: it then races the host, and at
        // worst both have the file.
      }
      return paused;
    },
    giveBack: async () => {
      if (paused) await api.downloads.resume(item.id).catch(() => {});
    },
    drop: async () => {
      await api.downloads.cancel(item.id).catch(() => {});
      await api.downloads.erase({id: item.id}).catch(() => {});
    },
  };
}
