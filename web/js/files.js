// Files: the current folder, its tree, and the listing with its actions.
import { ctl, tree, downloadHref, claimCurdir, getCurdir, setCurdir, inCurdir, tooLong, namesIn } from './api.js';
import { sizeBytes, listingDate, showDate, showBytes, treeNodes } from './parse.js';
import { el, $, setText, put, act, ask, modal, bar, note, compareNames, picker, slicer, dropTarget, t } from './ui.js';
import { settle, uploadFiles, fillFolders } from './upload.js';
import { inspect } from './torrent.js';

const DISK_WARN = 90; // per cent used from which the disk bar warns
const LONG = 300; // rows from which only those on screen are built

const view = {
  rows: new Map(), // "d:name" / "f:name" -> { key, label, path, entry, bytes, time, node, parts, pick }
  entries: [], // the listing as last read
  shown: [], // the rows in order, filtered
  sort: { key: 'name', dir: 1 },
  rowHeight: 0, // of a long list's rows, measured once drawn
  frame: 0, // a redraw asked for on scrolling
  cleared: true, // no listing read since the folder changed
  treeKey: '', // the folders of the listing the tree was read with
  refresh: () => {},
  pick: null, // the rows chosen
  to: null, taken: null, // where Move goes, and the names there
};

export function setupFiles({ onChange }) {
  view.refresh = onChange;
  const sent = (step) => (r) => unsendable(r.entry) || step(r);
  view.pick = picker($('#picks'), { shown: () => view.shown, total: () => view.rows.size, noun: (n) => t('{n} {n|entry|entries}', { n }), after: changed, actions: {
    Move: [t('Move'), t('Moved'), Boolean, sent(move), into],
    Pack: [t('Pack'), t('Packed'), Boolean, sent((r) => ctl('targz', r.path)), () => ({ text: t('Each as its own .tar.gz.') })],
    Delete: [t('Delete'), t('Deleted'), Boolean, sent((r) => ctl('rem', r.path)), () => ({ text: t('This cannot be undone.') })] } });
  // A phone shows the listing first; the tree opens on request.
  if (matchMedia('(max-width: 799px)').matches) $('#tree-box').open = false;
  const disk = bar(t('Disk usage'));
  disk.id = 'disk-bar';
  $('#disk-bar').replaceWith(disk);
  $('#filter').addEventListener('input', order);
  for (const b of document.querySelectorAll('#sort button')) {
    b.addEventListener('click', () => {
      view.sort = { key: b.dataset.key, dir: view.sort.key === b.dataset.key ? -view.sort.dir : 1 };
      order();
    });
  }
  const later = () => { if (!view.frame) view.frame = requestAnimationFrame(() => { view.frame = 0; render(); }); };
  addEventListener('scroll', later, { passive: true });
  addEventListener('resize', () => { view.rowHeight = 0; later(); });
  addEventListener('hashchange', later);
  $('#mkdir').addEventListener('click', async () => {
    const v = await ask({ title: t('New folder'), text: t('In {dir}', { dir: getCurdir() }), fields: [{ name: 'name', label: t('Folder name') }], ok: t('Create folder') });
    if (v && v.name && (await act(ctl('mkdir', inCurdir(v.name)), t('Folder {name} made', { name: v.name })))) changed();
  });
  const take = (files) => uploadFiles(files, view.refresh);
  dropTarget($('#view-files'), take);
  $('#upload-input').addEventListener('change', (e) => {
    take([...e.target.files]);
    e.target.value = '';
  });
  // The folder the page was in, as the cookie kept it.
  paintCrumbs();
  paintTreeCurrent();
  clearRows();
}

/** Goes to a folder ("/" or "/a/b"). */
function go(dir) {
  setCurdir(dir);
  paintCrumbs();
  paintTreeCurrent();
  clearRows();
  view.refresh();
}

function clearRows() {
  $('#listing').replaceChildren();
  view.rows.clear();
  view.entries = [];
  view.shown = [];
  view.cleared = true;
  view.pick.paint();
}

function changed() {
  view.treeKey = '';
  view.refresh();
}

function paintCrumbs() {
  const dir = getCurdir(), parts = dir === '/' ? [] : dir.slice(1).split('/');
  $('#crumbs').replaceChildren(...[t('Downloads'), ...parts].map((p, i) => el('li', {}, el('button', { type: 'button', class: 'link', text: p,
    onclick: () => go('/' + parts.slice(0, i).join('/')), 'aria-current': i === parts.length ? 'page' : null }))));
}

export async function loadTree() {
  try {
    const root = treeNodes(await tree());
    if (!root) return;
    const build = (node) => el('li', {},
      el('button', { type: 'button', class: 'link', text: node.path === '/' ? t('Downloads') : node.name, 'data-path': node.path, onclick: () => go(node.path) }),
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
  const more = el('button', { type: 'button', class: 'quiet more', text: '⋯', 'aria-label': t('Actions for {name}', { name: entry.file }), onclick: () => actions(rec) });
  const node = el('li', { class: isDir ? 'dir' : 'file', title: why || null },
    view.pick.box(rec), parts.name, parts.size, parts.date, more);
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
    put(parts.name, 'title', t('Download {name}', { name: entry.file }));
  }
  setText(parts.size, entry.type === 'd' ? t('folder') : showBytes(sizeBytes(entry.size)));
  setText(parts.date, showDate(listingDate(entry.date)));
}

/** The listing brought up to date with a status object asked for folder
 *  `asked`, in place. */
export async function updateFiles(status, asked = status.curdir) {
  if (!status.dnl) return; // asked for without the listing
  // An answer that was on its way when another folder was chosen.
  if (asked !== getCurdir()) return;
  if (status.curdir !== asked) {
    // The folder is gone or was refused: show the top one.
    if (status.curdir !== '/') return;
    setCurdir('/'); paintCrumbs(); paintTreeCurrent();
    clearRows();
  }
  // The reader lends an unchanged listing: then no row moved.
  const same = status.dnl === view.entries && !view.cleared;
  view.entries = status.dnl || [];
  const seen = new Set();
  let dirty = !same && (view.cleared || view.entries.length !== view.rows.size);
  view.cleared = false;
  const step = slicer();
  let i = 0, next;
  for (const e of same ? [] : view.entries) {
    if (!(++i & 255) && (next = step()) && (await next, view.cleared)) return; // another folder
    const key = `${e.type}:${e.file}`;
    seen.add(key);
    let rec = view.rows.get(key);
    if (!rec) { rec = { node: null, key, label: e.file, path: inCurdir(e.file) }; view.rows.set(key, rec); dirty = true; }
    const old = rec.entry;
    if (old && old.size === e.size && old.date === e.date && old.inode === e.inode) continue;
    rec.entry = e;
    rec.bytes = rec.time = null; // read when sorted by them
    if (rec.node) paintRow(rec);
    dirty ||= view.sort.key !== 'name'; // a new size or date moves no row in name order
  }
  if (dirty) {
    for (const [k, rec] of view.rows) if (!seen.has(k)) { if (rec.node) rec.node.remove(); view.rows.delete(k); }
    order();
  }
  const d = status.disk || {};
  const perc = parseInt(d.perc, 10) || 0;
  $('#disk-bar').set(perc);
  const full = perc >= DISK_WARN;
  $('#disk-bar').classList.toggle('warn', full);
  $('#disk-text').classList.toggle('bad', full);
  const kb = (n) => showBytes(n * 1024), used = d.used || 0, free = d.available || 0;
  setText($('#disk-text'), (full ? t('The disk is nearly full.') + ' ' : '') + t('Disk: {used} used of {total} ({perc}), {free} free',
    { used: kb(used), total: kb(used + free), perc: d.perc || '?', free: kb(free) }));
  if (same) return;
  const dirs = view.entries.filter((e) => e.type === 'd').map((e) => e.file).join('/');
  if (dirs + getCurdir() !== view.treeKey) { view.treeKey = dirs + getCurdir(); loadTree(); }
  const torrents = document.getElementById('torrent-names');
  const names = view.entries.filter((e) => e.type !== 'd' && /\.torrent$/i.test(e.file)).map((e) => inCurdir(e.file));
  if (torrents.dataset.names !== names.join('\n')) {
    torrents.dataset.names = names.join('\n');
    torrents.replaceChildren(...names.map((n) => el('option', { value: n })));
  }
}

function order() {
  const filter = $('#filter').value.trim().toLowerCase();
  const name = (a, b) => compareNames(a.entry.file, b.entry.file);
  const bytes = (r) => (r.bytes ??= sizeBytes(r.entry.size)), time = (r) => (r.time ??= +listingDate(r.entry.date) || 0);
  const by = { name, size: (a, b) => bytes(a) - bytes(b), date: (a, b) => time(a) - time(b) }[view.sort.key];
  view.shown = [...view.rows.values()]
    .filter((r) => !filter || r.entry.file.toLowerCase().includes(filter))
    .sort((a, b) => (a.entry.type === 'd' ? 0 : 1) - (b.entry.type === 'd' ? 0 : 1) || view.sort.dir * by(a, b) || name(a, b));
  render();
  for (const b of document.querySelectorAll('#sort button')) {
    b.setAttribute('aria-pressed', String(b.dataset.key === view.sort.key));
    b.dataset.dir = view.sort.dir > 0 ? 'up' : 'down';
  }
  put($('#listing-empty'), 'hidden', view.shown.length > 0);
  setText($('#listing-empty'), view.rows.size ? t('Nothing matches the filter.') : t('This folder is empty.'));
  view.pick.paint();
}

/** Puts the shown rows in the list; of a long list only those on screen,
 *  with room above and below for the others. */
function render() {
  const list = $('#listing');
  const long = view.shown.length > LONG;
  list.classList.toggle('long', long);
  let first = 0, last = view.shown.length;
  if (long) {
    if (!view.rowHeight && list.firstElementChild) view.rowHeight = list.firstElementChild.getBoundingClientRect().height;
    const h = view.rowHeight || 40, top = list.getBoundingClientRect().top;
    first = Math.max(0, Math.floor(-top / h) - 10);
    last = Math.min(view.shown.length, Math.ceil((innerHeight - top) / h) + 10);
    const pad = (n) => `${n * h}px`;
    if (list.style.paddingTop !== pad(first)) list.style.paddingTop = pad(first);
    if (list.style.paddingBottom !== pad(view.shown.length - last)) list.style.paddingBottom = pad(view.shown.length - last);
  } else {
    view.rowHeight = 0;
    if (list.style.paddingTop) list.style.padding = '';
  }
  const want = view.shown.slice(first, last);
  const keep = new Set(want);
  for (const node of [...list.children]) if (!keep.has(node.kiv)) node.remove();
  want.forEach((r, i) => {
    if (!r.node) { row(r); r.node.kiv = r; }
    if (list.children[i] !== r.node) list.insertBefore(r.node, list.children[i] || null);
  });
}

async function actions(rec) {
  const { entry } = rec, dir = entry.type === 'd';
  const path = inCurdir(entry.file);
  const why = unsendable(entry);
  const choose = (label, fn, cls) => el('button', { type: 'button', class: cls, text: label, disabled: !!why, onclick: () => { dialog.close(); fn(); } });
  const list = [
    !dir && el('a', { class: 'button', href: downloadHref(entry.inode), download: '', text: t('Download'), onclick: () => { claimCurdir(); dialog.close(); } }),
    dir && choose(t('Open'), () => go('/' + path)),
    !dir && /\.torrent$/i.test(entry.file) && choose(t('Show torrent'), async () => { if (await inspect(path)) view.refresh(); }),
    [['rename', t('Rename'), t('New name'), entry.file, t('Renamed')], ['copy', t('Copy'), t('Name of the copy'), t('{name} copy', { name: entry.file }), t('Copied')]].map(([cmd, word, label, value, done]) => choose(word, async () => {
      const v = await ask({ title: t('{do} {what}', { do: word, what: entry.file }), fields: [{ name: 'to', label, value }], ok: word });
      const to = v && v.to && v.to !== entry.file && (await settle(inCurdir(v.to)));
      if (to && (await act(ctl(cmd, path, to), done))) changed();
    })),
    choose(t('Pack as .tar.gz'), () => view.pick.run('Pack', [rec])),
    choose(t('Delete'), () => view.pick.run('Delete', [rec]), 'danger'),
  ];
  const close = el('button', { type: 'button', text: t('Close'), onclick: () => dialog.close() });
  const dialog = el('dialog', { 'aria-label': t('Actions for {name}', { name: entry.file }) },
    el('h2', { text: entry.file }),
    el('p', { class: 'muted', text: dir ? t('Folder') : `${showBytes(sizeBytes(entry.size))} · ${showDate(listingDate(entry.date))}` }),
    why ? el('p', { class: 'bad', text: t('The box cannot act on this entry. {why}', { why }) }) : null,
    el('div', { class: 'menu' }, list),
    el('div', { class: 'row end' }, close));
  modal(dialog, dialog.querySelector('.menu > :not(:disabled)') || close);
}

/** Move asks where to: another folder of the tree. */
async function into() {
  const to = (view.to = el('select', { required: true }));
  view.taken = null;
  await fillFolders(to, getCurdir());
  return { body: el('label', {}, t('Into the folder'), to) };
}

/** A name taken there is replaced or kept as the user says. */
async function move(r) {
  const dir = view.to.value;
  view.taken ||= (await namesIn(dir)) || new Set();
  const target = await settle(`${dir}/${r.entry.file}`.replace(/^\/+/, ''), view.taken);
  if (!target) return t('Not moved: {dir} holds one of that name.', { dir });
  view.taken.add(target.slice(target.lastIndexOf('/') + 1));
  return ctl('rename', r.path, target);
}
