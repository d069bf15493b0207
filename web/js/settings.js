// Settings: colours, the access lock, the user's scripts, a command console
// and the eDonkey client.
import { ctl, status, jobFile, signIn } from './api.js';
import { optionValues } from './parse.js';
import { el, $, setText, note, lines, muleText } from './ui.js';

// Output answers end with a blank and a line feed after the output.
const output = (text) => text.replace(/ \n$/, '');

async function showRun(promise, out, words = (t) => t) {
  out.hidden = false;
  setText(out, 'running…');
  try { setText(out, words(output(await promise)) || '(no output)'); } catch (e) { setText(out, e.message); }
}

/** The password as the lock wants it: base64 of its UTF-8 bytes, no "=" fill. */
const base64 = (s) => btoa(String.fromCharCode(...new TextEncoder().encode(s))).replace(/=+$/, '');

/** Light or dark colours ('' as the system has them). */
const paint = (theme) => { if (theme) document.documentElement.dataset.theme = theme; else delete document.documentElement.dataset.theme; };

export function setupSettings() {
  const theme = $('#theme');
  theme.value = localStorage.getItem('kiv-theme') || '';
  paint(theme.value);
  theme.addEventListener('change', () => { localStorage.setItem('kiv-theme', theme.value); paint(theme.value); });
  $('#lock-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const user = $('#lock-user').value, pass = $('#lock-pass').value;
    if (user.includes(':')) return note('The user name must not hold ":".');
    const text = await ctl('lock', `${user}:${base64(pass)}:${$('#lock-fb').checked ? '1' : '0'}`).catch((x) => x.message);
    $('#lock-pass').value = '';
    // This tab signs in with what was just set, so it goes on working.
    const on = RESTART.test(text), signed = on && (await signIn(user, pass));
    note(signed ? 'The lock is on. This browser is signed in; others ask for the user name and password.' : text, !on);
    if (on && !signed) showLock('OK'); // nothing to read it with until the browser restarts
    else readLock();
  });
  $('#unlock').addEventListener('click', async () => {
    const text = await ctl('lock', 'unlock').catch((x) => x.message);
    note(RESTART.test(text) ? 'The lock is off.' : text, !RESTART.test(text));
    readLock();
  });
  $('#scripts-load').addEventListener('click', loadScripts);
  $('#script-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const name = $('#script-name').value;
    if (!name) return;
    const args = $('#script-args').value.trim();
    showRun(ctl('scripts', args ? `${name} ${args}` : name), $('#script-out'));
  });
  $('#run-form').addEventListener('submit', (e) => {
    e.preventDefault();
    showRun(ctl('run', $('#run-line').value), $('#run-out'));
  });
  $('#amule-form').addEventListener('submit', (e) => {
    e.preventDefault();
    showRun(ctl('amule', $('#amule-line').value), $('#amule-out'), muleText);
  });
  $('#amule-refresh').addEventListener('click', async () => {
    const out = $('#amule-out');
    out.hidden = false;
    try {
      const s = await status(true, true);
      const name = (s.amu || []).map((j) => j.obj.slice(0, j.obj.lastIndexOf('@'))).find((n) => n === 'amule.amu');
      setText(out, name ? muleText(await jobFile(name)) || '(empty)' : 'No download list.');
    } catch (x) { setText(out, x.message); }
  });
}

const RESTART = /restart the browser/;

function showLock(text) {
  setText($('#lock-state'), text === 'OK' ? 'on: a user name and password are asked for' : text === 'KO' ? 'off: anyone on the network can use the box' : '');
  if (text !== 'OK' && text !== 'KO') $('#lock-state').replaceChildren(...lines(text));
  $('#lock-state').dataset.on = String(text === 'OK');
}

export async function readLock() {
  try {
    showLock((await ctl('lock', 'read')).trim());
  } catch (e) { setText($('#lock-state'), e.message); }
}

export async function loadScripts() {
  try {
    const text = await ctl('scripts', '');
    const names = optionValues(text);
    if (!names.length && text.trim() && !text.includes('<option')) { note(text); return; }
    $('#script-name').replaceChildren(...names.map((n) => el('option', { value: n, text: n })));
    setText($('#scripts-count'), names.length ? `${names.length} script${names.length > 1 ? 's' : ''}` : 'No scripts in the scripts folder.');
  } catch (e) { note(e.message); }
}
