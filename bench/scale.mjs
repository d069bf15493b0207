// The page at a household's scale in headless Chromium: one folder of
// 10,000 files and 300 transfer logs. Figures: the listing shown after the
// status answer arrived, sort and filter of all rows, what an idle refresh
// writes to the page, fetches and costs the main thread.
// Usage: node bench/scale.mjs [BUILD_DIR] [FILES] [JOBS]
import fs from 'node:fs';
import path from 'node:path';
import { Box } from '../tests/browser/box.mjs';
import { fill } from './household.mjs';

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
  fill(box, files, jobs);
  const context = await box.browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await context.newPage();
  const fetched = [];
  page.on('request', (r) => fetched.push(r.url()));
  const session = await context.newCDPSession(page);
  /** Runs `fn` under a trace; resolves to the main thread's task and GC milliseconds. */
  const traced = async (fn) => {
    const events = [];
    const collect = (e) => events.push(...e.value);
    session.on('Tracing.dataCollected', collect);
    const done = new Promise((r) => session.once('Tracing.tracingComplete', r));
    await session.send('Tracing.start', { categories: 'toplevel,v8,devtools.timeline,disabled-by-default-devtools.timeline', transferMode: 'ReportEvents' });
    const result = await fn();
    await session.send('Tracing.end');
    await done;
    session.off('Tracing.dataCollected', collect);
    const main = events.find((e) => e.name === 'thread_name' && e.args.name === 'CrRendererMain');
    const sum = (name) => events.filter((e) => e.pid === main.pid && e.tid === main.tid && e.name === name && e.dur)
      .reduce((t, e) => t + e.dur / 1000, 0);
    return { result, tasks: sum('RunTask'), gc: sum('MajorGC') + sum('MinorGC') };
  };

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

  // Idle: six refreshes with nothing changed.
  const idle = async (view) => {
    fetched.length = 0;
    await page.evaluate((v) => { location.hash = v; }, view);
    // Whatever the view reads on opening: wait for the quiet, counting logs.
    for (let logs = -1; logs !== fetched.filter((u) => u.includes('/trk/')).length;) {
      logs = fetched.filter((u) => u.includes('/trk/')).length;
      await page.waitForTimeout(3500);
    }
    const opening = fetched.filter((u) => u.includes('/trk/')).length;
    fetched.length = 0;
    const { result: writes, tasks, gc } = await traced(() => page.evaluate(() => new Promise((resolve) => {
      let n = 0;
      const seen = new MutationObserver((m) => { n += m.length; });
      seen.observe(document.body, { subtree: true, childList: true, attributes: true, characterData: true });
      setTimeout(() => { seen.disconnect(); resolve(n); }, 18000);
    })));
    const logs = fetched.filter((u) => u.includes('/trk/')).length;
    const lists = fetched.filter((u) => u.includes('kiv-list')).length;
    const per = (ms) => (ms / Math.max(1, lists)).toFixed(0);
    return `${opening} job-log requests on opening; then ${lists} status requests, ${writes} DOM changes, ${logs} job-log requests, main thread ${per(tasks)} ms per refresh (${per(gc)} ms of it garbage collection)`;
  };
  const files9 = await idle('files');
  const transfers9 = await idle('transfers');

  console.log(`${files} files, ${jobs} job logs; status answer ${status} bytes`);
  console.log(`listing shown after the status answer arrived: median ${median(shown).toFixed(0)} ms (5 loads)`);
  console.log(`sort of all rows: median ${median(sorts).toFixed(0)} ms; filter: median ${median(filters).toFixed(0)} ms (to the next frame)`);
  console.log(`idle 18 s on Files: ${files9}`);
  console.log(`idle 18 s on Transfers: ${transfers9}`);
} finally {
  await box.stop();
}
