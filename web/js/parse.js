// Readers for the programs' answers. The status and torrent answers are
// script-object text (bare or quoted keys, single- or double-quoted strings
// with backslash escapes, integers): read here as data, never run.
import { t, num, slicer } from './ui.js';

const MAX_DEPTH = 64;
const NUMBER = /-?\d{1,31}/y;
const ESCAPES = { n: '\n', r: '\r', t: '\t' };

// A span: a list or object read earlier, { text, value, items }, items the
// spans of a top-level list's elements.
const spans = new WeakMap(); // result -> { member name: its span }
let src = '', at = 0; // what is being read, and where

/** Reads one script-object value, in slices; throws SyntaxError on anything
 *  else. An earlier result lends its top-level members, and their list
 *  elements, whose text is unchanged; shared, so neither is to be changed. */
export async function parseObject(text, before) {
  src = text;
  at = 0;
  const mine = Object.create(null);
  const result = await top(spans.get(before || spans) || {}, mine);
  space();
  if (at !== src.length) fail('trailing text');
  if (result && typeof result == 'object') spans.set(result, mine);
  return result;
}

const fail = (what) => { throw new SyntaxError(`${what} at ${at}`); };

function space() {
  for (let c; at < src.length && ((c = src.charCodeAt(at)) <= 32 || (c > 127 && /\s/.test(src[at]))); ) at++;
}

function expect(c) {
  space();
  if (src[at] !== c) fail(`expected ${c}`);
  at++;
}

/** After an entry: true when another follows, false at `close`. */
function more(close) {
  space();
  if (src[at] === ',') { at++; return true; }
  expect(close);
  return false;
}

function value(depth) {
  if (depth > MAX_DEPTH) fail('too deep');
  space();
  const c = src[at];
  if (c === '"' || c === "'") return string();
  if (c === '{') return object(depth);
  if (c === '[') return list(depth);
  for (const w of ['true', 'false']) if (src.startsWith(w, at)) return (at += w.length), w === 'true';
  return number();
}

// Past an opening bracket: false when `close` follows, passed too.
function opened(close) {
  at++;
  space();
  return src[at] === close ? (at++, false) : true;
}

/** An object's members and their lists' elements, lent by `before` where
 *  unchanged, spans kept in `into`; the elements in slices. */
async function top(before, into) {
  space();
  if (src[at] !== '{') return value(0);
  const obj = Object.create(null), step = slicer();
  if (opened('}')) do {
    const k = key();
    expect(':');
    space();
    const was = Object.hasOwn(before, k) && before[k], from = at;
    if (src[at] !== '[' || (was && src.startsWith(was.text, at))) { obj[k] = reused(was, 1, into, k); continue; }
    const out = (obj[k] = []), items = [];
    if (opened(']')) do {
      out.push(reused(was && was.items[out.length], 2, items, out.length));
      const next = step(), mine = next && [src, at]; // others may read meanwhile
      if (next) [src, at] = await next.then(() => mine);
    } while (more(']'));
    into[k] = { text: src.slice(from, at), value: out, items };
  } while (more('}'));
  return obj;
}

/** The earlier span where its text comes again (lists and objects end at
 *  their own bracket, so equal text means an equal value), else read. */
function reused(was, depth, into, name) {
  space();
  const from = at;
  if (was && src.startsWith(was.text, from)) {
    at += was.text.length;
    into[name] = was;
    return was.value;
  }
  const v = value(depth);
  if (src[from] === '[' || src[from] === '{') into[name] = { text: src.slice(from, at), value: v, items: [] };
  return v;
}

function object(depth) {
  const obj = Object.create(null);
  if (opened('}')) do {
    const k = key();
    expect(':');
    obj[k] = value(depth + 1);
  } while (more('}'));
  return obj;
}

function list(depth) {
  const out = [];
  if (opened(']')) do out.push(value(depth + 1)); while (more(']'));
  return out;
}

function key() {
  space();
  if (src[at] === '"' || src[at] === "'") return string();
  // [A-Za-z_$][\w$]{0,255}, by hand
  const from = at;
  for (let c; at - from < 256 && ((c = src.charCodeAt(at)) > 96 && c < 123 || c > 64 && c < 91 || c == 95 || c == 36 || at > from && c > 47 && c < 58); ) at++;
  if (at === from) fail('expected a key');
  return src.slice(from, at);
}

function string() {
  const quote = src[at++];
  let out = '';
  for (;;) {
    // Plain runs in one piece: long answers are mostly names.
    let end = at;
    while (end < src.length && src[end] !== quote && src[end] !== '\\') end++;
    out += src.slice(at, end);
    at = end;
    if (at >= src.length) fail('open string');
    if (src[at++] === quote) return out;
    out += escaped();
  }
}

/** What an escape after its backslash stands for. */
function escaped() {
  const e = src[at++];
  if (e === undefined) fail('open string');
  if (e !== 'x' && e !== 'u') return ESCAPES[e] || e; // \\ \' \" and any other stand for themselves
  const n = e === 'x' ? 2 : 4, hex = src.slice(at, at + n);
  if (!/^[0-9a-fA-F]+$/.test(hex) || hex.length !== n) fail('bad escape');
  at += n;
  return String.fromCharCode(parseInt(hex, 16));
}

function number() {
  NUMBER.lastIndex = at;
  const m = NUMBER.exec(src);
  if (!m) fail('unexpected character');
  at += m[0].length;
  const n = Number(m[0]);
  return Number.isSafeInteger(n) ? n : m[0]; // big numbers (inodes) stay exact as text
}

/** Bytes from the listing's short sizes ("700.2 M", "1024"). */
export function sizeBytes(size) {
  const m = /^([\d.]+)\s*([KMG])?$/.exec(String(size).trim());
  if (!m) return 0;
  return Number(m[1]) * ({ K: 1024, M: 1048576, G: 1073741824 }[m[2]] || 1);
}

/** The programs write dates as day/month/year h:m:s with the month from 0. */
export function listingDate(text) {
  const m = /^(\d+)\/(\d+)\/(\d+) (\d+):(\d+):(\d+)$/.exec(text || '');
  return m ? new Date(+m[3], +m[2], +m[1], +m[4], +m[5], +m[6]) : null;
}

const pad = (n) => String(n).padStart(2, '0');
export function showDate(d) {
  if (!d || isNaN(d)) return '';
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}`;
}

export function showBytes(n) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let u = 0;
  while (n >= 1024 && u < units.length - 1) { n /= 1024; u++; }
  return `${num(n, u && 1)} ${units[u]}`;
}

export const showRate = (n) => `${showBytes(n)}/s`;
export const showPercent = (p) => `${num(p)} %`;

export function showSeconds(s) {
  if (!isFinite(s) || s < 0) return '';
  s = Math.round(s);
  if (s < 60) return t('{s}s', { s });
  if (s < 3600) return t('{m}m {s}s', { m: Math.floor(s / 60), s: s % 60 });
  return t('{h}h {m}m', { h: Math.floor(s / 3600), m: Math.floor((s % 3600) / 60) });
}

/** The tree answer is HTML: read it and hand back plain nodes
 *  { name, path, children } (path as "/a/b", the top one "/"). */
export function treeNodes(html) {
  const doc = new DOMParser().parseFromString(html, 'text/html');
  const read = (li) => {
    const span = li.querySelector(':scope > span');
    const id = span ? span.getAttribute('id') || '/' : '/';
    const node = { name: span ? span.textContent : '', path: id.length > 1 ? id.replace(/\/$/, '') : '/', children: [] };
    for (const sub of li.querySelectorAll(':scope > ul > li')) node.children.push(read(sub));
    return node;
  };
  const top = doc.querySelector('body > ul > li');
  return top ? read(top) : null;
}

/** The scripts list is HTML options: their values, as text. */
export function optionValues(html) {
  const doc = new DOMParser().parseFromString(`<select>${html}</select>`, 'text/html');
  return [...doc.querySelectorAll('option')].map((o) => o.value);
}

/** HTML text (the release notice) as plain text plus its web links. */
export function noticeText(html) {
  const doc = new DOMParser().parseFromString(html, 'text/html');
  const links = [...doc.querySelectorAll('a[href]')]
    .map((a) => a.getAttribute('href'))
    .filter((h) => /^https?:\/\//i.test(h));
  return { text: doc.body.textContent.replace(/\s+/g, ' ').trim(), links };
}
