// Torrents: what one holds, and starting one.
import { ctl, torrent } from './api.js';
import { showDate, showBytes } from './parse.js';
import { el, act, ask, note, t } from './ui.js';

/** Starts the torrent file at `path`; resolves to whether it started. */
export const startTorrent = (path, options, asl, limits = {}) =>
  act(ctl('ctor', path, options, { asl: asl ? '1' : '0', ...limits }), t('Torrent started: {path}', { path }));

const text = (v) => (typeof v === 'string' || typeof v === 'number' ? String(v) : '');

/** The facts, files and trackers of a torrent's content, as elements;
 *  a box per file (ticked) goes into `boxes` when there are several. */
function described(b, boxes = []) {
  const info = b.info || {};
  const files = Array.isArray(info.files)
    ? info.files.map((f) => ({ name: (Array.isArray(f.path) ? f.path.map(text) : [text(f.path)]).join('/'), length: Number(f.length) || 0 }))
    : [{ name: text(info.name), length: Number(info.length) || 0 }];
  const total = files.reduce((s, f) => s + f.length, 0);
  const trackers = [...new Set([text(b.announce), ...(Array.isArray(b['announce-list']) ? b['announce-list'].flat().map(text) : [])].filter(Boolean))];
  const created = Number(b['creation date']);
  const facts = [
    [t('Name'), text(info.name)],
    [t('Total size'), t('{size} in {n} {n|file|files}', { size: showBytes(total), n: files.length })],
    [t('Comment'), text(b.comment)],
    [t('Created'), created ? showDate(new Date(created * 1000)) : ''],
    [t('Created by'), text(b['created by'])],
  ];
  return shown(facts, files.map((f, i) => [files.length > 1 ? el('label', { class: 'check' }, boxes[i] = el('input', { type: 'checkbox', checked: true }), f.name) : f.name,
    showBytes(f.length)]), trackers);
}

/** Facts (those with a value), files ([name, size]) and trackers as
 *  elements: a torrent's, or a torrent job's. */
export const shown = (facts, files, trackers) => el('div', { class: 'torrent' },
  el('dl', {}, facts.filter(([, v]) => v).map(([k, v]) => [el('dt', { text: k }), el('dd', { text: v })])),
  el('h3', { text: t('Files') }),
  el('ul', { class: 'tfiles' }, files.map(([name, size]) => el('li', {}, el('span', {}, name), el('span', { class: 'size', text: size })))),
  trackers.length ? [el('h3', { text: t('Trackers') }), el('ul', {}, trackers.map((u) => el('li', { text: u })))] : null);

/** Shows what the torrent at `path` holds, with a way to start it;
 *  resolves to whether it was started. */
export async function inspect(path) {
  let tor;
  try { tor = await torrent(path); } catch (e) { note(e.message); return false; }
  const asl = el('input', { type: 'checkbox', name: 'asl' }), boxes = [];
  const v = await ask({ title: t('Torrent {name}', { name: text(tor.file) }), body: [described(tor.benc || {}, boxes), el('label', { class: 'check' }, asl, t('Alternative status line'))],
    fields: [{ name: 'opts', label: t('ctorrent options (optional)'), required: false }], ok: t('Start torrent') });
  if (!v) return false;
  // The numbers of the ticked files; none sent when all are.
  const files = boxes.flatMap((b, i) => (b.checked ? [i + 1] : []));
  if (boxes.length && !files.length) return note(t('Choose at least one file to fetch.')), false;
  return startTorrent(path, v.opts.trim(), asl.checked, files.length < boxes.length ? { files: files.join(',') } : {});
}
