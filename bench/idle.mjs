// The page left open at a household's scale in headless Chromium: 10,000
// files and 300 wget jobs really running (each fetching a slow endless file
// from a loopback server, 2 KiB/s). Each view in turn stays open for a
// while; figures: the CPU its renderer used, its main thread's busy time,
// the JavaScript heap (after a collection) along the way, the DOM size at
// the start and at the end, and what a refresh moved on the wire.
// Usage: node bench/idle.mjs [BUILD_DIR] [SECONDS_PER_VIEW] [FILES] [JOBS]
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { Box } from '../tests/browser/box.mjs';

const [build = 'build', seconds = 600, files = 10000, jobs = 300] = process.argv.slice(2);
const box = new Box(build, path.dirname(path.dirname(new URL(import.meta.url).pathname)));
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Endless files: as much as wget takes, never the end.
const chunk = Buffer.alloc(64 * 1024);
const source = http.createServer((request, response) => {
  response.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': String(1e12) });
  const more = () => { while (response.write(chunk)); };
  response.on('drain', more);
  more();
});

try {
  await new Promise((r) => source.listen(0, '127.0.0.1', r));
  await box.start();
  for (let i = 0; i < Number(files); i++) fs.writeFileSync(path.join(box.dnl, `holiday photo ${i}.jpg`), '');
  const ctl = (body) => fetch(`${box.base}/cgi-bin/kiv-ctl`, {
    method: 'POST', headers: { 'X-Kiv': '1', 'Content-Type': 'application/x-www-form-urlencoded' }, body,
  }).then((r) => r.text());
  for (let i = 0; i < Number(jobs); i++) {
    const answer = await ctl(`cmd=wget&file=${encodeURIComponent(`http://127.0.0.1:${source.address().port}/disc${i}.iso`)}&down=2&curdir=%2F`);
    if (!/^OK/.test(answer.trim())) throw new Error(`job ${i}: ${answer}`);
  }
  const status = await (await fetch(`${box.base}/cgi-bin/kiv-list`, { method: 'POST', headers: { 'X-Kiv': '1' }, body: 'full=1' })).text();
  const running = /wgets:(\d+)/.exec(status)?.[1];
  console.log(`${files} files, ${jobs} wget jobs started, ${running} running; ${seconds} s per view`);

  const cdp = await box.browser.newBrowserCDPSession();
  const rendererTime = async () => (await cdp.send('SystemInfo.getProcessInfo')).processInfo
    .filter((p) => p.type === 'renderer').reduce((s, p) => s + p.cpuTime, 0);

  for (const view of ['files', 'transfers']) {
    const context = await box.browser.newContext({ viewport: { width: 1280, height: 800 } });
    // Every response of the page, counted as it arrives (no buffer to fill).
    await context.addInitScript(() => {
      // The browser's own list of them would grow the heap it measures.
      performance.setResourceTimingBufferSize(0);
      window.wire = { bytes: 0, lists: 0, logs: 0 };
      new PerformanceObserver((list) => {
        for (const e of list.getEntries()) {
          window.wire.bytes += e.transferSize;
          if (e.name.includes('kiv-list')) window.wire.lists++;
          if (e.name.includes('/trk/')) window.wire.logs++;
        }
      }).observe({ type: 'resource' });
    });
    const page = await context.newPage();
    const session = await context.newCDPSession(page);
    await session.send('Performance.enable');
    const metrics = async () => Object.fromEntries((await session.send('Performance.getMetrics')).metrics.map((m) => [m.name, m.value]));
    const settled = async () => { await session.send('HeapProfiler.collectGarbage'); return metrics(); };

    await page.goto(`${box.base}/#${view}`);
    await page.waitForSelector(view === 'files' ? '#listing li' : '#jobs li');
    await sleep(15000); // the first fill and the background reads are over
    const start = await settled();
    const cpu0 = await rendererTime();
    const wire0 = await page.evaluate(() => ({ ...window.wire }));
    const t0 = Date.now();
    const heap = [start.JSHeapUsedSize];
    for (let part = 1; part < 5; part++) {
      await sleep(Number(seconds) * 200);
      heap.push((await settled()).JSHeapUsedSize);
    }
    await sleep(Number(seconds) * 200);
    const wall = (Date.now() - t0) / 1000;
    const cpu = (await rendererTime()) - cpu0;
    const wire = await page.evaluate((w) => Object.fromEntries(Object.entries(window.wire).map(([k, v]) => [k, v - w[k]])), wire0);
    const end = await settled();
    heap.push(end.JSHeapUsedSize);
    const mb = (b) => `${(b / 1048576).toFixed(2)} MB`;
    console.log(`${view}, open ${wall.toFixed(0)} s:`);
    console.log(`  renderer CPU ${(100 * cpu / wall).toFixed(1)} % of a core; main thread busy ${(100 * (end.TaskDuration - start.TaskDuration) / wall).toFixed(1)} %`);
    console.log(`  JS heap after collection, every ${Number(seconds) / 5} s: ${heap.map(mb).join(' ')}`);
    console.log(`  DOM nodes ${start.Nodes} -> ${end.Nodes}; listeners ${start.JSEventListeners} -> ${end.JSEventListeners}`);
    console.log(`  ${wire.lists} refreshes, ${wire.logs} job-log requests, ${(wire.bytes / Math.max(1, wire.lists) / 1024).toFixed(1)} KB per refresh on the wire`);
    await context.close();
  }
} finally {
  await box.stop();
  source.close();
  source.closeAllConnections();
}
