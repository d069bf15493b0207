// Every text the page shows has an entry in each catalogue (web/js/lang/),
// no entry is stale, and a translation uses only its text's placeholders;
// the programs' answers a catalogue translates are answers they give.
// Usage: node page_words.mjs SOURCE_DIR
import fs from 'node:fs';
import path from 'node:path';

const source = process.argv[2] || '.';
const web = path.join(source, 'web');
const faults = [];
const unquote = (s) => s.slice(1, -1).replace(/\\(.)/g, '$1');

// The first argument of each t(...): its quoted strings are the texts.
const texts = new Set();
for (const file of fs.readdirSync(path.join(web, 'js')).filter((f) => f.endsWith('.js'))) {
  const code = fs.readFileSync(path.join(web, 'js', file), 'utf8');
  for (const call of code.matchAll(/\bt\(/g)) {
    let at = call.index + 2, depth = 0;
    const found = [];
    for (; at < code.length && (depth || !/[,)]/.test(code[at])); at++) {
      if (code[at] === '`') { faults.push(`${file}: a text with \${…} at ${at}: use {name} and values`); break; }
      if (code[at] === "'" || code[at] === '"') {
        const m = new RegExp(`${code[at]}(?:[^${code[at]}\\\\]|\\\\.)*${code[at]}`, 'y');
        m.lastIndex = at;
        const s = m.exec(code)[0];
        found.push(unquote(s));
        at += s.length - 1;
      } else if (code[at] === '(') depth++;
      else if (code[at] === ')') depth--;
    }
    // But where index.html's own labels are translated.
    if (!found.length && !code.startsWith('t(e.getAttribute', call.index)) faults.push(`${file}: t() of no written text at ${call.index}`);
    for (const s of found) texts.add(s);
  }
}
// index.html's own texts and labels, but for names said as they are.
const NAMES = new Set(['kiv', 'status', 'https://…', '…', 'English', 'Deutsch']);
const html = fs.readFileSync(path.join(web, 'index.html'), 'utf8').replace(/<title>.*?<\/title>/s, '');
for (const [, s] of [...html.matchAll(/>([^<]+)</g), ...html.matchAll(/ (?:placeholder|aria-label|title)="([^"]+)"/g)])
  if (s.trim() && /[A-Za-z]/.test(s) && !NAMES.has(s.trim())) texts.add(s.trim());

const programs = ['common', 'ctl', 'list', 'torrent', 'upload'].flatMap((dir) => fs.readdirSync(path.join(source, dir))
  .filter((f) => /\.(cc|h)$/.test(f) && !f.endsWith('_test.cc')).map((f) => fs.readFileSync(path.join(source, dir, f), 'utf8')))
  .join('\n').replace(/\\"/g, '"');
const holes = (s) => new Set([...s.matchAll(/\{(\w+)/g)].map((m) => m[1]));

const dir = path.join(web, 'js', 'lang');
for (const file of fs.readdirSync(dir)) {
  const code = fs.readFileSync(path.join(dir, file), 'utf8');
  const { default: words, answers } = await import(`data:text/javascript,${encodeURIComponent(code)}`);
  for (const s of texts) if (!Object.hasOwn(words, s)) faults.push(`${file}: no entry for ${JSON.stringify(s)}`);
  for (const [s, w] of Object.entries(words)) {
    if (!texts.has(s)) faults.push(`${file}: stale entry ${JSON.stringify(s)}`);
    const mine = holes(s);
    for (const h of holes(w)) if (!mine.has(h)) faults.push(`${file}: {${h}} is not a placeholder of ${JSON.stringify(s)}`);
  }
  // A head with {x} (or one a program builds from pieces) is each piece
  // between its words, brackets and colons.
  for (const [head, w] of Object.entries(answers || {})) {
    if (!programs.includes(head) && !head.split(/\{\w+\}|[():]/).every((p) => programs.includes(p.trim())))
      faults.push(`${file}: no program answers ${JSON.stringify(head)}`);
    for (const h of holes(w)) if (!holes(head).has(h)) faults.push(`${file}: {${h}} is not a placeholder of ${JSON.stringify(head)}`);
  }
}
for (const f of faults) console.log(f);
console.log(`${texts.size} texts, ${faults.length} faults`);
process.exit(faults.length ? 1 : 0);
