// The page at a household's scale in headless Chromium: one folder of
// 10,000 files and 300 transfer logs. Figures: the listing shown after the
// status answer arrived, sort and filter of all rows, what an idle refresh
// writes to the page, fetches and costs the main thread.
// Usage: node bench/scale.mjs [BUILD_DIR] [FILES] [JOBS]
import fs from 'node:fs';
import path from 'node:path';
import { Box } from '../tests/browser/box.mjs';

const [build = 'build', files = 10000, jobs = 300] = process.argv.slice(2);
const box = new Box(build, path.dirname(path.dirname(new URL(import.meta.url).pathname)));
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

/** Runs `act` in the page and resolves when the frame after it is painted. */
const timed = (page, act) => page.evaluate(`(async () => {
  const t = performance.now();
  ${act};
  await new Promise((r) => requestAnimationFrame(() => setTimeout(r)));
  return performance.now() - t;
})()`);

try {
  await box.start();
  for (let i = 0; i < Number(files); i++) fs.writeFileSync(path.join(box.dnl, `holiday photo ${i}.jpg`), '');
  for (let i = 0; i < Number(jobs); i++) {
    fs.writeFileSync(path.join(box.trk, `job${String(i).padStart(4, '0')}.wgt`),
      `--2026-12-08 10:00:00--  http://example.test/file${i}.iso\n 45%[=====>     ] 450.00M  1.2MB/s  eta 7m 30s\r`);
  }
  const context = await box.browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await context.newPage();
  const fetched = [];
  page.on('request', (r) => fetched.push(r.url()));
  const session = await context.newCDPSession(page);
  await session.send('Performance.enable');
  const busy = async () => (await session.send('Performance.getMetrics')).metrics.find((m) => m.name === 'TaskDuration').value;

  const shown = [];
  for (let i = 0; i < 5; i++) {
    await page.goto(`${box.base}/#files`);
    await page.waitForSelector('#listing li');
    shown.push(await page.evaluate(() => {
      const answer = performance.getEntriesByType('resource').find((r) => r.name.includes('kiv-list'));
      return performance.now() - answer.responseEnd;
    }));
  }
  const status = await page.evaluate(() => performance.getEntriesByType('resource').find((r) => r.name.includes('kiv-list')).transferSize);

  const sorts = [], filters = [];
  for (let i = 0; i < 5; i++) {
    sorts.push(await timed(page, "document.querySelector('#sort [data-key=size]').click()"));
    sorts.push(await timed(page, "document.querySelector('#sort [data-key=name]').click()"));
    const f = "const f = document.querySelector('#filter'); f.value = %; f.dispatchEvent(new Event('input'))";
    filters.push(await timed(page, f.replace('%', "'photo 99'")));
    filters.push(await timed(page, f.replace('%', "''")));
  }

  // Idle: three refreshes with nothing changed.
  const idle = async (view) => {
    await page.evaluate((v) => { location.hash = v; }, view);
    await page.waitForTimeout(3500);
    fetched.length = 0;
    const before = await busy();
    const writes = await page.evaluate(() => new Promise((resolve) => {
      let n = 0;
      const seen = new MutationObserver((m) => { n += m.length; });
      seen.observe(document.body, { subtree: true, childList: true, attributes: true, characterData: true });
      setTimeout(() => { seen.disconnect(); resolve(n); }, 9000);
    }));
    const logs = fetched.filter((u) => u.includes('/trk/')).length;
    const lists = fetched.filter((u) => u.includes('kiv-list')).length;
    const work = ((await busy()) - before) * 1000 / Math.max(1, lists);
    return `${lists} status requests, ${writes} DOM changes, ${logs} job-log requests, main thread ${work.toFixed(0)} ms per refresh`;
  };
  const files9 = await idle('files');
  const transfers9 = await idle('transfers');

  console.log(`${files} files, ${jobs} job logs; status answer ${status} bytes`);
  console.log(`listing shown after the status answer arrived: median ${median(shown).toFixed(0)} ms (5 loads)`);
  console.log(`sort of all rows: median ${median(sorts).toFixed(0)} ms; filter: median ${median(filters).toFixed(0)} ms (to the next frame)`);
  console.log(`idle 9 s on Files: ${files9}`);
  console.log(`idle 9 s on Transfers: ${transfers9}`);
} finally {
  await box.stop();
}
