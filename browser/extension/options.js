// The options page: the settings in storage.sync, saved as they change, and
// whether the native host answers.
import {api} from './browser.js';
import {askHost} from './host.js';
import {defaults, formats, loadSettings} from './settings.js';

const form = document.getElementById('options');

function fill(settings) {
  const select = form.elements.format;
  for (const [index, extension] of formats.entries()) {
    select.add(new Option(extension.toUpperCase(), String(index)));
  }
  form.elements.takeOver.checked = settings.takeOver;
  select.value = String(settings.format);
  if (select.selectedIndex < 0) select.value = String(defaults.format);
  form.elements.autoclose.checked = settings.autoclose;
  form.elements.minSizeKb.value = String(settings.minSizeKb);
  form.elements.excluded.value = settings.excluded;
  form.elements.path.value = settings.path;
}

function read() {
  const minSize = Number(form.elements.minSizeKb.value);
  return {
    takeOver: form.elements.takeOver.checked,
    format: Number(form.elements.format.value),
    autoclose: form.elements.autoclose.checked,
    minSizeKb: Number.isFinite(minSize) && minSize > 0 ? Math.floor(minSize) : 0,
    excluded: form.elements.excluded.value.trim(),
    path: form.elements.path.value.trim(),
  };
}

async function save() {
  const saved = document.getElementById('saved');
  try {
    await api.storage.sync.set(read());
    saved.textContent = 'Saved.';
  } catch (error) {
    saved.textContent = `Not saved: ${error.message ?? error}`;
  }
}

async function showHost() {
  const box = document.getElementById('host');
  const summary = document.getElementById('host-summary');
  const answer = await askHost({action: 'ping'});
  box.classList.remove('checking');
  if (answer.ok) {
    box.classList.add('ok');
    summary.textContent = `Vexaro is installed (version ${answer.version}). Downloads go to it.`;
    return;
  }
  box.classList.add('missing');
  summary.textContent = 'Vexaro’s browser helper is not installed, or does not answer.';
  document.getElementById('host-error').textContent = answer.message || answer.error;
  document.getElementById('host-missing').hidden = false;
}

fill(await loadSettings());
form.addEventListener('change', save);
form.addEventListener('submit', (event) => event.preventDefault());
await showHost();
