// Files: the current folder with breadcrumb and tree, the listing with
// its actions, new folders, uploads and what a torrent holds.
import { ctl, tree, torrent, upload, downloadHref, claimCurdir, getCurdir, setCurdir, inCurdir, namesIn, tooLong } from './api.js';
import { sizeBytes, listingDate, showDate, showBytes, treeNodes } from './parse.js';
import { el, $, setText, put, plain, act, ask, choose, confirmed, bar, note, compareNames } from './ui.js';
import { startTorrent } from './transfers.js';

const DISK_WARN = 90; // per cent used from which the disk bar warns
const LONG = 300; // rows from which only those on screen are built
const rows = new Map(); // "d:name" / "f:name" -> { entry, bytes, time, node, parts }
let sort = { key: 'name', dir: 1 };
let entries = [];
let shown = []; // the rows in order, filtered
let rowHeight = 0, frame = 0, cleared = true;
let refresh = () => {};
let treeKey = '';

export function setupFiles({ onChange }) {
  refresh = onChange;
  // A phone shows the listing first; the tree opens on request.
  if (matchMedia('(max-width: 799px)').matches) $('#tree-box').open = false;
  const disk = bar('Disk usage');
  disk.id = 'disk-bar';
  $('#disk-bar').replaceWith(disk);
  $('#filter').addEventListener('input', order);
  for (const b of document.querySelectorAll('#sort button')) {
    b.addEventListener('click', () => {
      sort = { key: b.dataset.key, dir: sort.key === b.dataset.key ? -sort.dir : 1 };
      order();
    });
  }
  const later = () => { if (!frame) frame = requestAnimationFrame(() => { frame = 0; render(); }); };
  addEventListener('scroll', later, { passive: true });
  addEventListener('resize', () => { rowHeight = 0; later(); });
  addEventListener('hashchange', later);
  $('#mkdir').addEventListener('click', async () => {
    const v = await ask({ title: 'New folder', text: `In ${getCurdir()}`, fields: [{ name: 'name', label: 'Folder name' }], ok: 'Create folder' });
    if (v && v.name && (await act(ctl('mkdir', inCurdir(v.name)), `Folder ${v.name} made`))) changed();
  });
  dropTarget($('#view-files'), uploadFiles);
  $('#upload-input').addEventListener('change', (e) => {
    uploadFiles([...e.target.files]);
    e.target.value = '';
  });
}

/** Goes to a folder ("/" or "/a/b"). */
export function go(dir) {
  setCurdir(dir);
  paintCrumbs();
  paintTreeCurrent();
  clearRows();
  refresh();
}

function clearRows() {
  $('#listing').replaceChildren();
  rows.clear();
  entries = [];
  shown = [];
  cleared = true;
}

function changed() {
  treeKey = '';
  refresh();
}

function paintCrumbs() {
  const dir = getCurdir();
  const parts = dir === '/' ? [] : dir.slice(1).split('/');
  const crumbs = [el('li', {}, el('button', { type: 'button', class: 'link', text: 'Downloads', onclick: () => go('/'), 'aria-current': parts.length ? null : 'page' }))];
  parts.forEach((p, i) => {
    const path = '/' + parts.slice(0, i + 1).join('/');
    crumbs.push(el('li', {}, el('button', { type: 'button', class: 'link', text: p, onclick: () => go(path), 'aria-current': i === parts.length - 1 ? 'page' : null })));
  });
  $('#crumbs').replaceChildren(...crumbs);
}

export async function loadTree() {
  try {
    const root = treeNodes(await tree());
    if (!root) return;
    const build = (node) => el('li', {},
      el('button', { type: 'button', class: 'link', text: node.path === '/' ? 'Downloads' : node.name, 'data-path': node.path, onclick: () => go(node.path) }),
      node.children.length ? el('ul', {}, node.children.map(build)) : null);
    $('#tree').replaceChildren(el('ul', {}, build(root)));
    paintTreeCurrent();
  } catch (e) {
    note(e.message);
  }
}

function paintTreeCurrent() {
  for (const b of document.querySelectorAll('#tree button')) {
    if (b.dataset.path === getCurdir()) b.setAttribute('aria-current', 'true');
    else b.removeAttribute('aria-current');
  }
}

/** Why the box cannot be told about this entry ('' when it can). */
const unsendable = (entry) => {
  const path = inCurdir(entry.file);
  return tooLong(path) || (entry.type === 'd' ? tooLong('/' + path, 'curdir') : '');
};

/** Builds the row's elements; `rec` keeps them while the folder is shown. */
function row(rec) {
  const { entry } = rec;
  const isDir = entry.type === 'd';
  const why = unsendable(entry);
  const parts = {
    name: isDir
      ? el('button', { type: 'button', class: 'link name', disabled: !!why, title: why || null, onclick: () => go('/' + inCurdir(entry.file)) })
      : el('a', { class: 'name', download: '', onclick: claimCurdir }),
    size: el('span', { class: 'size' }),
    date: el('span', { class: 'date' }),
  };
  const more = el('button', { type: 'button', class: 'quiet more', text: '⋯', 'aria-label': `Actions for ${entry.file}`, onclick: () => actions(rec.entry) });
  const node = el('li', { class: isDir ? 'dir' : 'file', title: why || null },
    el('span', { class: 'kind', 'aria-hidden': 'true', text: isDir ? '▸' : '·' }), parts.name, parts.size, parts.date, more);
  rec.node = node;
  rec.parts = parts;
  paintRow(rec);
}

function paintRow(rec) {
  const { parts, entry } = rec;
  setText(parts.name, entry.file);
  if (entry.type !== 'd') {
    const href = downloadHref(entry.inode);
    if (parts.name.getAttribute('href') !== href) parts.name.href = href;
    if (parts.name.title !== `Download ${entry.file}`) parts.name.title = `Download ${entry.file}`;
  }
  setText(parts.size, entry.type === 'd' ? 'folder' : showBytes(sizeBytes(entry.size)));
  setText(parts.date, showDate(listingDate(entry.date)));
}

/** The listing brought up to date with a status object asked for folder
 *  `asked`, in place. */
export function updateFiles(status, asked = status.curdir) {
  // An answer that was on its way when another folder was chosen.
  if (asked !== getCurdir()) return;
  if (status.curdir !== asked) {
    // The folder is gone or was refused: show the top one.
    if (status.curdir !== '/') return;
    setCurdir('/'); paintCrumbs(); paintTreeCurrent();
    clearRows();
  }
  // The reader lends an unchanged listing: then no row moved.
  const same = status.dnl === entries && !cleared;
  entries = status.dnl || [];
  const seen = new Set();
  let dirty = !same && (cleared || entries.length !== rows.size);
  cleared = false;
  for (const e of same ? [] : entries) {
    const key = `${e.type}:${e.file}`;
    seen.add(key);
    let rec = rows.get(key);
    if (!rec) { rec = { node: null }; rows.set(key, rec); dirty = true; }
    const old = rec.entry;
    if (old && old.size === e.size && old.date === e.date && old.inode === e.inode) continue;
    rec.entry = e;
    rec.bytes = sizeBytes(e.size);
    rec.time = +listingDate(e.date) || 0;
    if (rec.node) paintRow(rec);
    dirty ||= sort.key !== 'name'; // a new size or date moves no row in name order
  }
  if (dirty) {
    for (const [k, rec] of rows) if (!seen.has(k)) { if (rec.node) rec.node.remove(); rows.delete(k); }
    order();
  }
  const d = status.disk || {};
  const perc = parseInt(d.perc, 10) || 0;
  $('#disk-bar').set(perc);
  const full = perc >= DISK_WARN;
  $('#disk-bar').classList.toggle('warn', full);
  $('#disk-text').classList.toggle('bad', full);
  setText($('#disk-text'), `${full ? 'The disk is nearly full. ' : ''}Disk: ${showBytes((d.used || 0) * 1024)} used of ${showBytes(((d.used || 0) + (d.available || 0)) * 1024)} (${d.perc || '?'}), ${showBytes((d.available || 0) * 1024)} free`);
  if (same) return;
  const dirs = entries.filter((e) => e.type === 'd').map((e) => e.file).join('/');
  if (dirs + getCurdir() !== treeKey) { treeKey = dirs + getCurdir(); loadTree(); }
  const torrents = document.getElementById('torrent-names');
  const names = entries.filter((e) => e.type !== 'd' && /\.torrent$/i.test(e.file)).map((e) => inCurdir(e.file));
  if (torrents.dataset.names !== names.join('\n')) {
    torrents.dataset.names = names.join('\n');
    torrents.replaceChildren(...names.map((n) => el('option', { value: n })));
  }
}

function order() {
  const filter = $('#filter').value.trim().toLowerCase();
  const name = (a, b) => compareNames(a.entry.file, b.entry.file);
  const by = { name, size: (a, b) => a.bytes - b.bytes, date: (a, b) => a.time - b.time }[sort.key];
  shown = [...rows.values()]
    .filter((r) => !filter || r.entry.file.toLowerCase().includes(filter))
    .sort((a, b) => (a.entry.type === 'd' ? 0 : 1) - (b.entry.type === 'd' ? 0 : 1) || sort.dir * by(a, b) || name(a, b));
  render();
  for (const b of document.querySelectorAll('#sort button')) {
    b.setAttribute('aria-pressed', String(b.dataset.key === sort.key));
    b.dataset.dir = sort.dir > 0 ? 'up' : 'down';
  }
  put($('#listing-empty'), 'hidden', shown.length > 0);
  setText($('#listing-empty'), rows.size ? 'Nothing matches the filter.' : 'This folder is empty.');
}

/** Puts the shown rows in the list; of a long list only those on screen,
 *  with room above and below for the others. */
function render() {
  const list = $('#listing');
  const long = shown.length > LONG;
  list.classList.toggle('long', long);
  let first = 0, last = shown.length;
  if (long) {
    if (!rowHeight && list.firstElementChild) rowHeight = list.firstElementChild.getBoundingClientRect().height;
    const h = rowHeight || 40, top = list.getBoundingClientRect().top;
    first = Math.max(0, Math.floor(-top / h) - 10);
    last = Math.min(shown.length, Math.ceil((innerHeight - top) / h) + 10);
    const pad = (n) => `${n * h}px`;
    if (list.style.paddingTop !== pad(first)) list.style.paddingTop = pad(first);
    if (list.style.paddingBottom !== pad(shown.length - last)) list.style.paddingBottom = pad(shown.length - last);
  } else {
    rowHeight = 0;
    if (list.style.paddingTop) list.style.padding = '';
  }
  const want = shown.slice(first, last);
  const keep = new Set(want);
  for (const node of [...list.children]) if (!keep.has(node.kiv)) node.remove();
  want.forEach((r, i) => {
    if (!r.node) { row(r); r.node.kiv = r; }
    if (list.children[i] !== r.node) list.insertBefore(r.node, list.children[i] || null);
  });
}

/** `target` (a path below the top folder), or another free name for it, or
 *  null: the user is asked when its folder has an entry of that name now. */
async function settle(target, taken, both = true) {
  const at = target.lastIndexOf('/');
  const dir = at < 0 ? '/' : '/' + target.slice(0, at), name = target.slice(at + 1);
  try { taken = taken || (await namesIn(dir)); } catch (e) { note(e.message); return null; }
  if (!taken) { note(`The folder ${dir} is gone.`); return null; }
  if (!taken.has(name)) return target;
  const other = freeName(name, taken);
  const answer = await choose({
    title: `${name} already exists`,
    text: `The folder ${dir} already holds ${name}. Replace it${both ? `, or keep both and name the new one ${other}` : ''}?`,
    choices: [['replace', 'Replace', 'danger'], both && ['both', 'Keep both', 'primary']].filter(Boolean),
  });
  if (answer === 'replace') return target;
  return answer === 'both' ? target.slice(0, at + 1) + other : null;
}

/** "photo (1).jpg": the first such name not taken. */
export function freeName(name, taken) {
  const [, stem, ext = ''] = /^(.+?)((?:\.tar)?\.[A-Za-z0-9]{1,8})?$/.exec(name) || [null, name];
  for (let n = 1; ; n++) {
    const candidate = `${stem} (${n})${ext}`;
    if (!taken.has(candidate)) return candidate;
  }
}

async function actions(entry) {
  const path = inCurdir(entry.file);
  const why = unsendable(entry);
  const choose = (label, fn, cls) => el('button', { type: 'button', class: cls, text: label, disabled: !!why, onclick: () => { dialog.close(); fn(); } });
  const list = [
    entry.type !== 'd' ? el('a', { class: 'button', href: downloadHref(entry.inode), download: '', text: 'Download', onclick: () => { claimCurdir(); dialog.close(); } }) : null,
    entry.type === 'd' ? choose('Open', () => go('/' + path)) : null,
    /\.torrent$/i.test(entry.file) && entry.type !== 'd' ? choose('Show torrent', () => inspect(path)) : null,
    choose('Rename', async () => {
      const v = await ask({ title: `Rename ${entry.file}`, fields: [{ name: 'to', label: 'New name', value: entry.file }], ok: 'Rename' });
      const to = v && v.to && v.to !== entry.file && (await settle(inCurdir(v.to)));
      if (to && (await act(ctl('rename', path, to), 'Renamed'))) changed();
    }),
    choose('Copy', async () => {
      const v = await ask({ title: `Copy ${entry.file}`, fields: [{ name: 'to', label: 'Name of the copy', value: `${entry.file} copy` }], ok: 'Copy' });
      const to = v && v.to && (await settle(inCurdir(v.to)));
      if (to && (await act(ctl('copy', path, to), 'Copied'))) changed();
    }),
    choose('Pack as .tar.gz', async () => { if ((await settle(`${path}.tar.gz`, null, false)) && (await act(ctl('targz', path), `Packed ${entry.file}`))) changed(); }),
    choose('Delete', async () => {
      const what = entry.type === 'd' ? 'the folder and everything in it' : 'the file';
      if (await confirmed(`Delete ${entry.file}`, `Delete ${what}? This cannot be undone.`, 'Delete') &&
          (await act(ctl('rem', path), `Deleted ${entry.file}`))) changed();
    }, 'danger'),
  ];
  const dialog = el('dialog', { 'aria-label': `Actions for ${entry.file}` },
    el('h2', { text: entry.file }),
    el('p', { class: 'muted', text: entry.type === 'd' ? 'Folder' : `${showBytes(sizeBytes(entry.size))} · ${showDate(listingDate(entry.date))}` }),
    why ? el('p', { class: 'bad', text: `The box cannot act on this entry. ${why}` }) : null,
    el('div', { class: 'menu' }, list),
    el('div', { class: 'row end' }, el('button', { type: 'button', text: 'Close', onclick: () => dialog.close() })));
  dialog.addEventListener('close', () => dialog.remove());
  document.body.append(dialog);
  dialog.showModal();
  (dialog.querySelector('.menu > :not(:disabled)') || dialog.querySelector('.row button')).focus();
}

const text = (v) => (typeof v === 'string' || typeof v === 'number' ? String(v) : '');

/** What a torrent holds, and a way to start it. */
export async function inspect(path) {
  let t;
  try { t = await torrent(path); } catch (e) { note(e.message); return; }
  const b = t.benc || {};
  const info = b.info || {};
  const files = Array.isArray(info.files)
    ? info.files.map((f) => ({ name: (Array.isArray(f.path) ? f.path.map(text) : [text(f.path)]).join('/'), length: Number(f.length) || 0 }))
    : [{ name: text(info.name), length: Number(info.length) || 0 }];
  const total = files.reduce((s, f) => s + f.length, 0);
  const trackers = [...new Set([text(b.announce), ...(Array.isArray(b['announce-list']) ? b['announce-list'].flat().map(text) : [])].filter(Boolean))];
  const created = Number(b['creation date']);
  const facts = [
    ['Name', text(info.name)],
    ['Total size', `${showBytes(total)} in ${files.length} file${files.length === 1 ? '' : 's'}`],
    ['Comment', text(b.comment)],
    ['Created', created ? showDate(new Date(created * 1000)) : ''],
    ['Created by', text(b['created by'])],
  ].filter(([, v]) => v);
  const body = el('div', { class: 'torrent' },
    el('dl', {}, facts.map(([k, v]) => [el('dt', { text: k }), el('dd', { text: v })])),
    el('h3', { text: 'Files' }),
    el('ul', { class: 'tfiles' }, files.map((f) => el('li', {}, el('span', { text: f.name }), el('span', { class: 'size', text: showBytes(f.length) })))),
    trackers.length ? [el('h3', { text: 'Trackers' }), el('ul', {}, trackers.map((u) => el('li', { text: u })))] : null);
  const asl = el('input', { type: 'checkbox', name: 'asl' });
  const v = await ask({ title: `Torrent ${text(t.file)}`, body: [body, el('label', { class: 'check' }, asl, 'Alternative status line')],
    fields: [{ name: 'opts', label: 'ctorrent options (optional)', required: false }], ok: 'Start torrent' });
  if (v) startTorrent(path, v.opts.trim(), asl.checked);
}

/** Uploads into the current folder; resolves to the paths stored. */
export async function uploadFiles(files) {
  const list = $('#uploads');
  const dir = getCurdir();
  const stored = [];
  let taken;
  try { taken = await namesIn(dir); } catch (e) { note(e.message); return stored; }
  for (const file of files) {
    const target = await settle(inCurdir(file.name), taken);
    if (!target) continue;
    const name = target.slice(target.lastIndexOf('/') + 1);
    taken.add(name); // two of one name in one choice
    const b = bar(`Upload of ${name}`);
    const state = el('span', { class: 'figures', text: 'waiting' });
    const item = el('li', {}, el('span', { class: 'name', text: name }), b, state);
    list.append(item);
    stored.push(upload(file, (f) => { b.set(f * 100); setText(state, `${Math.floor(f * 100)} %`); }, name, dir)
      .then(() => {
        b.set(100);
        setText(state, `stored in ${dir}`);
        setTimeout(() => item.remove(), 8000);
        refresh();
        return target;
      }, (e) => {
        item.classList.add('bad');
        setText(state, plain(e.message));
        item.append(el('button', { type: 'button', class: 'quiet', text: 'Dismiss', onclick: () => item.remove() }));
        note(`${name}: ${e.message}`);
      }));
  }
  return (await Promise.all(stored)).filter(Boolean);
}

/** Files dropped on a view: `take` gets them. */
export function dropTarget(view, take) {
  view.addEventListener('dragover', (e) => { if (e.dataTransfer.types.includes('Files')) e.preventDefault(); });
  view.addEventListener('drop', (e) => { e.preventDefault(); if (e.dataTransfer.files.length) take([...e.dataTransfer.files]); });
}
