// Transfers: every job of the status with its progress from its job log,
// and the forms that start new ones.
import { ctl, jobFile, getCurdir, tree } from './api.js';
import { uploadFiles, dropTarget } from './upload.js';
import { startTorrent } from './torrent.js';
import { wgetLog, ctorrentLog, noticeText, rateBytes, treeNodes } from './parse.js';
import { el, $, setText, put, note, act, confirmed, bar, compareNames } from './ui.js';

const KINDS = [
  ['wgt'],
  ['tor'],
  ['amu', 'eDonkey list'],
  ['nfo', 'Notices'],
];
const STATES = { '': 'All', running: 'Running', stopped: 'Stopped', finished: 'Finished', failed: 'Failed' };
// Every order falls back to newest first.
const SORTS = {
  added: () => 0,
  name: (a, b) => compareNames(a.label, b.label),
  progress: (a, b) => (b.info?.percent ?? -1) - (a.info?.percent ?? -1),
  speed: (a, b) => b.rate - a.rate,
};

const view = {
  rows: new Map(), // "kind:job file name" -> { node, parts, info, running, … }
  chip: '', // the state shown, '' for all
  lists: [], // the job lists of the last status, as the reader lent them
  unread: new Set(), // rows whose logs were never read
  reading: null, // the reading of those, while it runs
  refresh: () => {},
  notifyDone: () => {},
};

export function setupTransfers({ onChange, onDone }) {
  view.refresh = onChange;
  view.notifyDone = onDone;
  const url = $('#add-url'), opts = $('#add-opts'), dir = $('#add-dir'), down = $('#add-down');
  // The folders to save in, the one shown in Files chosen, each time the form opens.
  $('#adders').addEventListener('toggle', () => { if ($('#adders').open) fillFolders(dir); });
  $('#add-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const urls = url.value.split('\n').map((u) => u.trim()).filter(Boolean);
    if (urls.some((u) => /^magnet:/i.test(u)))
      return note('A magnet link cannot be added: the BitTorrent client here cannot fetch what a torrent holds. Save its .torrent file in the downloads and start that.');
    let added = 0;
    const into = dir.value || getCurdir();
    for (const u of urls) if (await act(ctl('wget', u, opts.value.trim(), { curdir: into, down: down.value.trim() }))) added++;
    if (added === urls.length) {
      note(`Added ${added > 1 ? `${added} downloads ` : ''}to ${into}`, false);
      url.value = '';
      opts.value = '';
      down.value = '';
      if (location.hash.startsWith('#add=')) history.replaceState(null, '', '#transfers');
      view.refresh();
    }
  });
  $('#tor-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const limits = { down: $('#tor-down').value.trim(), up: $('#tor-up').value.trim() };
    if (await started($('#tor-path').value.trim(), $('#tor-opts').value.trim(), $('#tor-asl').checked, limits)) $('#tor-path').value = '';
  });
  // A .torrent chosen or dropped here is stored in the current folder and started.
  const torrents = async (files) => {
    const chosen = files.filter((f) => /\.torrent$/i.test(f.name));
    if (chosen.length < files.length) note('Only .torrent files can be started here; other files are uploaded in Files.');
    for (const path of await uploadFiles(chosen, view.refresh)) await started(path, '', false);
  };
  dropTarget($('#view-transfers'), torrents);
  $('#tor-file').addEventListener('change', (e) => { torrents([...e.target.files]); e.target.value = ''; });
  $('#clear-done').addEventListener('click', async () => {
    await readUnread();
    const done = [...view.rows.values()].filter((r) => !r.running && r.info && r.info.finished);
    if (!done.length) return note('No finished transfers to clear.', false);
    if (await confirmed('Clear finished', `Delete the records of ${done.length} finished transfer${done.length > 1 ? 's' : ''}? Downloaded files stay.`, 'Clear'))
      for (const r of done) await act(ctl('del', r.name));
    view.refresh();
  });
  for (const b of $('#chips').children) b.addEventListener('click', () => { view.chip = b.dataset.state; arrange(); });
  $('#job-filter').addEventListener('input', arrange);
  $('#job-sort').addEventListener('change', arrange);
  $('#nukeall').addEventListener('click', async () => {
    if (await confirmed('Stop all and clear', 'Stop every transfer and delete all job files? Downloaded files stay.', 'Stop all and clear'))
      act(ctl('nukeall')).then(view.refresh);
  });
}

/** Fills `select` with every folder of the tree, the current one chosen. */
async function fillFolders(select) {
  try {
    const paths = [];
    const walk = (node) => { paths.push(node.path); node.children.forEach(walk); };
    const root = treeNodes(await tree());
    if (root) walk(root);
    const current = getCurdir();
    if (!paths.includes(current)) paths.push(current);
    select.replaceChildren(...paths.map((p) => el('option', { value: p, text: p === '/' ? 'Downloads' : `Downloads${p}` })));
    select.value = current;
  } catch (e) {
    note(e.message);
  }
}

async function started(...torrent) {
  const ok = await startTorrent(...torrent);
  if (ok) view.refresh();
  return ok;
}

/** A link such as #add=<url> fills the form; the user confirms. */
export function fillFromLink(url) {
  $('#adders').open = true;
  $('#add-url').value = url;
  $('#add-form button[type=submit]').focus();
}

function jobRow(name, kind) {
  const parts = {
    source: el('span', { class: 'name' }),
    state: el('span', { class: 'state' }),
    bar: bar(`Progress of ${name}`),
    figures: el('span', { class: 'figures' }),
    detail: el('pre', { class: 'out', hidden: true }),
    reason: el('p', { class: 'reason bad', hidden: true }),
    actions: el('div', { class: 'actions' }),
  };
  const restart = kind === 'wgt' ? 'startdnl' : 'starttor';
  if (kind === 'wgt' || kind === 'tor') {
    parts.stop = el('button', { type: 'button', text: 'Stop', onclick: () => act(ctl('stop', name)).then(view.refresh) });
    parts.restart = el('button', { type: 'button', text: 'Restart', onclick: () => act(ctl(restart, name)).then(view.refresh) });
    parts.actions.append(parts.stop, parts.restart);
  }
  parts.actions.append(el('button', { type: 'button', class: 'danger', text: 'Delete',
    onclick: async () => {
      if (await confirmed('Delete transfer', `Stop and delete the job ${name}? Downloaded files stay.`, 'Delete'))
        act(ctl('del', name)).then(view.refresh);
    } }));
  const progress = el('div', { class: 'progress' }, parts.bar, parts.figures);
  const node = el('li', { class: 'job' },
    el('div', { class: 'row' }, parts.source, parts.state), progress, parts.reason, parts.detail, parts.actions);
  parts.progress = progress;
  if (kind === 'nfo' || kind === 'amu') progress.hidden = true;
  const row = { node, parts, info: null, running: false, kind, fetched: false, onScreen: false, source: '', label: name, code: 'stopped', rate: 0, added: 0 };
  node.kiv = row;
  return row;
}

// Logs are read for the rows on screen only.
const screen = 'IntersectionObserver' in window ? new IntersectionObserver((seen) => {
  for (const { target, isIntersecting } of seen) {
    const row = target.kiv;
    row.onScreen = isIntersecting;
    if (isIntersecting && !row.fetched && !$('#view-transfers').hidden) loadLog(row.name, row).then(() => paint(row.name, row));
  }
}) : null;

const TAIL = 4096; // the last redraws of a progress display and what ends it
const HEAD = 2048; // the first line names the source

async function loadLog(name, row) {
  try {
    if (row.kind === 'wgt' || row.kind === 'tor') {
      // The first line once, then only the tail: logs grow with every redraw.
      const read = row.kind === 'wgt' ? wgetLog : ctorrentLog;
      if (!row.source) row.source = read((await jobFile(name, `0-${HEAD - 1}`)).split(/\r|\n/)[0]).source;
      row.info = read(await jobFile(name, `-${TAIL}`));
    } else {
      const text = await jobFile(name);
      row.info = { text: row.kind === 'nfo' ? noticeText(text).text : text };
    }
    row.fetched = true;
  } catch (e) {
    row.info = row.info || { error: e.message };
  }
}

function paint(name, row) {
  const { parts, info, running, pid } = row;
  const i = info || {};
  if (row.kind === 'nfo' || row.kind === 'amu') {
    setText(parts.source, name);
    setText(parts.state, row.kind === 'amu' ? 'eDonkey downloads' : 'notice');
    put(parts.detail, 'hidden', !i.text);
    setText(parts.detail, i.text || '');
    return;
  }
  row.label = row.kind === 'wgt' ? fileName(row.source) || name : row.source || name;
  setText(parts.source, row.label);
  if (parts.source.title !== (row.source || name)) parts.source.title = row.source || name;
  const failed = !running && !i.finished && !!i.error;
  // A job not running whose log is still unread is in no state yet.
  const code = row.code = running ? 'running' : !info ? 'unread' : i.finished ? 'finished' : failed ? 'failed' : 'stopped';
  setText(parts.state, running && i.finished ? 'seeding' : running ? `running · process ${pid}` : code === 'unread' ? '…' : code);
  row.rate = running && !i.finished ? rateBytes(i.speed) : 0;
  if (parts.state.dataset.state !== code) parts.state.dataset.state = code;
  const showBar = (running || i.finished) && i.percent != null;
  put(parts.progress, 'hidden', !showBar);
  if (showBar) {
    parts.bar.set(i.percent);
    setText(parts.figures, [`${i.percent} %`, i.done, i.speed && running ? i.speed : '', i.left && running ? `${i.left} left` : '']
      .filter(Boolean).join(' · '));
  }
  put(parts.reason, 'hidden', !failed);
  setText(parts.reason, failed ? i.error : '');
  put(parts.stop, 'disabled', !running);
  put(parts.restart, 'disabled', running);
}

/** The download speed of the running jobs whose logs were read, bytes/s. */
export const totalRate = () => [...view.rows.values()].reduce((sum, r) => sum + r.rate, 0);

/** The file an address names: its last piece, decoded, without the query. */
function fileName(url) {
  const piece = url.replace(/[?#].*/, '').replace(/\/+$/, '').split('/').pop();
  try { return decodeURIComponent(piece); } catch { return piece; }
}

/** Brings the job lists up to date with a status object, in place. */
export async function updateTransfers(status) {
  const seen = new Set();
  const fetches = [];
  const shown = !$('#view-transfers').hidden;
  for (const [kind, label] of KINDS) {
    const list = label && $(`#jobs-${kind}`);
    const jobs = status[kind] || [];
    if (list) {
      put(list.closest('section'), 'hidden', jobs.length === 0);
      setText(list.closest('section').querySelector('h3'), `${label} (${jobs.length})`);
    }
    jobs.forEach((job, index) => {
      const at = job.obj.lastIndexOf('@');
      const name = job.obj.slice(0, at), pid = job.obj.slice(at + 1);
      const key = `${kind}:${name}`;
      seen.add(key);
      let row = view.rows.get(key);
      if (!row) { row = jobRow(name, kind); row.name = name; view.rows.set(key, row); }
      const wasRunning = row.running;
      row.running = pid !== '';
      row.pid = pid;
      row.added = +job.added || 0; // older boxes give no time: oldest
      // Logs are read when a job ends (for the notification), while it runs
      // only on screen, and otherwise once, in the background.
      const onScreen = shown && (row.onScreen || !screen);
      if ((wasRunning && !row.running) || (onScreen && (row.running || !row.fetched)))
        fetches.push(loadLog(name, row).then(() => {
          if (wasRunning && !row.running && row.info && row.info.finished) view.notifyDone(row.source || name);
        }));
      else if (shown && !row.fetched) view.unread.add(row);
      if (list && list.children[index] !== row.node) {
        list.insertBefore(row.node, list.children[index] || null);
        if (screen) screen.observe(row.node);
      }
    });
  }
  for (const [key, row] of view.rows) if (!seen.has(key)) { if (screen) screen.unobserve(row.node); row.node.remove(); view.rows.delete(key); view.unread.delete(row); }
  await Promise.all(fetches);
  // Job lists the reader lent unchanged and no log read: nothing to repaint.
  const lists = KINDS.map(([kind]) => status[kind]);
  if (fetches.length || lists.some((l, i) => l !== view.lists[i])) {
    for (const [key, row] of view.rows) paint(key.slice(4), row);
    arrange();
  }
  view.lists = lists;
  readUnread();
}

// The jobs whose logs were never read: the state counts, the name order
// and the filter need each once. Read a few at a time while Transfers is
// shown, after the rows on screen.
const AT_ONCE = 4;

/** Resolves when every unread log is read (or Transfers was left). */
function readUnread() {
  view.reading ||= (async () => {
    while (view.unread.size && !$('#view-transfers').hidden) {
      const batch = [...view.unread].slice(0, AT_ONCE);
      for (const row of batch) view.unread.delete(row);
      const live = batch.filter((row) => !row.fetched && view.rows.get(`${row.kind}:${row.name}`) === row);
      await Promise.all(live.map((row) => loadLog(row.name, row)));
      for (const row of live) paint(row.name, row);
      arrange();
    }
  })().finally(() => { view.reading = null; });
  return view.reading;
}

/** The transfers in the chosen order, state and filter; moves only what moved. */
function arrange() {
  const jobs = [...view.rows.values()].filter((r) => r.kind === 'wgt' || r.kind === 'tor');
  const counts = { '': jobs.length, running: 0, stopped: 0, finished: 0, failed: 0 };
  for (const r of jobs) if (r.code in counts) counts[r.code]++;
  for (const b of $('#chips').children) {
    const s = b.dataset.state;
    setText(b, `${STATES[s]} (${counts[s]})`);
    put(b, 'ariaPressed', String(s === view.chip));
  }
  const words = $('#job-filter').value.trim().toLowerCase();
  const by = SORTS[$('#job-sort').value] || SORTS.added;
  const shown = jobs.filter((r) => (!view.chip || r.code === view.chip) && (!words || `${r.label} ${r.source}`.toLowerCase().includes(words)))
    .sort((a, b) => by(a, b) || b.added - a.added || compareNames(a.name, b.name));
  const list = $('#jobs');
  shown.forEach((r, index) => {
    if (list.children[index] !== r.node) {
      list.insertBefore(r.node, list.children[index] || null);
      if (screen) screen.observe(r.node);
    }
  });
  while (list.children.length > shown.length) {
    const gone = list.lastChild;
    if (screen) screen.unobserve(gone);
    gone.remove();
  }
  put($('#jobs-empty'), 'hidden', shown.length > 0);
  setText($('#jobs-empty'), jobs.length ? 'No transfer matches.' : 'No transfers yet.');
}
