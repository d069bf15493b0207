// The page's first load on loopback: a fresh browser context (empty cache)
// opens the address until the listing of a 100-entry folder is shown; and
// the page's size. Yardstick: the status request alone, from the same page.
import fs from 'node:fs';
import zlib from 'node:zlib';
import path from 'node:path';
import { Box } from '../tests/browser/box.mjs';

const [build = 'build', runs = 30] = process.argv.slice(2);
const box = new Box(build, path.dirname(path.dirname(new URL(import.meta.url).pathname)));
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const p90 = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length * 0.9)];

try {
  await box.start();
  for (let i = 0; i < 100; i++) fs.writeFileSync(path.join(box.dnl, `file-${i}.bin`), 'x'.repeat(i * 100));
  fs.mkdirSync(path.join(box.dnl, 'folder'));

  const files = [];
  const walk = (dir) => {
    for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
      const p = path.join(dir, e.name);
      if (e.isDirectory() && !['cgi-bin', 'trk', 'dnl'].includes(e.name)) walk(p);
      else if (e.isFile()) files.push([path.relative(box.www, p), fs.statSync(p).size, zlib.gzipSync(fs.readFileSync(p), { level: 9 }).length]);
    }
  };
  walk(box.www);
  const total = files.reduce((s, [, n]) => s + n, 0), packed = files.reduce((s, [, , z]) => s + z, 0);

  // The floor: a bare static page in the same browser.
  fs.writeFileSync(path.join(box.www, 'bare.html'), '<!doctype html><p id=bare>bare</p>');
  const bare = [];
  for (let i = 0; i < Number(runs); i++) {
    const context = await box.browser.newContext();
    const page = await context.newPage();
    const start = Date.now();
    await page.goto(`${box.base}/bare.html`);
    await page.waitForSelector('#bare');
    bare.push(Date.now() - start);
    await context.close();
  }
  fs.rmSync(path.join(box.www, 'bare.html'));

  const loads = [], status = [];
  let requests = 0, bytes = 0;
  for (let i = 0; i < Number(runs); i++) {
    const context = await box.browser.newContext();
    const page = await context.newPage();
    let count = 0;
    page.on('requestfinished', () => count++);
    const start = Date.now();
    await page.goto(`${box.base}/#files`);
    await page.waitForSelector('#listing li:nth-child(101)');
    loads.push(Date.now() - start);
    requests = count;
    bytes = await page.evaluate(() => performance.getEntriesByType('resource').reduce((s, r) => s + r.transferSize, 0) +
      performance.getEntriesByType('navigation')[0].transferSize);
    status.push(await page.evaluate(async () => {
      const t = performance.now();
      await (await fetch('/cgi-bin/kiv-list?full=1', { headers: { 'X-Kiv': '1' }, cache: 'no-store' })).text();
      return performance.now() - t;
    }));
    await context.close();
  }
  console.log(`page size: ${packed} bytes as gzip -9 (limit 27648), ${total} unpacked (limit 81920), in ${files.length} files`);
  for (const [name, n, z] of files.sort()) console.log(`  ${name} ${z} / ${n}`);
  console.log(`first load until the listing of 101 entries shows: median ${median(loads)} ms, p90 ${p90(loads)} ms over ${runs} fresh contexts`);
  console.log(`  ${requests} requests, ${bytes} bytes transferred (headers included)`);
  console.log(`a bare static page, the same way: median ${median(bare)} ms, p90 ${p90(bare)} ms`);
  console.log(`status request alone (kiv-list with the job lists): median ${median(status).toFixed(1)} ms`);
} finally {
  await box.stop();
}
