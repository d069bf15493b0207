// The page's first load on loopback: a fresh browser context (empty cache)
// opens the address until the listing of a 100-entry folder is shown; and
// the page's size; a repeat visit in the same context; and, interleaved, a
// bare static page of the same server as the yardstick.
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

  // The floor: a bare static page in the same browser, each run between
  // a cold and a warm load of the page (interleaved, so both see the same
  // machine).
  fs.writeFileSync(path.join(box.www, 'bare.html'), '<!doctype html><p id=bare>bare</p>');
  const bare = [], cold = [], warm = [], status = [];
  let requests = 0, bytes = 0, warmBytes = 0;
  const open = async (context, url, selector) => {
    const page = await context.newPage();
    let count = 0;
    page.on('requestfinished', () => count++);
    const start = Date.now();
    await page.goto(url);
    await page.waitForSelector(selector);
    const took = Date.now() - start;
    const moved = await page.evaluate(() => performance.getEntriesByType('resource').reduce((s, r) => s + r.transferSize, 0) +
      performance.getEntriesByType('navigation')[0].transferSize);
    return { page, took, count, moved };
  };
  for (let i = 0; i < Number(runs); i++) {
    let context = await box.browser.newContext();
    bare.push((await open(context, `${box.base}/bare.html`, '#bare')).took);
    await context.close();

    context = await box.browser.newContext();
    const first = await open(context, `${box.base}/#files`, '#listing li:nth-child(101)');
    cold.push(first.took);
    requests = first.count;
    bytes = first.moved;
    status.push(await first.page.evaluate(async () => {
      const t = performance.now();
      await (await fetch('/cgi-bin/kiv-list?full=1', { headers: { 'X-Kiv': '1' }, cache: 'no-store' })).text();
      return performance.now() - t;
    }));
    await first.page.close();
    // A repeat visit: the page's files come from the browser's cache once
    // the server says they are unchanged.
    const again = await open(context, `${box.base}/#files`, '#listing li:nth-child(101)');
    warm.push(again.took);
    warmBytes = again.moved;
    await context.close();
  }
  fs.rmSync(path.join(box.www, 'bare.html'));
  console.log(`page size: ${packed} bytes as gzip -9, ${total} unpacked, in ${files.length} files (limits: tests/install_layout_test.sh)`);
  for (const [name, n, z] of files.sort()) console.log(`  ${name} ${z} / ${n}`);
  console.log(`first load until the listing of 101 entries shows: median ${median(cold)} ms, p90 ${p90(cold)} ms over ${runs} fresh contexts`);
  console.log(`  ${requests} requests, ${bytes} bytes transferred (headers included)`);
  console.log(`repeat visit, the page's files revalidated: median ${median(warm)} ms, p90 ${p90(warm)} ms; ${warmBytes} bytes transferred`);
  console.log(`a bare static page, the same way: median ${median(bare)} ms, p90 ${p90(bare)} ms`);
  console.log(`first load / bare page: ${(median(cold) / median(bare)).toFixed(2)}; repeat visit / bare page: ${(median(warm) / median(bare)).toFixed(2)}`);
  console.log(`status request alone (kiv-list with the job lists): median ${median(status).toFixed(1)} ms`);
} finally {
  await box.stop();
}
