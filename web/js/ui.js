// Element building: every text goes in as text, never as markup; words in
// English or from js/lang/, read before other modules run.
let words = {}, heads = [];
const fill = (text, v) => text.replace(/\{(\w+)(?:\|([^|}]*)\|([^}]*))?\}/g, (_, k, one, many) => (one == null ? v[k] : v[k] === 1 ? one : many));

/** `text` in the page's language: {x} is v.x, {n|one|many} the form for v.n. */
export const t = (text, v) => fill(words[text] || text, v);

/** The known head of each line of a program's answer translated; its {x} is one word, kept. */
export const said = (text) => text.split(/(<br\s*\/?>)/i).map((line) => {
  const s = line.trimStart();
  for (const [re, to] of heads) { const m = re.exec(s); if (m) return fill(to, m.groups) + s.slice(m[0].length); }
  return line;
}).join('');

// Settings kept in the browser. One that keeps no site data for the box
// throws at each use: the page goes on with its defaults.
/** The kept setting `key`, or null. */
export const stored = (key) => { try { return localStorage.getItem(key); } catch { return null; } };
/** Keeps a setting; false where the browser keeps none. */
export const store = (key, value) => { try { localStorage.setItem(key, value); return true; } catch { return false; } };

// As chosen, else the browser's first that the page has.
let lang = stored('kiv-lang') || navigator.languages.map((l) => l.slice(0, 2)).find((l) => 'en de'.includes(l)) || 'en';
if (lang !== 'en') try {
  let answers;
  ({ default: words, answers } = await import(`./lang/${lang}.js`));
  heads = Object.entries(answers).map(([h, to]) => [RegExp(`^${h.replace(/[.*+?^$()|[\]\\]/g, '\\$&').replace(/\{(\w+)\}/g, '(?<$1>\\S+?)')}`), to]);
  const walk = document.createTreeWalker(document.body, 4); // its text
  for (let n, s; (n = walk.nextNode());) if (words[s = n.data.trim()]) n.data = n.data.replace(s, () => words[s]);
  for (const a of ['placeholder', 'aria-label'])
    for (const e of document.querySelectorAll(`[${a}]`)) e.setAttribute(a, t(e.getAttribute(a)));
} catch { lang = 'en'; }
// The system's colours are followed as they change, unless some are chosen.
const dark = matchMedia('(prefers-color-scheme: dark)');
let chosen = '';
/** Light or dark colours ('' as the system has them). */
export const paintTheme = (theme) => { document.documentElement.dataset.theme = (chosen = theme || '') || (dark.matches ? 'dark' : 'light'); };
dark.addEventListener('change', () => paintTheme(chosen));
paintTheme(stored('kiv-theme'));
document.documentElement.lang = lang; // shows the page

// Not Intl's: making its format held the first rows up by 40 ms.
const point = t('.');
/** Every number shown with decimals, in the page's language ("1,9" in German). */
export const num = (n, d = 0) => Number(n).toFixed(d).replace('.', point);

/** el('button', { class: 'x', onclick: f, 'aria-label': 'y' }, 'text', child) */
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (v == null || v === false) continue;
    if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (k === 'class') node.className = v;
    else if (k === 'text') node.textContent = v;
    else if (k in node && !k.includes('-')) node[k] = v;
    else node.setAttribute(k, v === true ? '' : v);
  }
  add(node, children);
  return node;
}

export function add(node, children) {
  for (const c of children.flat(Infinity)) if (c != null && c !== false) node.append(c instanceof Node ? c : String(c));
  return node;
}

export const $ = (sel, root = document) => root.querySelector(sel);

// Names in the order people expect ("file 9" before "file 10"). Made on
// first use: making it loads the collation tables, which takes a while.
let collator = null;
export const compareNames = (a, b) => (collator ||= new Intl.Collator(undefined, { numeric: true })).compare(a, b);

// Long work in slices of 8 ms, a task each, a message between (no timer's
// delay). A step: false while its slice lasts, else the next's promise.
const channel = new MessageChannel(), waiting = [];
channel.port1.onmessage = () => waiting.shift()();
export const slicer = (until = performance.now() + 8) => () => performance.now() > until &&
  new Promise((go) => { waiting.push(go); channel.port2.postMessage(0); }).then(() => (until = performance.now() + 8));

/** Sets a property only when it changed: a refresh writes nothing new. */
export function put(node, prop, value) {
  if (node[prop] !== value) node[prop] = value;
}

/** Sets text only when it changed (no needless redraws). */
export function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

/** Answer text as lines: the programs mark breaks with <br>. */
export function lines(text) {
  const parts = String(text).split(/<br\s*\/?>/i).map((s) => s.trim()).filter(Boolean);
  return parts.flatMap((p, i) => (i ? [el('br'), p] : [p]));
}

// The programs' short answers that the page knows, in plain words.
const WORDS = [
  [/^ENOTEMPTY OR EEXIST\b/, t('There is already an entry of that name (a folder is replaced only when empty).')],
  [/^(ENOENT|Job not found)\b/, t('It is not there any more: something else may have moved or deleted it.')],
  [/^(EACCESS?|EPERM)\b/, t('The box is not allowed to change it.')],
  [/^ENOSPC\b/, t('The disk is full.')],
  [/^EROFS\b/, t('The disk is read-only.')],
  [/^EINVAL\b/, t('A folder cannot go into itself.')],
  [/^(Failed to fetch|NetworkError|Load failed)/, t('The box does not answer: is it on and on the network?')],
];
const known = (list, text) => (list.find(([re]) => re.test(text)) || [, said(text)])[1];
export const plain = (text) => known(WORDS, String(text).trim());

// What the eDonkey client's command tool says that the page knows, in plain words.
const MULE = [
  [/empty password/, t('The eDonkey client asks for a password and none is set: set it on the box as the web server\'s user with amulecmd -P PASSWORD -w (kept in ~/.aMule/remote.conf).')],
  [/Unable to connect/, t('The eDonkey client does not answer: is aMule running, with external connections on?')],
  [/wrong password|authentication failed|access denied/i, t('The eDonkey client refused the password in ~/.aMule/remote.conf of the web server\'s user.')],
];
export const muleText = (text) => known(MULE, String(text).replace(/^Enter password for mule connection: /, ''));

let noteTimer = 0;
/** Shows an answer (or an element) to the user; failures stay until dismissed. */
export function note(text, failure = true) {
  const box = $('#note');
  box.replaceChildren(text instanceof Node ? text : el('span', {}, lines(plain(text))),
    el('button', { type: 'button', class: 'quiet', text: t('Dismiss'), onclick: () => { box.hidden = true; } }));
  box.classList.toggle('bad', failure);
  box.hidden = false;
  clearTimeout(noteTimer);
  if (!failure) noteTimer = setTimeout(() => { box.hidden = true; }, 4000);
}

/** Runs a command; "OK" is quiet success, any other answer is shown. */
export async function act(promise, okText) {
  try {
    const text = await promise;
    if (text.trim() === 'OK') { if (okText) note(okText, false); return true; }
    note(text);
  } catch (e) {
    note(e.message);
  }
  return false;
}

/** Shows `dialog` until it closes, `first` focused; resolves to its return value. */
export function modal(dialog, first) {
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => { dialog.remove(); resolve(dialog.returnValue); });
    document.body.append(dialog);
    dialog.showModal();
    first.focus();
  });
}

/** Rows ({ key, label }) chosen in `box` (shift-click: a range), the counts
 *  (noun(n): "3 entries") and actions, id: [word, verb, fits(row), step(row), ask's options()]. */
export function picker(box, { shown, total, noun, actions, after }) {
  const keys = new Set(), has = (r) => keys.has(r.key);
  let anchor, busy = false;
  const take = (rows, on) => { for (const r of rows) keys[on ? 'add' : 'delete'](r.key); paint(); };
  const all = el('input', { type: 'checkbox', onclick: () => take(shown(), all.checked) });
  const text = el('span', { class: 'muted' });
  // One question naming the count, then each row that fits, one run at a
  // time. Rows done or not shown leave the selection (kept only in the page):
  // nothing is sent twice. The note says why each other failed.
  async function run(word, chosen) {
    const [label, verb, fits, step, options] = actions[word], rows = chosen.filter(fits), n = rows.length, failed = [];
    if (!n) return note(t('None of them can be {done}.', { done: verb.toLowerCase() }), false);
    if (!(await ask({ title: t(n < chosen.length ? '{do} {what} of the {n} chosen' : '{do} {what}', { do: label, what: noun(n), n: chosen.length }),
      ok: label, danger: word === 'Delete', ...(await options?.()) }))) return;
    busy = true; paint();
    for (const r of rows) {
      let why;
      try { why = String(await step(r)).trim(); } catch (e) { why = e.message; }
      if (why === 'OK') keys.delete(r.key); else failed.push([el('br'), `${r.label}: `, lines(plain(why))]);
    }
    busy = false; paint();
    note(el('span', {}, t('{done} {what}.', { done: verb, what: n === 1 && !failed.length ? rows[0].label : t('{k} of {n}', { k: n - failed.length, n }) }), failed), failed.length > 0);
    after();
  }
  const buttons = Object.keys(actions).map((word) => el('button', { type: 'button', class: word === 'Delete' && 'danger', text: `${actions[word][0]}…`, onclick: () => run(word, shown().filter(has)) }));
  box.append(el('label', { class: 'check' }, all, t('Select all shown')), text, ...buttons);
  function paint() {
    const list = shown(), on = keys.size && new Set(list.map((r) => r.key)), n = total(), m = list.length;
    for (const key of keys) if (!on.has(key)) keys.delete(key);
    const k = keys.size;
    for (const r of list) if (r.pick) put(r.pick, 'checked', has(r));
    put(all, 'checked', k > 0 && k === m);
    setText(text, [m < n ? t('{m} of {what} shown', { m, what: noun(n) }) : noun(n), k && t('{k} selected', { k })].filter(Boolean).join(' · '));
    for (const b of buttons) { put(b, 'hidden', !k); put(b, 'disabled', busy); }
    put(box, 'hidden', !n);
  }
  return {
    paint,
    run,
    // `box`: a copy of one, made with its row.
    box: (row, box = el('input', { type: 'checkbox' })) => Object.assign((row.pick = box), { ariaLabel: t('Select {name}', { name: row.label }), checked: has(row), onclick: (e) => {
      const list = shown(), a = list.indexOf(anchor), b = list.indexOf(row);
      take(e.shiftKey && a >= 0 ? list.slice(Math.min(a, b), Math.max(a, b) + 1) : [row], e.target.checked);
      anchor = row;
    } }),
  };
}

const buttons = (...list) => el('div', { class: 'row end' }, list);

/** A modal question. fields: [{ name, label, value, type }]; resolves to the
 *  values, or null when cancelled. */
export async function ask({ title, text, fields = [], ok = 'OK', danger = false, body = null }) {
  const inputs = fields.map((f) => el('input', { name: f.name, value: f.value || '', type: f.type || 'text', required: f.required !== false, autocomplete: 'off' }));
  const yes = el('button', { value: 'ok', class: danger ? 'danger' : 'primary', text: ok });
  const dialog = el('dialog', { 'aria-label': title },
    el('form', { method: 'dialog' },
      el('h2', { text: title }),
      text ? el('p', {}, lines(text)) : null,
      body,
      fields.map((f, i) => el('label', {}, f.label, inputs[i])),
      buttons(el('button', { type: 'button', text: t('Cancel'), onclick: () => dialog.close('cancel') }), yes)));
  if ((await modal(dialog, inputs[0] || yes)) !== 'ok') return null;
  return Object.fromEntries(fields.map((f, i) => [f.name, inputs[i].value]));
}

/** A question with several answers: choices are [value, label, class];
 *  resolves to the value chosen, or null when cancelled. */
export async function choose({ title, text, choices }) {
  const no = el('button', { value: 'cancel', text: t('Cancel') });
  const value = await modal(el('dialog', { 'aria-label': title },
    el('form', { method: 'dialog' }, el('h2', { text: title }), el('p', { text }),
      buttons(no, choices.map(([value, label, cls]) => el('button', { value, class: cls, text: label }))))), no);
  return choices.some(([v]) => v === value) ? value : null;
}

export const confirmed = async (title, text, ok) => (await ask({ title, text, ok, danger: true })) !== null;

/** Files dropped on a view: `take` gets them. */
export function dropTarget(view, take) {
  view.addEventListener('dragover', (e) => { if (e.dataTransfer.types.includes('Files')) e.preventDefault(); });
  view.addEventListener('drop', (e) => { e.preventDefault(); if (e.dataTransfer.files.length) take([...e.dataTransfer.files]); });
}

/** A progress bar with its name: a new one, or `node`, a copy of one. */
export function bar(name, node = el('div', { class: 'bar', role: 'progressbar', 'aria-valuemin': '0', 'aria-valuemax': '100' }, el('span'))) {
  const fill = node.firstChild;
  node.setAttribute('aria-label', name);
  node.set = (percent) => {
    const p = Math.max(0, Math.min(100, percent || 0));
    if (node.getAttribute('aria-valuenow') === String(Math.round(p)) && fill.style.width === `${p}%`) return;
    fill.style.width = `${p}%`;
    node.setAttribute('aria-valuenow', String(Math.round(p)));
  };
  return node;
}
