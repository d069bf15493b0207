'use strict';
// Another site against the box, through a real browser: a page served from
// a second loopback origin tries an image, a form and fetches (a command, an
// upload, taking the lock) against the box, and nothing changes. The box's
// own page sending the page header is obeyed, so the attempts did reach it.
//
// Twice: with the box at 127.0.0.1, where the browser marks requests with
// Sec-Fetch-Site; and under a name of its own (box.test, allowed in the
// configuration), where, as at a home-network address over plain HTTP, it
// sends no such marks and the other site suppresses its Referer.
//
// Every vector of another site also tries the page header X-Kiv, which
// the browser drops or stops at its preflight, and an empty
// Accept-Language, which the server drops.
//
// Usage: node cross_site.cjs BUILD_DIR SOURCE_DIR   (exit 77: cannot run here)

const fs = require('fs');
const http = require('http');
const net = require('net');
const os = require('os');
const path = require('path');
const { spawn } = require('child_process');

const [buildDir, sourceDir] = process.argv.slice(2);
const kConf = '/tmp/kiv.conf';
const kNames = '/tmp/kiv-names';  // kivd publishes the names for the web server
const kChromium = '/usr/bin/chromium';

function skip(why) {
  console.log(`skipped: ${why}`);
  process.exit(77);
}

let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch {
  skip('playwright-core is not installed (scripts/test.sh installs it)');
}
if (!fs.existsSync(kChromium)) skip('chromium is not installed');
if (!fs.existsSync('/usr/sbin/lighttpd')) skip('lighttpd is not installed');

function freePort(address) {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, address, () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.on('connect', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

/// An installation root with the programs, published through /tmp/kiv.conf.
function makeInstallation() {
  const root = fs.mkdtempSync('/tmp/kivbrowser.');
  for (const dir of ['bin', 'scripts', 'www/kiv/trk', 'www/kiv/dnl', 'www/kiv/cgi-bin',
    'www/kivfb/cgi-bin']) {
    fs.mkdirSync(path.join(root, dir), { recursive: true });
  }
  for (const program of ['ctl/kiv-ctl', 'list/kiv-list', 'upload/kiv-upload']) {
    const target = path.join(root, 'www/kiv/cgi-bin', path.basename(program));
    fs.copyFileSync(path.join(buildDir, program), target);
    fs.chmodSync(target, 0o755);
  }
  fs.copyFileSync(path.join(sourceDir, 'scripts/htpasswd'), path.join(root, 'bin/htpasswd'));
  fs.chmodSync(path.join(root, 'bin/htpasswd'), 0o755);
  const r = `${root}/`;
  fs.writeFileSync(kConf, `droo=${r}\ndbin=${r}bin/\nwget=wget\nctor=ctorrent\n` +
    `dwww=${r}www/kiv/\ndufb=${r}www/kivfb/\ndnldir=${r}www/kiv/dnl/\n` +
    `pidfile=${r}bin/kiv.pid\nhosts=box.test\n`);
  fs.chmodSync(kConf, 0o644);
  fs.writeFileSync(kNames, 'box.test\n', { mode: 0o644 });
  return root;
}

/// The script both pages run: each kind of request a page can make,
/// against `box`, naming what it would make with `prefix`. The box's own
/// page gets only what carries the page header through; the other site,
/// which can never send that header, tries everything a page can (the
/// extra vectors with other=1).
const kAttempts = `
'use strict';
const params = new URLSearchParams(location.search);
const box = params.get('box') || location.origin;
const prefix = params.get('prefix');
const quiet = params.get('quiet') === '1';  // no Referer where a page can drop it
const policy = quiet ? 'no-referrer' : 'strict-origin-when-cross-origin';
const ctl = box + '/cgi-bin/kiv-ctl';
const settle = (p) => Promise.race([p, new Promise((r) => setTimeout(r, 5000))]);
function image(query) {
  return new Promise((resolve) => {
    const img = new Image();
    img.referrerPolicy = policy;
    img.onload = img.onerror = resolve;
    img.src = ctl + '?' + query;
    document.body.appendChild(img);
  });
}
function form(fields) {
  return new Promise((resolve) => {
    const frame = document.createElement('iframe');
    frame.name = 'sink';
    document.body.appendChild(frame);
    const f = document.createElement('form');
    f.method = 'POST';
    f.action = ctl;
    f.target = 'sink';
    for (const [name, value] of fields) {
      const input = document.createElement('input');
      input.name = name;
      input.value = value;
      f.appendChild(input);
    }
    if (quiet) f.setAttribute('rel', 'noreferrer');
    document.body.appendChild(f);
    frame.onload = resolve;
    f.submit();
  });
}
// The critical vector: an empty Accept-Language, which the server drops,
// and a page header that no-cors mode drops too.
const sneakyUrl = (tag) => ctl + '?cmd=run&file=' + encodeURIComponent('id > ' + prefix + '-' + tag + '.txt');
const sneaky = { mode: 'no-cors', referrerPolicy: 'no-referrer', headers: { 'Accept-Language': '', 'X-Kiv': '1' } };
// A frame of an origin of its own runs the vector and reports back.
function frame(tag, setup) {
  return new Promise((resolve) => {
    addEventListener('message', (e) => e.data === tag && resolve());
    const f = document.createElement('iframe');
    setup(f, '<script>fetch(' + JSON.stringify(sneakyUrl(tag)) + ', ' + JSON.stringify(sneaky) +
      ").catch(() => {}).finally(() => parent.postMessage('" + tag + "', '*'))</" + 'script>');
    document.body.appendChild(f);
  });
}
async function worker() {
  if (!navigator.serviceWorker) return;
  await navigator.serviceWorker.register('/worker.js?box=' + encodeURIComponent(box) + '&prefix=' + prefix);
  await navigator.serviceWorker.ready;  // installed: its request has been answered
}
const upload = (tag) => {
  const body = new FormData();
  body.append('up', new Blob(['data']), prefix + '-' + tag + '.txt');
  return body;
};
const options = { mode: 'no-cors', credentials: 'include', referrerPolicy: policy };
const page = { 'X-Kiv': '1' };
const attempts = [
  settle(image('cmd=mkdir&file=' + prefix + '-image')),
  params.get('lock') === '1' ? settle(image('cmd=lock&file=admin1:c2VjcmV0MQ:1')) : null,
  settle(form([['cmd', 'mkdir'], ['file', prefix + '-form']])),
  settle(fetch(ctl + '?cmd=mkdir&file=' + prefix + '-fetch', options).catch(() => {})),
  settle(fetch(ctl + '?cmd=mkdir&file=' + prefix + '-header', { referrerPolicy: policy, headers: page })
    .catch(() => {})),
  settle(fetch(box + '/cgi-bin/kiv-upload', { ...options, method: 'POST', body: upload('upload') })
    .catch(() => {})),
  settle(fetch(box + '/cgi-bin/kiv-upload', { referrerPolicy: policy, method: 'POST', headers: page,
    body: upload('header-upload') }).catch(() => {})),
];
if (params.get('other') === '1') {
  attempts.push(
    settle(fetch(sneakyUrl('nocors'), sneaky).catch(() => {})),
    settle(frame('data', (f, html) => { f.src = 'data:text/html,' + encodeURIComponent(html); })),
    settle(frame('sandbox', (f, html) => { f.sandbox = 'allow-scripts'; f.srcdoc = html; })),
    settle(worker().catch((e) => console.log('worker: ' + e.message))));
}
Promise.all(attempts).then(() => { document.title = 'done'; });
`;
const kWorker = `
const params = new URL(location.href).searchParams;
const ctl = params.get('box') + '/cgi-bin/kiv-ctl';
self.addEventListener('install', (event) => event.waitUntil(
  fetch(ctl + '?cmd=run&file=' + encodeURIComponent('id > ' + params.get('prefix') + '-worker.txt'),
    { mode: 'no-cors', referrerPolicy: 'no-referrer', headers: { 'Accept-Language': '', 'X-Kiv': '1' } })
    .catch(() => {})));
`;
const kPage = '<!doctype html><html><head><link rel="icon" href="data:,"></head>' +
  '<body><script src="attempts.js"></script></body></html>';

/// The other site: the same page and script, from a second loopback origin.
function otherSite(port) {
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://x');
    if (url.pathname === '/attempts.js' || url.pathname === '/worker.js') {
      response.writeHead(200, { 'Content-Type': 'text/javascript' });
      response.end(url.pathname === '/worker.js' ? kWorker : kAttempts);
    } else {
      // A page can tell the browser to send no Referer at all.
      const quiet = url.searchParams.get('quiet') === '1';
      response.writeHead(200, { 'Content-Type': 'text/html',
        ...(quiet ? { 'Referrer-Policy': 'no-referrer' } : {}) });
      response.end(kPage.replace('attempts.js', '/attempts.js'));
    }
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.2', () => resolve(server)));
}

async function visit(context, url) {
  const page = await context.newPage();
  page.on('console', (message) => console.log(`  page: ${message.text()}`));
  page.on('pageerror', (error) => console.log(`  page error: ${error.message}`));
  await page.goto(url);
  await page.waitForFunction(() => document.title === 'done', null, { timeout: 30000 });
  await page.close();
}

function entries(dir) {
  return fs.readdirSync(dir).sort();
}

/** Polls `done` until it holds or `seconds` have passed; whether it held. */
async function until(done, seconds) {
  for (const end = Date.now() + seconds * 1000; !done();) {
    if (Date.now() > end) return false;
    await new Promise((r) => setTimeout(r, 50));
  }
  return true;
}

async function main() {
  const saved = fs.existsSync(kConf) ? fs.readFileSync(kConf) : null;
  const savedNames = fs.existsSync(kNames) ? fs.readFileSync(kNames) : null;
  const root = makeInstallation();
  const www = path.join(root, 'www/kiv');
  const dnl = path.join(www, 'dnl');
  fs.writeFileSync(path.join(www, 'own.html'), kPage);
  fs.writeFileSync(path.join(www, 'attempts.js'), kAttempts);

  const boxPort = await freePort('127.0.0.1');
  const otherPort = await freePort('127.0.0.2');
  const server = spawn('/bin/bash', [path.join(sourceDir, 'scripts/webserver.sh'), root,
    String(boxPort)], { stdio: 'ignore' });
  const other = await otherSite(otherPort);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kivchromium.'));
  let context;
  let failures = 0;
  let checks = 0;
  const check = (ok, what) => {
    console.log(`${ok ? 'ok' : 'FAILED'}: ${what}`);
    checks++;
    if (!ok) failures++;
  };
  try {
    // A loaded machine may take seconds to start the web server.
    for (let i = 0; i < 2400 && !(await accepts(boxPort)); i++) {
      await new Promise((r) => setTimeout(r, 25));
    }
    context = await chromium.launchPersistentContext(profile, {
      executablePath: kChromium,
      headless: true,
      args: ['--no-sandbox', '--headless', '--disable-gpu', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        '--host-resolver-rules=MAP box.test 127.0.0.1, MAP evil.test 127.0.0.2',
        // A worker needs a secure context; loopback addresses are one, a
        // plain-HTTP name is not unless told so.
        `--unsafely-treat-insecure-origin-as-secure=http://evil.test:${otherPort}`],
    });
    const scenarios = [
      { name: 'marked by the browser', box: `http://127.0.0.1:${boxPort}`,
        other: `http://127.0.0.2:${otherPort}`, quiet: '0' },
      { name: 'unmarked, referrer suppressed', box: `http://box.test:${boxPort}`,
        other: `http://evil.test:${otherPort}`, quiet: '1' },
    ];
    for (const s of scenarios) {
      for (const name of entries(dnl)) fs.rmSync(path.join(dnl, name), { recursive: true });
      await visit(context, `${s.other}/?box=${encodeURIComponent(s.box)}&prefix=other&lock=1&other=1&quiet=${s.quiet}`);
      check(entries(dnl).length === 0, `${s.name}: the other site changed nothing (${entries(dnl)})`);
      check(!fs.existsSync(path.join(www, '.htpasswd')), `${s.name}: the other site took no lock`);
      await visit(context, `${s.box}/own.html?prefix=own`);
      const own = ['own-header', 'own-header-upload.txt'];
      // The page is done after five seconds even if a request of its own is
      // still on its way, as on a loaded machine: its effects may come later.
      await until(() => JSON.stringify(entries(dnl)) === JSON.stringify(own), 60);
      check(JSON.stringify(entries(dnl)) === JSON.stringify(own),
        `${s.name}: the box's own page was obeyed (${entries(dnl)})`);
      fs.rmSync(path.join(www, '.htpasswd'), { force: true });
      // A page opened from a file: an origin of its own, no Referer.
      for (const name of entries(dnl)) fs.rmSync(path.join(dnl, name), { recursive: true });
      const local = path.join(profile, 'attack.html');
      fs.writeFileSync(local, kPage.replace('attempts.js', path.join(profile, 'attempts.js')));
      fs.writeFileSync(path.join(profile, 'attempts.js'), kAttempts);
      await visit(context, `file://${local}?box=${encodeURIComponent(s.box)}&prefix=file&other=1&quiet=1`);
      check(entries(dnl).length === 0, `${s.name}: a file: page changed nothing (${entries(dnl)})`);
      for (const dir of ['trk', 'cgi-bin']) fs.rmSync(path.join(www, dir, '.htpasswd'), { force: true });
    }
  } finally {
    if (context) await context.close();
    other.close();
    server.kill('SIGKILL');
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(root, { recursive: true, force: true });
    if (saved) fs.writeFileSync(kConf, saved); else fs.rmSync(kConf, { force: true });
    if (savedNames) fs.writeFileSync(kNames, savedNames); else fs.rmSync(kNames, { force: true });
  }
  console.log(`${checks - failures} passed, ${failures} failed`);
  process.exit(failures === 0 ? 0 : 1);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
