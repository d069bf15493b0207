// A real installation for the browser: `cmake --install` into a scratch
// root, kivd and the web server started from it as scripts/run.sh starts
// them, on 127.0.0.1 and a free port; headless Debian Chromium.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

export const CHROMIUM = '/usr/bin/chromium';
export const CHROMIUM_ARGS = ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export async function waitFor(check, what, seconds = 10) {
  for (let i = 0; i < seconds * 20; i++) {
    if (await check()) return;
    await sleep(50);
  }
  throw new Error(`timed out waiting for ${what}`);
}

function accepts(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1', () => { s.destroy(); resolve(true); });
    s.on('error', () => resolve(false));
  });
}

/** Processes whose program file is `exe` (read from /proc). */
export function processesOf(program) {
  // One program file runs under all five names: its file, and the name it
  // was started under.
  const found = [];
  let real;
  try { real = fs.realpathSync(program); } catch { return found; }
  for (const pid of fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n))) {
    try {
      const target = fs.readlinkSync(`/proc/${pid}/exe`).replace(/ \(deleted\)$/, '');
      const argv0 = fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1').split('\0')[0];
      if (target === real && path.basename(argv0) === path.basename(program)) found.push(Number(pid));
    } catch { /* gone, or not ours to read */ }
  }
  return found;
}

const SHARED = ['/tmp/kiv.conf', '/tmp/kiv-names'];

export class Box {
  /** build: the build tree; source: the source tree. */
  constructor(build, source) {
    this.build = path.resolve(build);
    this.source = path.resolve(source);
    this.stopped = [];
  }

  async start() {
    for (const f of [CHROMIUM, path.join(this.source, 'tests/browser/node_modules/playwright-core')])
      if (!fs.existsSync(f)) throw new Error(`${f} is missing: bash scripts/test.sh installs it`);
    // What kivd publishes is shared with the other tests (they run one at a time): put it back after.
    this.saved = SHARED.map((f) => (fs.existsSync(f) ? fs.readFileSync(f) : null));
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), 'kiv-browser-'));
    execFileSync('cmake', ['--install', this.build, '--prefix', this.root], { stdio: 'ignore' });
    this.www = path.join(this.root, 'www/kiv');
    this.dnl = path.join(this.www, 'dnl');
    this.trk = path.join(this.www, 'trk');
    execFileSync(path.join(this.root, 'bin/kivd'), { stdio: 'ignore' });
    await waitFor(() => fs.existsSync(this.dnl), 'kivd to make the download directory');
    this.port = await freePort();
    this.server = spawn('bash', [path.join(this.source, 'scripts/webserver.sh'), this.root, String(this.port)],
      { stdio: ['ignore', 'ignore', 'inherit'] });
    await waitFor(() => accepts(this.port), 'the web server', 60);
    this.base = `http://127.0.0.1:${this.port}`;
    this.browser = await chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_ARGS, headless: true });
    return this;
  }

  /** Ends every transfer that a job record of this box names. */
  stopTransfers() {
    if (!this.trk || !fs.existsSync(this.trk)) return;
    for (const name of fs.readdirSync(this.trk)) {
      if (!/^[A-Za-z0-9]{6}$/.test(name)) continue;
      const pid = fs.readFileSync(path.join(this.trk, name), 'utf8').split('\n')[0];
      try {
        const exe = path.basename(fs.readlinkSync(`/proc/${pid}/exe`));
        if (exe === 'wget' || exe === 'ctorrent') process.kill(Number(pid), 'SIGKILL');
      } catch { /* already ended */ }
    }
  }

  async stop() {
    if (this.browser) await this.browser.close().catch(() => {});
    this.stopTransfers();
    if (this.server) this.server.kill();
    if (this.root) for (const pid of processesOf(path.join(this.root, 'bin/kivd'))) process.kill(pid, 'SIGTERM');
    SHARED.forEach((f, i) => {
      if (!this.saved) return;
      if (this.saved[i]) fs.writeFileSync(f, this.saved[i]);
      else fs.rmSync(f, { force: true });
    });
    if (this.root) fs.rmSync(this.root, { recursive: true, force: true });
  }
}
