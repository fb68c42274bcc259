// The add-on's background: the listeners are registered at the top level, on
// every start of the worker, so that a worker the browser put to sleep is
// woken by the next download or menu click and still handles it.
import {api, holdsDownloads, menus} from './browser.js';
import {createMenu, handleMenuClick} from './menu.js';
import {handleDownload, notePost} from './takeover.js';

if (holdsDownloads) {
  api.downloads.onDeterminingFilename.addListener((item, suggest) => {
    handleDownload(item, suggest);
    return true;  // suggest() comes later, once the host has answered
  });
} else {
  api.downloads.onCreated.addListener((item) => {
    handleDownload(item);
  });
}

api.webRequest.onBeforeRequest.addListener(notePost, {
  urls: ['http://*/*', 'https://*/*'],
  types: ['main_frame', 'sub_frame'],
});

menus.onClicked.addListener((info, tab) => {
  handleMenuClick(info, tab);
});
// Menu entries outlive the worker but not every browser start (Firefox).
api.runtime.onInstalled.addListener(() => createMenu());
api.runtime.onStartup.addListener(() => createMenu());
