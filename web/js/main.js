// The page: tabs, the live status, the header counts and the release notice.
import { status, jobFile, setCurdir, getCurdir } from './api.js';
import { noticeText, showRate } from './parse.js';
import { el, $, setText, put, note, compareNames, said, stored, store, t } from './ui.js';
import { setupTransfers, updateTransfers, fillFromLink, totalRate, placeRows } from './transfers.js';

const PERIOD = 3000;
const VIEWS = ['transfers', 'files', 'settings'];
let timer = 0, busy = false, again = false, notices = '';
let early = null; // the first status, asked for before the views are set up
let listed = false; // whether the last status carried the listing
let settings, ready, queue; // Settings' module, loaded when first shown; the last status's queue
let files; // Files' module, loaded when a listing is first wanted

const viewOf = (hash) => (hash.startsWith('#add=') ? 'transfers' : VIEWS.includes(hash.slice(1)) ? hash.slice(1) : 'files');
// The listing only where it shows: it can be most of the answer.
const wantsListing = () => viewOf(location.hash) === 'files' || $('#adders').open;

function show(view) {
  for (const v of VIEWS) {
    $(`#view-${v}`).hidden = v !== view || (v === 'settings' && !ready);
    $(`#tab-${v}`).setAttribute('aria-selected', String(v === view));
    $(`#tab-${v}`).tabIndex = v === view ? 0 : -1;
  }
  if (view === 'settings') (settings ||= import('./settings.js').then((m) => (m.setupSettings({ onChange: refresh }), m))).then((m) => {
    m.updateQueue(queue);
    ready = true;
    if (viewOf(location.hash) === 'settings') { $('#view-settings').hidden = false; m.readLock(); m.loadScripts(); }
  }, () => { settings = null; note(t('Settings could not be loaded; open them again.')); });
  if (view === 'transfers') placeRows();
  if (view === 'files') filesView();
}

/** Files' module, set up; loaded when first wanted, tried again after a failure. */
function filesView() {
  return (files ||= import('./files.js').then((m) => (m.setupFiles({ onChange: refresh }), m), (e) => { files = null; throw e; }));
}

function route() {
  const hash = location.hash;
  if (hash.startsWith('#add=')) {
    show('transfers');
    let url = hash.slice(5);
    try { url = decodeURIComponent(url); } catch { /* shown as it came */ }
    fillFromLink(url);
    return;
  }
  show(viewOf(hash));
}

/** One status refresh; calls that come while one runs are folded into one more. */
async function refresh() {
  if (busy) { again = true; return; }
  busy = true;
  try {
    const asked = getCurdir();
    const first = early;
    early = null;
    const s = await (first || status(true, false, asked, wantsListing()));
    listed = !!s.dnl;
    if (s.dnl) await (await filesView()).updateFiles(s, asked);
    resumedNotice(s);
    limitsNotice((queue = s.queue));
    settings?.then((m) => m.updateQueue(queue), () => {});
    put(document.body.dataset, 'loaded', 'true');
    const running = (s.wgets || 0) + (s.torrents || 0);
    put(document, 'title', running ? `(${running}) kiv` : 'kiv');
    await Promise.all([updateTransfers(s), releaseNotice(s)]);
    const rate = running && totalRate();
    setText($('#running'), running ? t('{n} running ({w} HTTP/FTP, {b} BitTorrent)', { n: running, w: s.wgets || 0, b: s.torrents || 0 }) + (rate ? ` · ${showRate(rate)}` : '') : t('idle'));
    put($('#offline'), 'hidden', true);
  } catch (e) {
    setText($('#offline'), /^401/.test(e.message)
      ? t('The box now asks for a user name and password: close and restart the browser, then sign in.')
      : t('The box does not answer: {why}', { why: said(e.message) }));
    $('#offline').hidden = false;
  } finally {
    busy = false;
    if (again) { again = false; refresh(); }
  }
}

/** The limits in force this hour and the queue, in the header; hidden while none is set. */
function limitsNotice(q = {}) {
  const alt = q.hour === 'l', rates = [['↓', alt ? q.alt_down : q.down], ['↑', alt ? q.alt_up : q.up]]
    .filter(([, n]) => n > 0).map(([a, n]) => `${a} ${showRate(n * 1024)}`).join(' ');
  const words = [q.hour === 'p' ? t('Paused hour') : alt ? t('Limited hour: {r}', { r: rates || t('no limit') }) : rates && t('Limits: {r}', { r: rates }),
    q.max_active > 0 && t('{n} at a time', { n: q.max_active })].filter(Boolean).join(' · ');
  setText($('#limits'), words);
  put($('#limits'), 'hidden', !words);
}

/** Says once in this browser that the box resumed transfers when it started. */
function resumedNotice(s) {
  const r = s.resumed, seen = 'kiv-resumed';
  if (!r || !r.count || stored(seen) === String(r.at)) return;
  if (!store(seen, String(r.at))) return; // no storage: better never than at every refresh
  note(t('{n} {n|transfer|transfers} resumed after the box restarted', { n: r.count }), false);
}

async function releaseNotice(s) {
  const names = (s.nfo || []).map((j) => j.obj.slice(0, j.obj.lastIndexOf('@')));
  const box = $('#release');
  if (!names.includes('_wversion.nfo')) { put(box, 'hidden', true); notices = ''; return; }
  if (notices) return; // read once while it stays
  const { text, links } = noticeText(await jobFile('_wversion.nfo'));
  if (text === notices) return;
  notices = text;
  box.hidden = stored('kiv-dismissed') === text;
  // replaceChildren would show a missing link as the text "null".
  box.replaceChildren(...[el('span', { text }),
    links[0] && el('a', { href: links[0], rel: 'noopener noreferrer', target: '_blank', text: t('Release page') }),
    el('button', { type: 'button', class: 'quiet', text: t('Dismiss'), onclick: () => { store('kiv-dismissed', text); box.hidden = true; } })].filter(Boolean));
}

function live() {
  clearInterval(timer);
  if (document.visibilityState === 'visible') {
    if (!busy) refresh();
    timer = setInterval(refresh, PERIOD);
  }
}

function notifyDone(name) {
  if ($('#notify').checked && 'Notification' in window && Notification.permission === 'granted')
    new Notification(t('Transfer finished'), { body: name, icon: 'icon.svg' });
}

function start() {
  const cookie = /(?:^|;\s*)curdir=([^;]*)/.exec(document.cookie);
  let dir = '/';
  try { if (cookie) dir = decodeURIComponent(cookie[1]); } catch { /* the top folder */ }
  setCurdir(dir);
  early = status(true, false, dir, viewOf(location.hash) === 'files');
  early.catch(() => {}); // seen by the first refresh
  setupTransfers({ onChange: refresh, onDone: notifyDone });
  for (const v of VIEWS) $(`#tab-${v}`).addEventListener('click', () => { location.hash = v; });
  // Arrow keys, Home and End move between the tabs.
  $('[role=tablist]').addEventListener('keydown', (e) => {
    const at = VIEWS.indexOf(e.target.id.slice(4));
    const to = { ArrowLeft: at - 1, ArrowRight: at + 1, Home: 0, End: VIEWS.length - 1 }[e.key];
    if (to === undefined || at < 0) return;
    e.preventDefault();
    const v = VIEWS[(to + VIEWS.length) % VIEWS.length];
    $(`#tab-${v}`).focus();
    location.hash = v;
  });
  $('#notify').checked = stored('kiv-notify') === '1' && 'Notification' in window && Notification.permission === 'granted';
  $('#notify').addEventListener('change', async (e) => {
    if (e.target.checked && 'Notification' in window && (await Notification.requestPermission()) !== 'granted') {
      e.target.checked = false;
      note(t('The browser does not allow notifications for this page.'));
    }
    store('kiv-notify', e.target.checked ? '1' : '0');
  });
  window.addEventListener('hashchange', () => { route(); if (!listed && wantsListing()) refresh(); });
  document.addEventListener('visibilitychange', live);
  route();
  if (viewOf(location.hash) === 'files') compareNames('', ''); // made while the first status is on its way
  live();
}

start();
