// The first load against a peer's web UI, in the same run: ours until the
// Transfers list of 300 jobs shows, Debian's transmission-daemon (unpacked
// in bench/.deps by peers.sh) until its list of 300 paused torrents shows.
// Each load in a fresh browser context, interleaved, unthrottled and with
// 4x CPU throttling and 40 ms latency.
// Usage: node bench/peers.mjs [BUILD_DIR] [RUNS]
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Box, freePort } from '../tests/browser/box.mjs';
import { fill } from './household.mjs';

const [build = 'build', runs = 10] = process.argv.slice(2);
const here = path.dirname(new URL(import.meta.url).pathname);
const box = new Box(build, path.dirname(here));
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const td = path.join(here, '.deps/td'), config = path.join(here, '.deps/tr-config');

const bencode = (v) => (typeof v === 'number' ? Buffer.from(`i${v}e`)
  : Buffer.isBuffer(v) || typeof v === 'string' ? Buffer.concat([Buffer.from(`${Buffer.byteLength(v)}:`), Buffer.from(v)])
    : Buffer.concat([Buffer.from('d'), ...Object.keys(v).sort().flatMap((k) => [bencode(k), bencode(v[k])]), Buffer.from('e')]));

let daemon;
try {
  await box.start();
  fill(box);
  fs.rmSync(config, { recursive: true, force: true });
  fs.mkdirSync(path.join(config, 'dl'), { recursive: true });
  fs.writeFileSync(path.join(config, 'settings.json'), JSON.stringify({
    'dht-enabled': false, 'lpd-enabled': false, 'pex-enabled': false, 'utp-enabled': false, 'port-forwarding-enabled': false,
    'bind-address-ipv4': '127.0.0.1', 'rpc-bind-address': '127.0.0.1', 'rpc-authentication-required': false,
    'start-added-torrents': false, 'download-dir': path.join(config, 'dl'),
  }));
  const port = await freePort();
  daemon = spawn(path.join(td, 'usr/bin/transmission-daemon'), ['-f', '-g', config, '-p', String(port), '-P', String(await freePort()),
    '-M', '-O', '-Y', '--no-utp'], { stdio: 'ignore', env: { ...process.env, LD_LIBRARY_PATH: path.join(td, 'usr/lib/x86_64-linux-gnu'),
    TRANSMISSION_WEB_HOME: path.join(td, 'usr/share/transmission/web') } });
  const rpc = `http://127.0.0.1:${port}/transmission/rpc`;
  let session = '';
  const call = async (body) => {
    for (;;) {
      const r = await fetch(rpc, { method: 'POST', headers: { 'X-Transmission-Session-Id': session }, body: JSON.stringify(body) })
        .catch(() => null);
      if (r?.status === 409) session = r.headers.get('X-Transmission-Session-Id');
      else if (r?.ok) return r.json();
      else await new Promise((res) => setTimeout(res, 100));
    }
  };
  for (let i = 0; i < 300; i++) {
    const metainfo = bencode({ announce: 'http://127.0.0.1:9/announce',
      info: { length: 65536, name: `file${i}.iso`, 'piece length': 16384, pieces: Buffer.alloc(80, i % 256) } }).toString('base64');
    const got = await call({ method: 'torrent-add', arguments: { metainfo, paused: true } });
    if (got.result !== 'success') throw new Error(`torrent-add: ${got.result}`);
  }

  const load = async (url, selector, throttled) => {
    const context = await box.browser.newContext({ viewport: { width: 1280, height: 800 } });
    const page = await context.newPage();
    if (throttled) {
      const cdp = await context.newCDPSession(page);
      await cdp.send('Emulation.setCPUThrottlingRate', { rate: 4 });
      await cdp.send('Network.enable');
      await cdp.send('Network.emulateNetworkConditions', { offline: false, latency: 40, downloadThroughput: -1, uploadThroughput: -1 });
    }
    const start = Date.now();
    await page.goto(url);
    await page.waitForSelector(selector, { timeout: 120000 });
    const took = Date.now() - start;
    await context.close();
    return took;
  };
  console.log(`${os.loadavg().map((l) => l.toFixed(1)).join(' ')} load average at the start; ${runs} interleaved fresh loads each`);
  for (const throttled of [false, true]) {
    const ours = [], theirs = [];
    for (let i = 0; i < Number(runs); i++) {
      ours.push(await load(`${box.base}/#transfers`, '#jobs > li:nth-child(300)', throttled));
      theirs.push(await load(`http://127.0.0.1:${port}/transmission/web/`, '#torrent_list > li:nth-child(300)', throttled));
    }
    console.log(`${throttled ? '4x CPU, 40 ms latency' : 'unthrottled'}: ours median ${median(ours)} ms (${ours.join(' ')}), ` +
      `transmission-daemon ${median(theirs)} ms (${theirs.join(' ')}); ratio ${(median(ours) / median(theirs)).toFixed(2)}`);
  }
  console.log(`${os.loadavg().map((l) => l.toFixed(1)).join(' ')} load average at the end`);
} finally {
  if (daemon) daemon.kill();
  await box.stop();
}
