// Readers for the programs' answers. The status and torrent answers are
// script-object text (bare or quoted keys, single- or double-quoted strings
// with backslash escapes, integers): read here as data, never run.

const MAX_DEPTH = 64;
const KEY = /[A-Za-z_$][\w$]{0,255}/y, NUMBER = /-?\d{1,31}/y;

const spans = new WeakMap(); // result -> its top-level members' texts

/** Reads one script-object value; throws SyntaxError on anything else.
 *  An earlier result lends its top-level members, and their array elements,
 *  whose text is unchanged; shared, so neither is to be changed. */
export function parseObject(text, before) {
  let at = 0;
  const old = spans.get(before || spans) || {}, mine = Object.create(null);
  let olds = [], news = []; // the elements of the top-level array being read
  const fail = (what) => { throw new SyntaxError(`${what} at ${at}`); };
  const space = () => { while (at < text.length && (text.charCodeAt(at) <= 32 || /\s/.test(text[at]))) at++; };
  const expect = (c) => { space(); if (text[at] !== c) fail(`expected ${c}`); at++; };

  function string() {
    const quote = text[at++];
    let out = '';
    for (;;) {
      // Plain runs in one piece: long answers are mostly names.
      let end = at;
      while (end < text.length && text[end] !== quote && text[end] !== '\\') end++;
      out += text.slice(at, end);
      at = end;
      if (at >= text.length) fail('open string');
      if (text[at++] === quote) return out;
      const e = text[at++];
      if (e === 'n') out += '\n';
      else if (e === 'r') out += '\r';
      else if (e === 't') out += '\t';
      else if (e === 'x' || e === 'u') {
        const n = e === 'x' ? 2 : 4, hex = text.slice(at, at + n);
        if (!/^[0-9a-fA-F]+$/.test(hex) || hex.length !== n) fail('bad escape');
        out += String.fromCharCode(parseInt(hex, 16));
        at += n;
      } else if (e === undefined) fail('open string');
      else out += e; // \\ \' \" and any other escaped character stand for themselves
    }
  }

  function key() {
    space();
    if (text[at] === '"' || text[at] === "'") return string();
    KEY.lastIndex = at;
    const m = KEY.exec(text);
    if (!m) fail('expected a key');
    at += m[0].length;
    return m[0];
  }

  // `was`, [text, value, its elements' such pairs], read earlier, is taken
  // where its text is here again: arrays and objects end at their own
  // bracket, so equal text means an equal value.
  function lent(was, depth, into, n) {
    space();
    const from = at, outer = [olds, news];
    if (was && text.startsWith(was[0], at)) { at += was[0].length; into[n] = was; return was[1]; }
    [olds, news] = [(was && was[2]) || [], []];
    const v = value(depth);
    if (/[[{]/.test(text[from])) into[n] = [text.slice(from, at), v, news];
    [olds, news] = outer;
    return v;
  }

  function value(depth) {
    if (depth > MAX_DEPTH) fail('too deep');
    space();
    const c = text[at];
    if (c === '"' || c === "'") return string();
    if (c === '{') {
      at++;
      const obj = Object.create(null);
      space();
      if (text[at] === '}') { at++; return obj; }
      for (;;) {
        const k = key();
        expect(':');
        obj[k] = depth ? value(depth + 1) : lent(Object.hasOwn(old, k) && old[k], 1, mine, k);
        space();
        if (text[at] === ',') { at++; continue; }
        expect('}');
        return obj;
      }
    }
    if (c === '[') {
      at++;
      const list = [];
      space();
      if (text[at] === ']') { at++; return list; }
      for (;;) {
        list.push(depth === 1 ? lent(olds[list.length], 2, news, list.length) : value(depth + 1));
        space();
        if (text[at] === ',') { at++; continue; }
        expect(']');
        return list;
      }
    }
    NUMBER.lastIndex = at;
    const m = NUMBER.exec(text);
    if (!m) fail('unexpected character');
    at += m[0].length;
    const n = Number(m[0]);
    return Number.isSafeInteger(n) ? n : m[0]; // big numbers (inodes) stay exact as text
  }

  const result = value(0);
  space();
  if (at !== text.length) fail('trailing text');
  if (result && typeof result == 'object') spans.set(result, mine);
  return result;
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
  return `${u ? n.toFixed(1) : n} ${units[u]}`;
}

/** Bytes per second from a tool's rate ("1.2MB/s", "256 KB/s"). */
export function rateBytes(text) {
  const m = /([\d.]+)\s*([KMG]?)B\/s/.exec(text || '');
  return m ? Number(m[1]) * ({ K: 1024, M: 1048576, G: 1073741824 }[m[2]] || 1) : 0;
}

export function showSeconds(s) {
  if (!isFinite(s) || s < 0) return '';
  s = Math.round(s);
  if (s < 60) return `${s}s`;
  if (s < 3600) return `${Math.floor(s / 60)}m ${s % 60}s`;
  return `${Math.floor(s / 3600)}h ${Math.floor((s % 3600) / 60)}m`;
}

/** A tool's failure line without its time stamp. */
const reason = (line) => line.replace(/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d /, '');

/** The lines of a log; a carriage return redraws within a line. */
const pieces = (text) => text.split(/\r\n|\r|\n/).map((l) => l.trim()).filter(Boolean);

/** wget's log: the first line names the URL, the last bar piece the state. */
export function wgetLog(text) {
  const lines = pieces(text);
  const info = { source: '', percent: null, done: '', speed: '', left: '', finished: false, error: '' };
  const first = /^--[\d-]+ [\d:]+--\s+(.*)$/.exec(lines[0] || '');
  if (first) info.source = first[1];
  for (const line of lines) {
    const bar = /(\d+)%\[[^\]]*\]\s+(\S+)\s+(\S+)\s*(?:(eta|in)\s+(.+))?$/.exec(line);
    if (bar) {
      info.error = ''; // it went on after a retry
      info.percent = +bar[1];
      info.done = bar[2];
      info.speed = bar[3] === '--.-KB/s' ? '' : bar[3];
      info.left = bar[4] === 'eta' ? bar[5] : '';
      continue;
    }
    const unknown = /\[\s*<=>\s*\]\s+(\S+)\s+(\S+)/.exec(line);
    if (unknown) { info.done = unknown[1]; info.speed = unknown[2]; }
    if (/ saved \[/.test(line) || /^Downloaded: /.test(line)) { info.finished = true; info.percent = 100; info.left = ''; info.error = ''; }
    else if (/ERROR|failed:|unable to|Unable to|not resolve|No such file|refused|Cannot write to/.test(line)) info.error = reason(line);
  }
  if (info.percent === 100) info.finished = true;
  return info;
}

/** ctorrent's log: a header line with the torrent's name, then status lines
 *  such as "/ 1/0/2 [12/100/100] 3MB,0MB | 256,0K/s | 100,0K E:0,1". */
export function ctorrentLog(text) {
  const lines = pieces(text);
  const info = { source: '', percent: null, done: '', speed: '', left: '', finished: false, error: '' };
  const first = /^-- [\d/]+ [\d:]+ --(.*)$/.exec(lines[0] || '');
  if (first) info.source = first[1];
  for (const line of lines) {
    const st = /\[(\d+)\/(\d+)\/\d+\]\s+(\d+)MB,(\d+)MB\s*\|\s*([\d.]+),([\d.]+)K\/s/.exec(line);
    if (st) {
      const have = +st[1], total = +st[2], mb = +st[3], rate = +st[5];
      info.percent = total ? Math.floor((have * 100) / total) : 0;
      info.done = `${mb} MB`;
      info.speed = `${rate} KB/s`;
      // Whole megabytes: no estimate until one is in.
      const left = mb && rate ? ((mb * 1024 * (total - have)) / have) / rate : NaN;
      info.left = have < total ? showSeconds(left) : '';
      info.finished = total > 0 && have === total;
    } else if (/Download complete/i.test(line)) {
      info.finished = true; info.percent = 100;
    } else if (/error|failed|fail to|not found/i.test(line)) info.error = reason(line);
  }
  return info;
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
