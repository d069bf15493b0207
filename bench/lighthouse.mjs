// Lighthouse (performance only) on Transfers and Files at a household's
// scale, mobile and desktop presets, in Debian's Chromium started with a
// debugging port for it. Usage: node bench/lighthouse.mjs [BUILD_DIR] [RUNS]
// (bench/lighthouse.sh fetches Lighthouse and runs this in a namespace).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import lighthouse from './.deps/node_modules/lighthouse/core/index.js';
import desktop from './.deps/node_modules/lighthouse/core/config/desktop-config.js';
import { Box, CHROMIUM, CHROMIUM_ARGS, freePort } from '../tests/browser/box.mjs';
import { fill } from './household.mjs';

const [build = 'build', runs = 3] = process.argv.slice(2);
const box = new Box(build, path.dirname(path.dirname(new URL(import.meta.url).pathname)));
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
let chromium;
try {
  await box.start();
  fill(box);
  const port = await freePort();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kiv-lh-'));
  chromium = spawn(CHROMIUM, [...CHROMIUM_ARGS, `--remote-debugging-port=${port}`, `--user-data-dir=${profile}`, 'about:blank'],
    { stdio: 'ignore' });
  for (let i = 0; i < 600; i++) {
    if (await fetch(`http://127.0.0.1:${port}/json/version`).then(() => true, () => false)) break;
    await new Promise((r) => setTimeout(r, 50));
  }
  console.log(`${os.loadavg().map((l) => l.toFixed(1)).join(' ')} load average at the start; median of ${runs} runs each`);
  for (const view of ['transfers', 'files']) {
    for (const [preset, config] of [['mobile', undefined], ['desktop', desktop]]) {
      const got = { score: [], tbt: [], cls: [], lcp: [] };
      for (let i = 0; i < Number(runs); i++) {
        const { lhr } = await lighthouse(`${box.base}/#${view}`, { port, logLevel: 'error', onlyCategories: ['performance'] }, config);
        if (lhr.runtimeError) throw new Error(lhr.runtimeError.message);
        got.score.push(Math.round(lhr.categories.performance.score * 100));
        got.tbt.push(lhr.audits['total-blocking-time'].numericValue);
        got.cls.push(lhr.audits['cumulative-layout-shift'].numericValue);
        got.lcp.push(lhr.audits['largest-contentful-paint'].numericValue);
      }
      console.log(`${view} ${preset}: performance ${median(got.score)} (${got.score.join(' ')}), TBT ${median(got.tbt).toFixed(0)} ms, ` +
        `CLS ${median(got.cls).toFixed(3)}, LCP ${median(got.lcp).toFixed(0)} ms`);
    }
  }
  console.log(`${os.loadavg().map((l) => l.toFixed(1)).join(' ')} load average at the end`);
} finally {
  if (chromium) chromium.kill();
  await box.stop();
}
