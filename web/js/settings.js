// Settings: colours, the queue and its week, the access lock, the user's
// scripts, a command console and the eDonkey client.
import { ctl, status, jobFile, signIn } from './api.js';
import { optionValues } from './parse.js';
import { el, $, setText, put, note, act, lines, muleText, plain, paintTheme, stored, store, t } from './ui.js';

// Output answers end with a blank and a line feed after the output.
const output = (text) => text.replace(/ \n$/, '');

async function showRun(promise, out, words = (t) => t) {
  out.hidden = false;
  setText(out, t('running…'));
  try { setText(out, words(output(await promise)) || t('(no output)')); } catch (e) { setText(out, e.message); }
}

/** The password as the lock wants it: base64 of its UTF-8 bytes, no "=" fill. */
const base64 = (s) => btoa(String.fromCharCode(...new TextEncoder().encode(s))).replace(/=+$/, '');

export function setupSettings({ onChange }) {
  setupQueue(onChange);
  const theme = $('#theme');
  theme.value = stored('kiv-theme') || '';
  theme.addEventListener('change', () => { store('kiv-theme', theme.value); paintTheme(theme.value); }); // kept or not, shown now
  // Read again in the language chosen.
  const lang = $('#lang');
  lang.value = stored('kiv-lang') || '';
  lang.addEventListener('change', () => { if (store('kiv-lang', lang.value)) location.reload(); else note(t('This browser keeps nothing for this page, so its language cannot change.')); });
  $('#lock-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const user = $('#lock-user').value, pass = $('#lock-pass').value;
    if (user.includes(':')) return note(t('The user name must not hold ":".'));
    const text = await ctl('lock', `${user}:${base64(pass)}:${$('#lock-fb').checked ? '1' : '0'}`).catch((x) => x.message);
    $('#lock-pass').value = '';
    // This tab signs in with what was just set, so it goes on working.
    const on = RESTART.test(text), signed = on && (await signIn(user, pass));
    note(signed ? t('The lock is on. This browser is signed in; others ask for the user name and password.') : text, !on);
    if (on && !signed) showLock('OK'); // nothing to read it with until the browser restarts
    else readLock();
  });
  $('#unlock').addEventListener('click', async () => {
    const text = await ctl('lock', 'unlock').catch((x) => x.message);
    note(RESTART.test(text) ? t('The lock is off.') : text, !RESTART.test(text));
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
      setText(out, name ? muleText(await jobFile(name)) || t('(empty)') : t('No download list.'));
    } catch (x) { setText(out, x.message); }
  });
}

const RESTART = /restart the browser/;

function showLock(text) {
  setText($('#lock-state'), text === 'OK' ? t('on: a user name and password are asked for') : text === 'KO' ? t('off: anyone on the network can use the box') : '');
  if (text !== 'OK' && text !== 'KO') $('#lock-state').replaceChildren(...lines(plain(text)));
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
    setText($('#scripts-count'), names.length ? t('{n} {n|script|scripts}', { n: names.length }) : t('No scripts in the scripts folder.'));
  } catch (e) { note(e.message); }
}

// The queue as last given; the week as painted, a mode an hour from Monday 00:00.
const queue = { shown: null, week: [], cells: [], drag: null };
const MODES = { f: t('full speed'), l: t('limited'), p: t('paused') };
const DAYS = t('Mon Tue Wed Thu Fri Sat Sun').split(' ');
const FIELDS = { max_active: t('Transfers at once'), max_torrents: t('Of these, torrents'), down: t('Download KiB/s'), up: t('Upload KiB/s'),
  alt_down: t('Limited hours: download KiB/s'), alt_up: t('Limited hours: upload KiB/s') };
const fields = () => $('#queue-form').querySelectorAll('input:not([type=radio])');
const valueOf = (input) => (input.type === 'checkbox' ? String(+input.checked) : input.value.trim());
const day = (i) => Math.floor(i / 24);

function drawWeek() {
  queue.week.forEach((mode, i) => {
    const cell = queue.cells[i];
    if (cell.dataset.mode !== mode) cell.dataset.mode = mode;
    cell.ariaLabel = `${DAYS[day(i)]} ${i % 24}:00 ${MODES[mode]}`;
  });
}

function focusHour(i) {
  for (const c of queue.cells) c.tabIndex = -1;
  queue.cells[i].tabIndex = 0;
  queue.cells[i].focus();
}

function setupQueue(onChange) {
  const form = $('#queue-form'), table = $('#week'), hours = [...Array(24).keys()];
  $('#queue-fields').append(...Object.entries(FIELDS).map(([name, text]) => el('label', {}, text, el('input', { name, inputmode: 'numeric', autocomplete: 'off' }))));
  $('#brush').append(...Object.entries(MODES).map(([value, text]) =>
    el('label', { class: 'check' }, el('input', { type: 'radio', name: 'brush', value, checked: value === 'f' }), el('i', { 'data-mode': value }), text)));
  table.append(el('tr', {}, el('td'), hours.map((h) => el('th', { text: h }))), ...DAYS.map((d) =>
    el('tr', {}, el('th', { text: d }), hours.map(() => queue.cells[queue.cells.push(el('td', { tabIndex: -1 })) - 1]))));
  queue.cells[0].tabIndex = 0;
  // A drag paints the rectangle from the hour it began on to the one under
  // the pointer (a finger's moves all go to the hour it first touched).
  const within = (x, a, b) => x >= Math.min(a, b) && x <= Math.max(a, b);
  const paintTo = (e) => {
    const { from, before } = queue.drag, i = queue.cells.indexOf(document.elementFromPoint(e.clientX, e.clientY));
    if (i < 0) return;
    queue.week = before.map((m, j) => (within(j % 24, from % 24, i % 24) && within(day(j), day(from), day(i)) ? form.brush.value : m));
    drawWeek();
  };
  table.addEventListener('pointerdown', (e) => {
    const i = queue.cells.indexOf(e.target);
    if (i < 0 || e.button) return;
    e.preventDefault();
    table.setPointerCapture(e.pointerId);
    queue.drag = { from: i, before: queue.week };
    paintTo(e);
    focusHour(i);
  });
  table.addEventListener('pointermove', (e) => queue.drag && paintTo(e));
  for (const end of ['pointerup', 'pointercancel']) table.addEventListener(end, () => { queue.drag = null; });
  table.addEventListener('keydown', (e) => {
    const i = queue.cells.indexOf(e.target), to = { ArrowLeft: i - 1, ArrowRight: i + 1, ArrowUp: i - 24, ArrowDown: i + 24 }[e.key];
    if (e.key === ' ') { queue.week[i] = form.brush.value; drawWeek(); } else if (to >= 0 && to < 168) focusHour(to); else return;
    e.preventDefault();
  });
  // Only what differs from the box's settings is sent; the box checks it all.
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    const changed = {};
    for (const input of fields()) if (valueOf(input) !== String(queue.shown[input.name])) changed[input.name] = valueOf(input);
    if (queue.week.join('') !== queue.shown.week) changed.week = queue.week.join('');
    if (!Object.keys(changed).length) return note(t('Nothing changed.'), false);
    if (await act(ctl('queue', null, null, changed), t('Saved.'))) onChange();
  });
}

/** The queue's settings of a status: the form takes each value the user
 *  has not changed since it was last shown. */
export function updateQueue(q) {
  put($('#queue-form'), 'hidden', !q);
  if (!q || q === queue.shown) return;
  const was = queue.shown;
  for (const input of fields()) {
    if (was && valueOf(input) !== String(was[input.name])) continue;
    if (input.type === 'checkbox') input.checked = q[input.name] === 1; else input.value = q[input.name];
  }
  queue.week = [...q.week].map((m, i) => (was && queue.week[i] !== was.week[i] ? queue.week[i] : m));
  queue.shown = q;
  drawWeek();
}
