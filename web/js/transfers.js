// Transfers: every job of the status with its progress, from the status
// answer alone, and the forms that start new ones.
import { ctl, jobFile, getCurdir, torrent } from './api.js';
import { noticeText, showBytes, showRate, showSeconds, showPercent } from './parse.js';
import { el, $, setText, put, note, act, confirmed, bar, compareNames, muleText, picker, plain, said, num, slicer, dropTarget, t } from './ui.js';

// Uploads and torrents load when first used: the first load waits for none.
const uploads = () => import('./upload.js'), torrents = () => import('./torrent.js');

const KINDS = [
  ['wgt'],
  ['tor'],
  ['amu', t('eDonkey list')],
  ['nfo', t('Notices')],
];
// The kinds of transfer, with the command that restarts one.
const TRANSFERS = { wgt: 'startdnl', tor: 'starttor' };
const STATES = { '': t('All'), running: t('Running'), queued: t('Queued'), stopped: t('Stopped'), finished: t('Finished'), failed: t('Failed') };
// Every order falls back to newest first.
const SORTS = {
  added: () => 0,
  name: (a, b) => compareNames(a.label, b.label),
  progress: (a, b) => percent(b.job) - percent(a.job),
  speed: (a, b) => (b.job.down || 0) - (a.job.down || 0),
};

const view = {
  rows: new Map(), // "kind:job file name" -> { name, kind, job, node, parts, … }
  chip: '', // the state shown, '' for all
  shown: [], // the transfer rows listed
  total: -1, // till the first status
  last: 0, // the last place in the queue
  pick: null,
  refresh: () => {},
  notifyDone: () => {},
};

export function setupTransfers({ onChange, onDone }) {
  view.refresh = onChange;
  view.notifyDone = onDone;
  const kept = () => ({ text: t('Downloaded files stay.') });
  view.pick = picker($('#job-picks'), { shown: () => view.shown, total: () => view.total, noun: (n) => t('{n} {n|transfer|transfers}', { n }), after: onChange, actions: {
    Stop: [t('Stop'), t('Stopped'), (r) => live(r.job), (r) => ctl('stop', r.name)],
    Restart: [t('Restart'), t('Restarted'), (r) => again(r.job), (r) => ctl(TRANSFERS[r.kind], r.name)],
    Clear: [t('Clear'), t('Cleared'), (r) => !live(r.job), remove, kept],
    Delete: [t('Delete'), t('Deleted'), Boolean, remove, kept] } });
  const url = $('#add-url'), opts = $('#add-opts'), dir = $('#add-dir'), down = $('#add-down');
  // The folders to save in, and the listing for the torrent form's list.
  $('#adders').addEventListener('toggle', () => { if ($('#adders').open) { uploads().then((m) => m.fillFolders(dir)); view.refresh(); } });
  $('#add-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const raw = url.value.split('\n'), lines = raw.map((u) => u.trim());
    const wrong = lines.findIndex((u) => u && refused(u));
    if (wrong >= 0) {
      // The wrong line chosen in the field, and named.
      const start = raw.slice(0, wrong).join('\n').length + (wrong ? 1 : 0);
      url.focus();
      url.setSelectionRange(start, start + raw[wrong].length);
      return note(t('Line {n} ({u}) {why}', { n: wrong + 1, u: lines[wrong], why: refused(lines[wrong]) }));
    }
    const into = dir.value || getCurdir(), urls = lines.filter(Boolean), left = [];
    for (const [n, u] of lines.entries()) {
      if (u && lines.indexOf(u) < n) return note(t('Line {n} ({u}) is line {m} again.', { n: n + 1, u, m: lines.indexOf(u) + 1 }));
      if (u && (await runsAlready(u, into))) return note(t('Line {n} ({u}) is already being downloaded into {dir}.', { n: n + 1, u, dir: into }));
    }
    for (const u of urls)
      // A magnet link goes to the torrent engine, which takes no wget options.
      if (!(await act(MAGNET.test(u) ? ctl('magnet', u, '', { curdir: into, down: down.value.trim() }) : ctl('wget', u, opts.value.trim(), { curdir: into, down: down.value.trim() })))) left.push(u);
    // What was added leaves the field: sent again, it would run twice.
    url.value = left.join('\n');
    if (left.length) return view.refresh();
    note(t(urls.length > 1 ? 'Added {n} downloads to {dir}' : 'Added to {dir}', { n: urls.length, dir: into }), false);
    opts.value = '';
    down.value = '';
    if (location.hash.startsWith('#add=')) history.replaceState(null, '', '#transfers');
    view.refresh();
  });
  $('#tor-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const limits = { down: $('#tor-down').value.trim(), up: $('#tor-up').value.trim() };
    if (await started($('#tor-path').value.trim(), $('#tor-opts').value.trim(), $('#tor-asl').checked, limits)) $('#tor-path').value = '';
  });
  // A .torrent chosen or dropped here is stored in the current folder and started.
  const take = async (files) => {
    const chosen = files.filter((f) => /\.torrent$/i.test(f.name));
    if (chosen.length < files.length) note(t('Only .torrent files can be started here; other files are uploaded in Files.'));
    for (const path of await (await uploads()).uploadFiles(chosen, view.refresh)) await started(path, '', false);
  };
  dropTarget($('#view-transfers'), take);
  $('#tor-file').addEventListener('change', (e) => { take([...e.target.files]); e.target.value = ''; });
  for (const b of $('#chips').children) b.addEventListener('click', () => { view.chip = b.dataset.state; arrange(); });
  $('#job-filter').addEventListener('input', arrange);
  $('#job-sort').addEventListener('change', arrange);
  $('#nukeall').addEventListener('click', async () => {
    if (await confirmed(t('Stop all and clear'), t('Stop every transfer and delete all job files? Downloaded files stay.'), t('Stop all and clear')))
      act(ctl('nukeall')).then(view.refresh);
  });
}

const remove = (r) => ctl('del', r.name);

const ADDRESS = /^(https?|ftp):\/\/[^\s/?#]+([/?#]\S*)?$/i, MAGNET = /^magnet:\?\S+$/;

/** Why a line of the address field is not added ('' when it is). */
function refused(line) {
  return ADDRESS.test(line) || MAGNET.test(line) ? '' : t('is not an address the box can fetch: addresses start with http://, https://, ftp:// or magnet:?.');
}

async function started(...torrent) {
  const ok = await (await torrents()).startTorrent(...torrent);
  if (ok) view.refresh();
  return ok;
}

/** A link such as #add=<url> fills the form; the user confirms. */
export function fillFromLink(url) {
  $('#adders').open = true;
  $('#add-url').value = url;
  $('#add-form button[type=submit]').focus();
}

// A row as made by hand, copied for each job: copying is several times
// cheaper than making its elements one by one, and the first load makes 300.
let model;

/** A job row's elements, built once; buttons, the reason and the detail,
 *  shown only at times, are made when first shown. */
function build(row) {
  const { name, kind } = row;
  model ||= el('li', { class: 'job' }, el('div', { class: 'row' }, el('input', { type: 'checkbox' }), el('span', { class: 'name' }), el('span', { class: 'state' })),
    el('div', { class: 'progress', hidden: true }, bar(''), el('span', { class: 'figures' })),
    el('div', { class: 'actions' }, el('button', { type: 'button', class: 'quiet', text: t('Details'), 'aria-expanded': 'false' }), el('button', { type: 'button', class: 'danger', text: t('Delete') })));
  // Found by place: walking siblings is cheaper than reading children.
  const top = (row.node = model.cloneNode(true)).firstChild, progress = top.nextSibling, actions = progress.nextSibling;
  const box = top.firstChild, source = box.nextSibling, more = actions.firstChild, del = actions.lastChild;
  const parts = (row.parts = { source, state: top.lastChild, bar: bar(t('Progress of {name}', { name }), progress.firstChild), figures: progress.lastChild, actions, progress, del });
  del.onclick = () => view.pick.run('Delete', [row]);
  if (!TRANSFERS[kind]) { box.remove(); more.remove(); return; } // a notice or the eDonkey list
  view.pick.box(row, box);
  parts.more = more;
  more.onclick = () => toggle(row);
  paint(row);
}

/** A button of the row that sends `cmd` for its job. */
const button = (row, text, cmd, to) =>
  (row.parts[text] ||= el('button', { type: 'button', text, onclick: () => act(ctl(cmd, row.name, null, { to })).then(view.refresh) }));

// A job's state as its chip counts it, and as the row says it.
const CODES = { queued: 'queued', metadata: 'running', running: 'running', seeding: 'running', stopped: 'stopped', finished: 'finished', failed: 'failed' };
const WORDS = { queued: t('queued'), running: t('running'), stopped: t('stopped'), finished: t('finished'), failed: t('failed'),
  metadata: t('fetching the torrent'), seeding: t('finished, seeding') };
const live = (job) => ['running', 'queued'].includes(CODES[job.state]);
const again = (job) => job.state === 'stopped' || job.state === 'failed';
const percent = (job) => (job.size > 0 ? Math.floor((job.done * 100) / job.size) : -1);

// A queued job: started outside the queue, or its place changed.
const QUEUED = [[t('Start now'), 'startnow'], [t('Move to top'), 'move', 'top'], [t('Move up'), 'move', 'up'], [t('Move down'), 'move', 'down']];
const grey = (row) => QUEUED.forEach(([text], i) => row.parts?.[text] && put(row.parts[text], 'disabled', i > 0 && row.job.place === (i < 3 ? 1 : view.last)));

/** Paints a transfer's row from its status object. */
function paint(row) {
  const { parts, job } = row;
  setText(parts.source, row.label);
  put(parts.source, 'title', row.label);
  setText(parts.state, job.place > 0 ? t('queued · {n}{th} in line', { n: job.place, th: nth(job.place) }) : WORDS[job.state] || job.state || t('unknown'));
  if (parts.state.dataset.state !== row.code) parts.state.dataset.state = row.code;
  // Whatever it got, a stopped or failed job shows too.
  const p = percent(job), running = live(job);
  put(parts.progress, 'hidden', !(job.done > 0 || p >= 0));
  parts.bar.set(p >= 0 ? p : 0);
  const left = running && job.down > 0 && job.size > 0 ? showSeconds((job.size - job.done) / job.down) : '';
  setText(parts.figures, [p >= 0 && showPercent(p), p >= 0 ? t('{done} of {size}', { done: showBytes(job.done), size: showBytes(job.size) }) : showBytes(job.done || 0),
    running && job.down > 0 && showRate(job.down), running && job.up > 0 && t('up {rate}', { rate: showRate(job.up) }),
    running && job.peers + job.seeds > 0 && t('{s} seeds, {p} peers', { s: job.seeds, p: job.peers }), left && t('{t} left', { t: left })].filter(Boolean).join(' · '));
  const why = job.state === 'failed' && (job.reason ? said(job.reason) : t('It failed; its log says more.'));
  if (why && !parts.reason) parts.progress.after((parts.reason = el('p', { class: 'reason bad' })));
  if (parts.reason) { put(parts.reason, 'hidden', !why); setText(parts.reason, why || ''); }
  const queued = job.place > 0 ? QUEUED.map((b) => button(row, ...b)) : [];
  grey(row);
  const shown = [parts.more, running && button(row, t('Stop'), 'stop'), again(job) && button(row, t('Restart'), TRANSFERS[row.kind]), ...queued, parts.del].filter(Boolean);
  if (shown.some((b, i) => parts.actions.children[i] !== b) || parts.actions.children.length !== shown.length) parts.actions.replaceChildren(...shown);
  put(row.pick, 'ariaLabel', t('Select {name}', { name: row.label }));
}

/** The ending of 1st, 2nd, 3rd, 4th, … 11th, 12th, 13th, … 21st */
const nth = (n) => ((n % 100 > 3 && n % 100 < 21) || n % 10 > 3 ? 'th' : ['th', 'st', 'nd', 'rd'][n % 10]);

/** Opens or closes a transfer's detail: its record and the end of its log,
 *  a torrent's own detail above, read only while it is open. */
function toggle(row) {
  const { more, info, detail: log } = details(row);
  row.open = !row.open;
  more.setAttribute('aria-expanded', String(row.open));
  for (const n of [info, log]) if (n) put(n, 'hidden', !row.open);
  if (row.open) detail(row);
}

/** The row's detail (a torrent's own above it), made when first wanted. */
function details(row) {
  const p = row.parts;
  if (!p.detail) p.actions.before(...[(p.info = row.kind === 'tor' && el('div', { hidden: true })), (p.detail = el('pre', { class: 'out', hidden: true }))].filter(Boolean));
  return p;
}

/** A torrent job's figures, files and trackers, as elements. */
const torrentDetail = (d, { shown }) => shown([[t('Ratio'), d.ratio && num(d.ratio, 2)], [t('Peers'), t('{s} seeds, {p} peers', { s: d.seeds, p: d.peers })], [t('Time left'), showSeconds(d.left)]],
  d.files.map((f) => [f.path, [showBytes(f.size), f.chosen ? percent(f) >= 0 && showPercent(percent(f)) : t('not chosen')].filter(Boolean).join(' · ')]), d.trackers);

const TAIL = 4096; // of a log: the last redraws of its progress and what ended it

async function detail(row) {
  const record = row.name.replace(/\.[^.]*$/, '');
  try {
    const [fields, log, tor, made] = await Promise.all([jobFile(record).catch(() => ''), jobFile(row.name, `-${TAIL}`), row.parts.info && torrent(row.name, 'job').catch((e) => e), row.parts.info && torrents()]);
    const [, source = '', , folder = ''] = fields.split('\n');
    const pid = row.job.obj.slice(row.job.obj.lastIndexOf('@') + 1);
    if (!row.open) return;
    if (tor) row.parts.info.replaceChildren(tor.message != null ? plain(tor.message) : torrentDetail(tor, made));
    const head = [source && t('From {x}', { x: source }), folder && t('Into {x}', { x: folder }), pid && t('Process {x}', { x: pid })].filter(Boolean);
    setText(row.parts.detail, [head.join('\n'), log.split(/\r\n|\r|\n/).filter(Boolean).slice(-12).join('\n')].filter(Boolean).join('\n\n'));
  } catch (e) { setText(row.parts.detail, e.message); }
}

/** The download speed of the running transfers, bytes/s. */
export const totalRate = () => [...view.rows.values()].reduce((sum, r) => sum + (r.job && live(r.job) ? r.job.down || 0 : 0), 0);

/** The file an address names: its last piece, decoded, without the query. */
function fileName(url) {
  const piece = url.replace(/[?#].*/, '').replace(/\/+$/, '').split('/').pop();
  try { return decodeURIComponent(piece); } catch { return piece; }
}

/** Whether `url` runs already into folder `into`: the jobs of its name say. */
async function runsAlready(url, into) {
  for (const r of view.rows.values()) {
    if (r.kind !== 'wgt' || !r.job || !live(r.job) || r.job.name !== fileName(url)) continue;
    const [, source, , folder] = (await jobFile(r.name.replace(/\.[^.]*$/, '')).catch(() => '')).split('\n');
    if (source === url && folder === into) return true;
  }
  return false;
}

/** Brings the job lists up to date with a status object, in place. */
export function updateTransfers(status) {
  const seen = new Set();
  let moved = false;
  for (const [kind, label] of KINDS) {
    const list = label && $(`#jobs-${kind}`);
    const jobs = status[kind] || [];
    if (list) {
      put(list.closest('section'), 'hidden', jobs.length === 0);
      setText(list.closest('section').querySelector('h3'), `${label} (${jobs.length})`);
    }
    jobs.forEach((job, index) => {
      const name = job.obj.slice(0, job.obj.lastIndexOf('@'));
      const key = `${kind}:${name}`;
      seen.add(key);
      let row = view.rows.get(key);
      if (!row) {
        row = { key, name, kind, node: null, job: null, code: '', label: name, open: false };
        view.rows.set(key, row);
        if (!TRANSFERS[kind]) build(row);
        moved = true;
      }
      // The reader lends an unchanged job's object: nothing to paint.
      if (row.job === job) return;
      const was = row.job;
      row.job = job;
      row.added = +job.added || 0; // older boxes give no time: oldest
      moved = true;
      if (!TRANSFERS[kind]) { readFile(row); } else {
        row.label = job.name || name;
        row.code = CODES[job.state] || 'failed';
        if (row.node) paint(row);
        if (row.open) detail(row);
        if (was && live(was) && job.state === 'finished') view.notifyDone(row.label);
      }
      if (list && list.children[index] !== row.node) list.insertBefore(row.node, list.children[index] || null);
    });
  }
  for (const [key, row] of view.rows) if (!seen.has(key)) { row.node?.remove(); view.rows.delete(key); moved = true; }
  // The first moves no higher, the last no lower: known once all are read,
  // since an unchanged row is not painted again when a job joins behind it.
  view.last = Math.max(0, ...[...view.rows.values()].map((r) => r.job.place || 0));
  for (const r of view.rows.values()) grey(r);
  if (moved || view.total < 0) arrange();
}

/** A notice or the eDonkey list: its text, in the row. */
async function readFile(row) {
  const { detail: out } = details(row);
  try {
    const text = await jobFile(row.name);
    out.hidden = false;
    setText(out, row.kind === 'nfo' ? noticeText(text).text : muleText(text));
  } catch (e) { setText(out, e.message); }
  setText(row.parts.source, row.name);
  setText(row.parts.state, row.kind === 'amu' ? t('eDonkey downloads') : t('notice'));
}

/** The transfers in the chosen order, state and filter. */
function arrange() {
  const jobs = [...view.rows.values()].filter((r) => TRANSFERS[r.kind]);
  const counts = { '': jobs.length, running: 0, queued: 0, stopped: 0, finished: 0, failed: 0 };
  for (const r of jobs) counts[r.code]++;
  for (const b of $('#chips').children) {
    const s = b.dataset.state;
    setText(b, `${STATES[s]} (${counts[s]})`);
    put(b, 'ariaPressed', String(s === view.chip));
  }
  const words = $('#job-filter').value.trim().toLowerCase();
  const by = SORTS[$('#job-sort').value] || SORTS.added;
  const shown = jobs.filter((r) => (!view.chip || r.code === view.chip) && (!words || `${r.label} ${r.name}`.toLowerCase().includes(words)))
    .sort((a, b) => by(a, b) || b.added - a.added || compareNames(a.name, b.name));
  view.shown = shown;
  view.total = jobs.length;
  view.pick.paint();
  placeRows();
  put($('#jobs-empty'), 'hidden', shown.length > 0);
  put($('#nukeall'), 'hidden', !view.rows.size);
  setText($('#jobs-empty'), jobs.length ? t('No transfer matches.') : t('No transfers yet.'));
}

const SCREEN = 10; // rows built at once; then in slices

/** Puts the shown rows in order while Transfers shows: hundreds of new
 *  rows never hold the page up. Past the first screen, rows are placed once
 *  all are built: each placed alone would lay the list out again. */
export function placeRows() {
  if ($('#view-transfers').hidden) return;
  const list = $('#jobs'), step = slicer(), rows = view.shown;
  let end = rows.length, next;
  for (const [at, r] of rows.entries()) if (!r.node) {
    if (at >= SCREEN && (next = step())) { next.then(placeRows); end = SCREEN; break; }
    build(r);
  }
  rows.slice(0, end).forEach((r, at) => list.children[at] !== r.node && list.insertBefore(r.node, list.children[at] || null));
  while (list.children.length > end) list.lastChild.remove();
}
