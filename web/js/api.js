// Requests to the box's programs. Every request is same-origin and carries
// X-Kiv, a header no other site's page may send to the box; commands that
// change anything go in a POST body, which keeps names and passwords out of
// addresses, history and logs.
import { parseObject } from './parse.js';
import { t } from './ui.js';

// The programs read an escape with a capital first digit (%C3) as Latin-1
// and re-encode it; lower-case hex passes each UTF-8 byte as it is.
export const enc = (s) => encodeURIComponent(s).replace(/%[0-9A-F]{2}/g, (m) => m.toLowerCase());

// The programs' limits, one home for them: a field as sent (its name, "="
// and the percent-encoded value) and a command's argument after decoding.
// The programs refuse anything longer; the page offers no action it cannot send.
export const FIELD_MAX = 990;
export const ARG_MAX = 500;

/** Why a path cannot be sent as the field `field`, or '' when it can. */
export function tooLong(path, field = 'file') {
  const sent = field.length + 1 + enc(path).length;
  const bytes = new TextEncoder().encode(path).length;
  if (sent <= FIELD_MAX && bytes <= ARG_MAX) return '';
  return t('Its path is too long ({bytes} bytes, {sent} characters as sent; at most {a} and {f}): shorten its name or its folders\'.', { bytes, sent, a: ARG_MAX, f: FIELD_MAX });
}

const form = (fields) =>
  Object.entries(fields).filter(([, v]) => v != null).map(([k, v]) => `${k}=${enc(String(v))}`).join('&');

let curdir = '/';
export const getCurdir = () => curdir;
/** The current directory, "/" or "/a/b"; uploads read it from a cookie. */
export function setCurdir(dir) {
  curdir = dir || '/';
  document.cookie = `curdir=${enc(curdir)}; path=/; SameSite=Strict`;
}
/** A name of the current directory as a path below the download directory. */
export const inCurdir = (name) => (curdir === '/' ? '' : curdir.slice(1) + '/') + name;

const PAGE = { 'X-Kiv': '1' };

/** Every fetch of the page: marked with X-Kiv, never from the cache;
 *  `fields` make it a form POST. */
const send = (url, fields, headers) => fetch(url, fields
  ? { method: 'POST', headers: { ...PAGE, 'Content-Type': 'application/x-www-form-urlencoded' }, body: form(fields), cache: 'no-store' }
  : { headers: { ...PAGE, ...headers }, cache: 'no-store' });

/** An XMLHttpRequest to the box, marked like every fetch. */
function xhrTo(method, url, ...credentials) {
  const xhr = new XMLHttpRequest();
  xhr.open(method, url, true, ...credentials);
  for (const [name, value] of Object.entries(PAGE)) xhr.setRequestHeader(name, value);
  return xhr;
}

async function answer(response) {
  if (!response.ok) throw new Error(`${response.status} ${response.statusText}`.trim());
  return response.text();
}

/** One command of kiv-ctl; resolves to its answer text. */
export async function ctl(cmd, file, para, extra = {}) {
  return answer(await send('/cgi-bin/kiv-ctl', { cmd, file, para, curdir, ...extra }));
}

let last; // lends its unchanged members to the next

/** The status object of folder `dir`: with the job lists when full, its
 *  listing when listed. */
export async function status(full = true, amule = false, dir = curdir, listed = true) {
  // In the body, which beats the cookie that another tab may have moved.
  const text = await answer(await send('/cgi-bin/kiv-list', { full: full ? '1' : null, amule: amule ? 'true' : null, curdir: dir, dnl: listed ? null : '0' }));
  if (!text.trimStart().startsWith('{')) throw new Error(text);
  return (last = await parseObject(text, last));
}

/** The names in folder `dir` as the box has them now; null when it is gone. */
export async function namesIn(dir) {
  const s = await status(false, false, dir);
  return s.curdir === dir ? new Set((s.dnl || []).map((e) => e.file)) : null;
}

export async function tree() {
  return answer(await send('/cgi-bin/kiv-list?cmd=tree&file=t'));
}

/** A torrent's content, or with `field` 'job' a torrent job's detail;
 *  a text answer is a failure message. */
export async function torrent(name, field = 'file') {
  const text = await answer(await send('/cgi-bin/kiv-torrent', { [field]: name }));
  if (!text.trimStart().startsWith('{')) throw new Error(text);
  return parseObject(text);
}

/** A file of the job directory (a job log, a notice); `range` ("0-2047",
 *  "-4096") reads only that part of it. */
export async function jobFile(name, range = '') {
  const response = await send(`/trk/${enc(name)}`, null, range ? { Range: `bytes=${range}` } : {});
  if (response.status === 416) return ''; // an empty file has no such part
  return answer(response);
}

/** Before a download link is followed: the cookie names this tab's folder. */
export const claimCurdir = () => setCurdir(curdir);
export const downloadHref = (inode) => `/cgi-bin/kiv-ctl?cmd=dow&file=${enc(String(inode))}&curdir=${enc(curdir)}`;

/** Has the browser keep `user` and `pass` for the box's pages and programs;
 *  resolves to whether the box takes them. */
export function signIn(user, pass) {
  return new Promise((resolve) => {
    const xhr = xhrTo('HEAD', '/', user, pass);
    xhr.onloadend = () => resolve(xhr.status === 200);
    xhr.send();
  });
}

/** Uploads one file into the current directory; progress(fraction).
 *  Success is the program's redirect to the page; any text is a failure. */
export function upload(file, progress, name = file.name, dir = curdir) {
  return new Promise((resolve, reject) => {
    const xhr = xhrTo('POST', '/cgi-bin/kiv-upload');
    const body = new FormData();
    body.append('up', file, name);
    xhr.upload.onprogress = (e) => e.lengthComputable && progress(e.loaded / e.total);
    xhr.onload = () => {
      if (xhr.status >= 400) reject(new Error(`${xhr.status} ${xhr.statusText}`));
      else if (new URL(xhr.responseURL).pathname.startsWith('/cgi-bin/')) reject(new Error(xhr.responseText.trim() || t('Upload failed')));
      else resolve();
    };
    xhr.onerror = () => reject(new Error(t('Upload failed: connection lost')));
    // The program reads the folder from the cookie; a download link claims it back.
    document.cookie = `curdir=${enc(dir)}; path=/; SameSite=Strict`;
    xhr.send(body);
  });
}
