// The options, kept in storage.sync so that they follow the user's profile.
import {api} from './browser.js';

export const defaults = Object.freeze({
  takeOver: true,   // hand downloads over to Vexaro
  format: -1,       // preselected format: -1 the file's own, 0.. an index into formats
  autoclose: false, // "Close when finished"
  minSizeKb: 0,     // smaller files stay with the browser (0: none do)
  excluded: '',     // file extensions that stay with the browser, e.g. "zip exe"
  path: '',         // folder Save-As opens in; empty: the Downloads folder
});

// The known extensions, in the order the program numbers them.
export const formats = Object.freeze(['asf', 'avi', 'flv', 'mov', 'mp3', 'mp4', 'wav', 'wmv']);

export async function loadSettings() {
  const stored = await api.storage.sync.get(defaults).catch(() => ({}));
  return {...defaults, ...stored};
}

// "zip, .EXE  iso" -> {"zip", "exe", "iso"}
export function extensionSet(text) {
  return new Set(String(text).toLowerCase().split(/[\s,;]+/).map((e) => e.replace(/^\.+/, '')).filter(Boolean));
}

export function extensionOf(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(dot + 1).toLowerCase() : '';
}
