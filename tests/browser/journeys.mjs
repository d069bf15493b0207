// The box's page in headless Chromium against a real installation: a
// person's journeys through it, with the real wget, ctorrent, lighttpd and
// programs on 127.0.0.1. Screenshots of the views go to SHOTS.
// Usage: node journeys.mjs BUILD_DIR SOURCE_DIR [SHOTS_DIR]
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { Box, freePort, processesOf, waitFor, CHROMIUM, CHROMIUM_ARGS } from './box.mjs';

const [build = 'build', source = '.', shots = path.join(build, 'browser-shots')] = process.argv.slice(2);
const HOSTILE = ['<img src=x onerror=window.__pwned=1>', "');window.__pwned=1;('", '${window.__pwned=1}',
  '"><script>window.__pwned=1<\\script>', "it's \\ \"quoted\"\tand\ttabbed"];
const AXE = fs.readFileSync(new URL('node_modules/axe-core/axe.min.js', import.meta.url), 'utf8');
const FILM = crypto.createHash('sha256').update('film').digest().toString('hex').repeat(40000); // 2.56 MB

/** A loopback HTTP server that sends slowly enough to watch the progress
 *  (slower still with ?slow), from where a Range asks. */
async function slowServer() {
  const port = await freePort();
  const server = http.createServer((req, res) => {
    if (!req.url.startsWith('/data/film.bin')) { res.writeHead(404).end(); return; }
    let at = Number((/^bytes=(\d+)-$/.exec(req.headers.range || '') || [0, 0])[1]);
    const chunk = req.url.includes('slow') ? 8192 : 32768;
    res.writeHead(at ? 206 : 200, { 'Content-Type': 'application/octet-stream', 'Content-Length': FILM.length - at,
      ...(at ? { 'Content-Range': `bytes ${at}-${FILM.length - 1}/${FILM.length}` } : {}) });
    const step = () => {
      if (at >= FILM.length) return res.end();
      res.write(FILM.slice(at, at + chunk), () => setTimeout(step, 60));
      at += chunk;
    };
    step();
  });
  await new Promise((r) => server.listen(port, '127.0.0.1', r));
  return { server, url: `http://127.0.0.1:${port}/data/film.bin` };
}

const box = new Box(build, source);
const results = [];
let dialogs = 0;
let foreign = [], unmarked = [];

async function newPage(options = {}) {
  // In English unless a journey asks for another language.
  const context = await box.browser.newContext({ viewport: { width: 1280, height: 800 }, locale: 'en-US', ...options });
  // Each wait spans status refreshes (every 3 s) and programs that start
  // slowly on a loaded machine: 15 s was outrun.
  context.setDefaultTimeout(60000);
  const page = await context.newPage();
  page.on('dialog', (d) => { dialogs++; d.dismiss(); });
  page.on('pageerror', (e) => console.log(`  page error: ${e.message}`));
  page.on('request', (r) => {
    if (!r.url().startsWith('blob:') && new URL(r.url()).origin !== box.base) foreign.push(r.url());
    // What the page's code asks for carries X-Kiv (an upload's redirect to the page is the browser's).
    else if (['fetch', 'xhr'].includes(r.resourceType()) && !r.redirectedFrom() && !r.headers()['x-kiv']) unmarked.push(r.url());
  });
  return page;
}

async function open(page, view) {
  await page.goto(`${box.base}/#${view}`);
  await page.waitForSelector('body[data-loaded=true]');
  await page.waitForSelector(`#view-${view}`); // Settings shows once its module is set up
}

const row = (page, name) => page.locator('#listing li').filter({ has: page.getByText(name, { exact: true }) });

/** The job record that fetches `address`, once there. */
async function recordOf(address) {
  let found;
  await waitFor(() => (found = fs.readdirSync(box.trk).find((n) => /^[A-Za-z0-9]{6}$/.test(n) &&
    fs.readFileSync(path.join(box.trk, n), 'utf8').split('\n')[1] === address)), `the job of ${address}`, 60);
  return found;
}

/** The row of the download of `address`: file names repeat across
 *  journeys, and earlier journeys' rows stay in the list. */
async function downloadRow(page, address) {
  const name = `Progress of ${await recordOf(address)}.wgt`;
  return page.locator('#jobs li').filter({ has: page.getByRole('progressbar', { name, exact: true, includeHidden: true }) });
}

/** Deletes the jobs whose record's address passes `test`: what a journey
 *  started must not run on, nor be counted, in the journeys after it. */
async function deleteJobs(test) {
  for (const id of fs.readdirSync(box.trk).filter((n) => /^[A-Za-z0-9]{6}$/.test(n))) {
    let source;
    try { source = fs.readFileSync(path.join(box.trk, id), 'utf8').split('\n')[1]; } catch { continue; } // deleted meanwhile
    if (!test(source)) continue;
    const log = fs.existsSync(path.join(box.trk, `${id}.tor`)) ? `${id}.tor` : `${id}.wgt`;
    const answer = await (await fetch(`${box.base}/cgi-bin/kiv-ctl`, { method: 'POST', headers: { 'X-Kiv': '1' }, body: new URLSearchParams({ cmd: 'del', file: log }) })).text();
    // Not found: deleted meanwhile (the page's delete removes the log first).
    if (!/^(OK|Job not found)/.test(answer.trim())) console.log(`  ${log} of ${source} not deleted: ${answer.trim()}`);
  }
}

async function entryAction(page, name, action) {
  await page.getByRole('button', { name: `Actions for ${name}`, exact: true }).click();
  await page.locator('dialog .menu').getByText(action, { exact: true }).click();
}

async function answer(page, fields, button) {
  const dialog = page.locator('dialog[open]');
  for (const [label, value] of Object.entries(fields)) await dialog.getByLabel(label).fill(value);
  await dialog.getByRole('button', { name: button, exact: true }).click();
}

/** `undo` puts back what `fn` leaves when it fails midway (a transfer
 *  running, files), so that the journeys after it do not fail too. */
async function journey(name, fn, undo = async () => {}) {
  if (process.env.JOURNEYS && !new RegExp(process.env.JOURNEYS).test(name)) return;
  const started = Date.now();
  const page = await newPage();
  try {
    await fn(page);
    results.push([name, 'ok']);
    console.log(`ok   ${name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
  } catch (e) {
    results.push([name, 'FAILED']);
    console.log(`FAIL ${name}\n${e.stack}`);
    // Every page it had open: the one that failed may be one of its own.
    for (const [i, p] of box.browser.contexts().flatMap((c) => c.pages()).entries())
      await p.screenshot({ path: path.join(shots, `failed-${results.length}${i ? `-${i}` : ''}.png`) }).catch(() => {});
  } finally {
    await undo().catch((e) => console.log(`  not undone: ${e.message}`));
    // Pages it opened and a failure left open would go on asking the box.
    for (const context of box.browser.contexts()) await context.close().catch(() => {});
  }
}

async function run() {
  await box.start();
  const { server, url } = await slowServer();

  await journey('add a URL, watch it reach 100 %, the file appears', async (page) => {
    // As a bookmarklet hands it over: the link fills the form, the user confirms.
    await page.goto(`${box.base}/#add=${encodeURIComponent(url)}`);
    await page.waitForSelector('body[data-loaded=true]');
    assert.equal(await page.getByLabel('Addresses (HTTP or FTP)').inputValue(), url);
    assert.equal(fs.readdirSync(box.trk).filter((n) => n.endsWith('.wgt')).length, 0);
    // No transfer yet: the page says so and offers nothing to choose.
    await page.locator('#jobs-empty').getByText('No transfers yet.', { exact: true }).waitFor({ timeout: 60000 });
    assert.deepEqual(await page.locator('#job-picks, #nukeall').evaluateAll((n) => n.map((e) => e.hidden)), [true, true]);
    // Every title and header the page shows, however briefly: a loaded
    // machine's download may run between two samples of the loop below.
    await page.evaluate(() => {
      window.shown = [];
      const keep = () => window.shown.push(document.title, document.querySelector('#running').innerText);
      new MutationObserver(keep).observe(document.head, { childList: true, characterData: true, subtree: true });
      new MutationObserver(keep).observe(document.querySelector('#running'), { childList: true, characterData: true, subtree: true });
    });
    await page.getByRole('button', { name: 'Add download' }).click();
    const job = await downloadRow(page, url);
    await job.getByText('film.bin', { exact: true }).waitFor();
    await page.locator('#job-picks').getByLabel('Select all shown').waitFor();
    assert.equal(await page.locator('#jobs-empty').isVisible(), false);
    // The list needs no job log; the detail reads it while open.
    const logs = [];
    page.on('request', (r) => { if (/\/trk\/\w+\.(wgt|tor)$/.test(r.url())) logs.push(r.url()); });
    const seen = new Set();
    // Sampled until it ends, by the clock: a loaded machine makes each sample slower.
    for (const end = Date.now() + 120000; Date.now() < end && !seen.has('100');) {
      const now = await job.getByRole('progressbar').getAttribute('aria-valuenow').catch(() => null);
      if (now) seen.add(now);
      await page.waitForTimeout(100);
    }
    assert.ok(seen.has('100') && [...seen].some((p) => +p < 100), `progress seen: ${[...seen]}`);
    const shown = await page.evaluate(() => window.shown);
    assert.ok(shown.includes('(1) kiv'), 'the running count shows in the title while it runs');
    assert.ok(shown.some((text) => /^1 running \(1 HTTP\/FTP, 0 BitTorrent\) · [\d.]+ [KM]?B\/s$/.test(text)),
      'the total speed shows in the header while it runs');
    await job.getByText('finished').waitFor();
    assert.equal(await job.locator('.figures').textContent(), '100 % · 2.4 MB of 2.4 MB');
    assert.equal(await job.getByRole('button', { name: 'Restart' }).isVisible(), false, 'a finished download offers no restart');
    assert.deepEqual(logs, []);
    await job.getByRole('button', { name: 'Details' }).click();
    await job.locator('pre').getByText(`From ${url}`).waitFor();
    assert.equal(logs.length, 1);
    await page.getByRole('tab', { name: 'Files' }).click();
    await row(page, 'film.bin').waitFor();
    assert.equal(fs.readFileSync(path.join(box.dnl, 'film.bin'), 'latin1'), FILM);
  });

  await journey('a failed download shows why, in the colour of an error', async (page) => {
    const missing = url.replace('film.bin', 'gone.bin');
    fs.mkdirSync(path.join(box.dnl, 'Later'));
    await open(page, 'transfers');
    const logs = () => fs.readdirSync(box.trk).filter((n) => n.endsWith('.wgt')).length, before = logs();
    await page.getByText('Add a transfer').click();
    // A wrong line is named and chosen in the field; nothing of the list is added.
    for (const [lines, said] of [
      [`${missing}\nmagnet:xt=urn:btih:c12fe1c06bba254a9dc9f519b335aa7c1367a88a`, /^Line 2 \(magnet:xt=\S+\) is not an address /],
      ['hello world', /^Line 1 \(hello world\) is not an address the box can fetch: addresses start with http:\/\/, https:\/\/, ftp:\/\/ or magnet:\?\.$/],
      [`${missing}\n\n  www.example.test/file.iso `, /^Line 3 \(www\.example\.test\/file\.iso\) is not an address/]]) {
      await page.getByLabel('Addresses (HTTP or FTP)').fill(lines);
      await page.getByRole('button', { name: 'Add download' }).click();
      await page.locator('#note').getByText(said).waitFor();
      const chosen = await page.getByLabel('Addresses (HTTP or FTP)').evaluate((t) => t.value.slice(t.selectionStart, t.selectionEnd).trim());
      assert.equal(chosen, lines.split('\n').filter(Boolean).pop().trim());
    }
    assert.equal(logs(), before, 'nothing of the list was added');
    // Another folder than the one shown, and a speed limit the record keeps for a restart.
    assert.equal(await page.getByLabel('Save in').inputValue(), '/');
    await page.getByLabel('Save in').selectOption({ label: 'Downloads/Later' });
    await page.getByLabel('Speed limit in KiB/s').fill('50');
    await page.getByLabel('Addresses (HTTP or FTP)').fill(`${missing}\n${missing}?again`);
    await page.getByRole('button', { name: 'Add download' }).click();
    await page.locator('#note').getByText('Added 2 downloads to /Later').waitFor();
    const records = fs.readdirSync(box.trk).filter((n) => /^\w{6}$/.test(n)).map((n) => fs.readFileSync(path.join(box.trk, n), 'utf8'));
    assert.ok(records.some((r) => r.includes('\n--limit-rate=50k\n/Later\n')), records.join('|'));
    const job = page.locator('#jobs li').filter({ hasText: 'gone.bin' }).first();
    await job.getByText('failed', { exact: true }).waitFor();
    const reason = job.locator('.reason');
    assert.equal(await reason.textContent(), 'ERROR 404: Not Found.');
    const [color, bad] = await reason.evaluate((n) => [getComputedStyle(n).color, getComputedStyle(document.querySelector('#offline')).color]);
    assert.equal(color, bad);
    const failed = page.locator('#jobs li').filter({ hasText: 'gone.bin' });
    await page.evaluate(() => scrollTo(0, document.body.scrollHeight)); // logs are read for rows on screen
    await failed.nth(1).getByText('failed', { exact: true }).waitFor();
    for (let left = 1; left >= 0; left--) {
      await failed.first().getByRole('button', { name: 'Delete' }).click();
      await page.locator('dialog[open]').getByRole('button', { name: 'Delete' }).click();
      await failed.nth(left).waitFor({ state: 'detached' });
    }
  }, () => deleteJobs((source) => source.startsWith(url.replace('film.bin', 'gone.bin'))));

  await journey('stop a download midway: the row shows how far it got, and a restart goes on from there', async (page) => {
    await open(page, 'transfers');
    await page.getByText('Add a transfer').click();
    await page.getByLabel('Addresses (HTTP or FTP)').fill(`${url}?slow`);
    await page.getByRole('button', { name: 'Add download' }).click();
    const job = await downloadRow(page, `${url}?slow`);
    await job.getByText('running', { exact: true }).waitFor();
    await job.getByText(/^\d+ % · (?!0 B)/).waitFor(); // wget's first readout is 0 bytes
    await job.getByRole('button', { name: 'Stop' }).click();
    await job.getByText('stopped', { exact: true }).waitFor();
    const [, percent, bytes, unit] = /^(\d+) % · ([\d.]+) (B|KB|MB) of 2\.4 MB$/.exec(await job.locator('.figures').textContent());
    assert.ok(+percent < 100 && +bytes > 0, `${percent} %, ${bytes} ${unit}`);
    assert.equal(await job.getByRole('progressbar').getAttribute('aria-valuenow'), percent);
    assert.equal(await job.getByRole('button', { name: 'Stop' }).isVisible(), false);
    // Typed again while it is stopped: it runs nowhere, so it may be added; while it runs, not.
    await job.getByRole('button', { name: 'Restart' }).click();
    await job.getByText('running', { exact: true }).waitFor();
    await page.getByLabel('Addresses (HTTP or FTP)').fill(`${url}\n${url}?slow`);
    await page.getByRole('button', { name: 'Add download' }).click();
    await page.locator('#note').getByText(`Line 2 (${url}?slow) is already being downloaded into /.`, { exact: true }).waitFor();
    await job.getByText('finished', { exact: true }).waitFor({ timeout: 120000 });
    assert.equal(fs.readFileSync(path.join(box.dnl, 'film.bin?slow'), 'latin1'), FILM);
    await job.getByRole('button', { name: 'Delete' }).click();
    await page.locator('dialog[open]').getByRole('button', { name: 'Delete' }).click();
    await job.getByText('film.bin?slow').waitFor({ state: 'detached' }).catch(() => {});
    fs.rmSync(path.join(box.dnl, 'film.bin?slow'));
  }, async () => {
    await deleteJobs((source) => source === `${url}?slow`);
    fs.rmSync(path.join(box.dnl, 'film.bin?slow'), { force: true });
  });

  await journey('kivd and a download killed: at its start kivd resumes it, and the page says so once', async (page) => {
    await open(page, 'transfers');
    await page.getByText('Add a transfer').click();
    await page.getByLabel('Addresses (HTTP or FTP)').fill(`${url}?slow&cut`);
    await page.getByRole('button', { name: 'Add download' }).click();
    const job = await downloadRow(page, `${url}?slow&cut`);
    await job.getByText('running', { exact: true }).waitFor();
    await job.getByText(/^\d+ % · (?!0 B)/).waitFor();
    // As a power cut leaves it: kivd and the transfer gone at once.
    const record = await recordOf(`${url}?slow&cut`);
    const pid = () => Number(fs.readFileSync(path.join(box.trk, record), 'utf8').split('\n')[0]);
    await waitFor(() => pid() > 0, 'the job to record its process', 60);
    const cut = pid(); // never 0: that would kill this test's whole process group
    const killed = [...processesOf(path.join(box.root, 'bin/kivd')), cut];
    for (const p of killed) process.kill(p, 'SIGKILL');
    // Gone before kivd starts, as after a power cut: a transfer still
    // ending counts as running, and is not resumed.
    const gone = (p) => { try { fs.readlinkSync(`/proc/${p}/exe`); return false; } catch { return true; } };
    await waitFor(() => killed.every(gone), 'the killed processes to end', 60);
    execFileSync(path.join(box.root, 'bin/kivd'), { stdio: 'ignore' });
    await page.reload();
    await page.locator('#note').getByText('1 transfer resumed after the box restarted', { exact: true }).waitFor();
    assert.notEqual(pid(), cut);
    await job.getByText('running', { exact: true }).waitFor();
    // Said once: not again at the next load.
    await page.reload();
    await page.waitForSelector('body[data-loaded=true]');
    await page.waitForTimeout(1000);
    assert.equal(await page.locator('#note').getByText(/resumed after the box restarted/).count(), 0);
    await job.getByText('finished', { exact: true }).waitFor({ timeout: 120000 });
    assert.equal(fs.readFileSync(path.join(box.dnl, 'film.bin?slow&cut'), 'latin1'), FILM);
    await job.getByRole('button', { name: 'Delete' }).click();
    await page.locator('dialog[open]').getByRole('button', { name: 'Delete' }).click();
    await job.waitFor({ state: 'detached' }).catch(() => {});
    fs.rmSync(path.join(box.dnl, 'film.bin?slow&cut'));
  }, async () => {
    // Deleted before kivd starts again, which would resume it.
    await deleteJobs((source) => source === `${url}?slow&cut`);
    fs.rmSync(path.join(box.dnl, 'film.bin?slow&cut'), { force: true });
    if (processesOf(path.join(box.root, 'bin/kivd')).length === 0) execFileSync(path.join(box.root, 'bin/kivd'), { stdio: 'ignore' });
  });

  await journey('rename, copy, pack, download (same bytes) and delete', async (page) => {
    await open(page, 'files');
    await entryAction(page, 'film.bin', 'Rename');
    await answer(page, { 'New name': 'movie é.bin' }, 'Rename');
    await row(page, 'movie é.bin').waitFor();
    await entryAction(page, 'movie é.bin', 'Copy');
    await answer(page, { 'Name of the copy': 'copy.bin' }, 'Copy');
    await row(page, 'copy.bin').waitFor();
    await entryAction(page, 'copy.bin', 'Pack as .tar.gz');
    await answer(page, {}, 'Pack');
    await row(page, 'copy.bin.tar.gz').waitFor();
    const download = page.waitForEvent('download');
    await entryAction(page, 'movie é.bin', 'Download');
    const file = await (await download).path();
    assert.equal(fs.readFileSync(file, 'latin1'), FILM);
    for (const name of ['movie é.bin', 'copy.bin', 'copy.bin.tar.gz']) {
      await entryAction(page, name, 'Delete');
      await page.locator('dialog[open]').getByRole('button', { name: 'Delete' }).click();
      await row(page, name).waitFor({ state: 'detached' });
      assert.ok(!fs.existsSync(path.join(box.dnl, name)), `${name} is still there`);
    }
  });

  await journey('the page asks before replacing: upload, rename and copy onto existing names', async (page) => {
    const dir = path.join(box.dnl, 'clash');
    fs.mkdirSync(dir);
    fs.writeFileSync(path.join(dir, 'photo.jpg'), 'old photo');
    fs.writeFileSync(path.join(dir, 'notes.txt'), 'notes');
    fs.mkdirSync(path.join(dir, 'album/2026'), { recursive: true });
    fs.mkdirSync(path.join(dir, 'new album'));
    await open(page, 'files');
    await page.locator('#tree').getByRole('button', { name: 'clash', exact: true }).click();
    await row(page, 'photo.jpg').waitFor();
    // Made after the listing was shown: the page asks the box at that moment.
    fs.writeFileSync(path.join(dir, 'later.txt'), 'later');
    const put = (name, text) => page.locator('#upload-input').setInputFiles([{ name, mimeType: 'text/plain', buffer: Buffer.from(text) }]);
    const choose = (button) => page.locator('dialog[open]').getByRole('button', { name: button, exact: true }).click();
    const read = (name) => fs.readFileSync(path.join(dir, name), 'utf8');
    await put('photo.jpg', 'new photo');
    await page.locator('dialog[open]').getByText('The folder /clash already holds photo.jpg. Replace it, or keep both and name the new one photo (1).jpg?').waitFor();
    await choose('Keep both');
    await row(page, 'photo (1).jpg').waitFor();
    assert.deepEqual([read('photo.jpg'), read('photo (1).jpg')], ['old photo', 'new photo']);
    await put('later.txt', 'cancelled');
    await choose('Cancel');
    await put('photo.jpg', 'replaced');
    await choose('Replace');
    await page.locator('#uploads li').filter({ has: page.getByText('photo.jpg', { exact: true }) }).getByText('stored in /clash').waitFor();
    assert.deepEqual([read('later.txt'), read('photo.jpg')], ['later', 'replaced']);
    await entryAction(page, 'notes.txt', 'Copy');
    await answer(page, { 'Name of the copy': 'photo.jpg' }, 'Copy');
    await choose('Keep both');
    await row(page, 'photo (2).jpg').waitFor();
    assert.equal(read('photo (2).jpg'), 'notes');
    await entryAction(page, 'notes.txt', 'Rename');
    await answer(page, { 'New name': 'later.txt' }, 'Rename');
    await choose('Cancel');
    await entryAction(page, 'photo (1).jpg', 'Rename');
    await answer(page, { 'New name': 'photo.jpg' }, 'Rename');
    await choose('Replace');
    await row(page, 'photo (1).jpg').waitFor({ state: 'detached' });
    // A folder replaces only an empty one: the box's answer in plain words.
    await entryAction(page, 'new album', 'Rename');
    await answer(page, { 'New name': 'album' }, 'Rename');
    await choose('Replace');
    await page.locator('#note').getByText('There is already an entry of that name (a folder is replaced only when empty).', { exact: true }).waitFor();
    assert.deepEqual(fs.readdirSync(dir).sort(), ['album', 'later.txt', 'new album', 'notes.txt', 'photo (2).jpg', 'photo.jpg']);
    assert.deepEqual([read('later.txt'), read('photo.jpg')], ['later', 'new photo']);
  });

  await journey('an entry whose path the box cannot be sent offers no action and says why', async (page) => {
    // 255 + 243 bytes of folder names: the path of a file below is over 500.
    // Non-ASCII names percent-encode to more than 990 characters at 441 bytes.
    const a = 'a'.repeat(255), b = 'b'.repeat(243), e = 'é'.repeat(100), ee = 'é'.repeat(120);
    fs.mkdirSync(path.join(box.dnl, a, b), { recursive: true });
    fs.writeFileSync(path.join(box.dnl, a, b, 'victim.txt'), 'keep me');
    fs.mkdirSync(path.join(box.dnl, e, ee), { recursive: true });
    await open(page, 'files');
    await page.locator('#tree').getByRole('button', { name: e, exact: true }).click();
    await row(page, ee).waitFor();
    assert.equal(await row(page, ee).locator('button.name').isDisabled(), true, 'a folder it cannot send opens');
    await page.locator('#tree').getByRole('button', { name: a, exact: true }).click();
    await row(page, b).waitFor();
    assert.equal(await row(page, b).locator('button.name').isDisabled(), false, 'a folder within the limits opens');
    await page.locator('#tree').getByRole('button', { name: b, exact: true }).click();
    await row(page, 'victim.txt').waitFor();
    await page.getByRole('button', { name: 'Actions for victim.txt', exact: true }).click();
    const dialog = page.locator('dialog[open]');
    await dialog.getByText(/The box cannot act on this entry\. Its path is too long \(510 bytes/).waitFor();
    for (const action of ['Rename', 'Copy', 'Pack as .tar.gz', 'Delete'])
      assert.equal(await dialog.getByRole('button', { name: action, exact: true }).isDisabled(), true, `${action} is offered`);
    await dialog.getByRole('button', { name: 'Close' }).click();
    assert.equal(fs.readFileSync(path.join(box.dnl, a, b, 'victim.txt'), 'utf8'), 'keep me');
    for (const top of [a, e]) fs.rmSync(path.join(box.dnl, top), { recursive: true });
  });

  await journey('new folder, into it by the tree, back by the breadcrumb, upload two files', async (page) => {
    await open(page, 'files');
    await page.getByRole('button', { name: 'New folder' }).click();
    await answer(page, { 'Folder name': 'Été 2026' }, 'Create folder');
    await page.locator('#tree').getByRole('button', { name: 'Été 2026' }).waitFor();
    // The click comes while an answer for the top folder is on its way: it stays.
    let release, held = false, rowsBefore;
    const hold = new Promise((r) => { release = r; });
    await page.route('**/cgi-bin/kiv-list', async (route) => {
      const body = route.request().postData() || '';
      if (!held && /curdir=%2f$/.test(body)) { held = true; await hold; }
      // The new folder is asked for once the top folder's answer was read: nothing of it shows.
      else if (held && rowsBefore === undefined && /curdir=%2f./.test(body)) rowsBefore = await page.locator('#listing li').count();
      await route.continue();
    });
    await waitFor(() => held, 'a refresh of the top folder', 60);
    await page.locator('#tree').getByRole('button', { name: 'Été 2026' }).click();
    release();
    await waitFor(() => rowsBefore !== undefined, 'the new folder asked for', 60);
    assert.equal(rowsBefore, 0, "the top folder's late answer painted its rows");
    await page.getByText('This folder is empty.').waitFor();
    await page.waitForTimeout(3500);
    // Still there: read at once, with no short timeout a loaded machine can outrun.
    assert.equal(await page.locator('#crumbs [aria-current=page]').getByText('Été 2026').count(), 1, 'the crumbs left the folder');
    await page.unroute('**/cgi-bin/kiv-list');
    await page.locator('#crumbs').getByRole('button', { name: 'Downloads' }).click();
    await row(page, 'Été 2026').waitFor();
    await page.locator('#tree').getByRole('button', { name: 'Été 2026' }).click();
    await page.getByText('This folder is empty.').waitFor();
    const one = Buffer.from('first file\r\n--\0binary'), two = crypto.randomBytes(300000);
    await page.locator('#upload-input').setInputFiles([
      { name: 'one.txt', mimeType: 'text/plain', buffer: one },
      { name: 'two photo.jpg', mimeType: 'image/jpeg', buffer: two }]);
    await row(page, 'one.txt').waitFor();
    await row(page, 'two photo.jpg').waitFor();
    assert.deepEqual(fs.readFileSync(path.join(box.dnl, 'Été 2026/one.txt')), one);
    assert.deepEqual(fs.readFileSync(path.join(box.dnl, 'Été 2026/two photo.jpg')), two);
    await page.screenshot({ path: path.join(shots, 'files-upload-desktop.png') });
    await page.locator('#crumbs').getByRole('button', { name: 'Downloads' }).click();
    await row(page, 'Été 2026').waitFor();
  });

  await journey('inspect a torrent and start it; drop one to start it', async (page) => {
    const content = path.join(box.dnl, 'Pack');
    fs.mkdirSync(content);
    fs.writeFileSync(path.join(content, 'a.bin'), crypto.randomBytes(100000));
    fs.writeFileSync(path.join(content, 'b.txt'), 'b');
    execFileSync('ctorrent', ['-t', '-u', 'http://127.0.0.1:9/announce', '-c', 'demo ${x} <b>', '-s', 'pack.torrent', 'Pack'],
      { cwd: box.dnl, stdio: 'ignore' });
    await open(page, 'files');
    await entryAction(page, 'pack.torrent', 'Show torrent');
    const dialog = page.locator('dialog[open]');
    await dialog.getByText('a.bin', { exact: true }).waitFor();
    const text = await dialog.innerText();
    for (const part of ['Total size', '97.7 KB in 2 files', 'demo ${x} <b>', 'http://127.0.0.1:9/announce', 'b.txt'])
      assert.ok(text.includes(part), `torrent dialog lacks ${part}:\n${text}`);
    assert.match(text, /Created\s+\d{4}-\d\d-\d\d \d\d:\d\d/);
    await page.screenshot({ path: path.join(shots, 'torrent-desktop.png') });
    // b.txt left out: the job fetches a.bin alone, by its number.
    const chosen = (await dialog.locator('.tfiles label').allInnerTexts()).indexOf('a.bin') + 1;
    await dialog.getByLabel('b.txt').uncheck();
    await dialog.getByRole('button', { name: 'Start torrent' }).click();
    await page.getByRole('tab', { name: 'Transfers' }).click();
    // Listed by the torrent's own name.
    const job = page.locator('#jobs li').filter({ has: page.getByText('Pack', { exact: true }) });
    await job.getByText(/^(running|finished, seeding)$/).waitFor();
    const records = fs.readdirSync(box.trk).filter((n) => /^\w{6}$/.test(n)).map((n) => fs.readFileSync(path.join(box.trk, n), 'utf8'));
    assert.ok(chosen > 0 && records.some((r) => r.split('\n')[2] === `-n ${chosen}`), records.join('|'));
    // Its own detail: each file with its size, the one left out said so.
    await job.getByRole('button', { name: 'Details' }).click();
    await job.locator('.tfiles li').filter({ hasText: 'a.bin' }).getByText(/^97\.7 KB/).waitFor({ timeout: 60000 });
    await job.locator('.tfiles li').filter({ hasText: 'b.txt' }).getByText('1 B · not chosen').waitFor();
    await job.getByRole('button', { name: 'Delete' }).click();
    await page.locator('dialog[open]').getByRole('button', { name: 'Delete' }).click();
    await job.waitFor({ state: 'detached' });
    // A .torrent dropped on the page: stored in the downloads and started.
    await page.evaluate((bytes) => {
      const dt = new DataTransfer();
      dt.items.add(new File([new Uint8Array(bytes)], 'dropped.torrent'));
      document.querySelector('#view-transfers').dispatchEvent(new DragEvent('drop', { dataTransfer: dt, bubbles: true, cancelable: true }));
    }, [...fs.readFileSync(path.join(box.dnl, 'pack.torrent'))]);
    await job.getByText(/^(running|finished, seeding)$/).waitFor();
    assert.deepEqual(fs.readFileSync(path.join(box.dnl, 'dropped.torrent')), fs.readFileSync(path.join(box.dnl, 'pack.torrent')));
    await job.getByRole('button', { name: 'Delete' }).click();
    await page.locator('dialog[open]').getByRole('button', { name: 'Delete' }).click();
    await job.waitFor({ state: 'detached' });
  }, () => deleteJobs((source) => /\/(pack|dropped)\.torrent$/.test(source)));

  await journey('lock on, reload with credentials, lock off', async (page) => {
    const locks = ['', 'trk', 'cgi-bin'].map((d) => path.join(box.www, d, '.htpasswd'));
    try {
      await open(page, 'settings');
      await page.locator('#lock-state').getByText(/^off/).waitFor();
      await page.getByLabel('User name').fill('admin1');
      await page.getByLabel('Password (6').fill('pa+ss/wé');
      await page.getByRole('button', { name: 'Switch lock on' }).click();
      // The tab that switched it is signed in and goes on, a reload too.
      await page.locator('#note').getByText('The lock is on. This browser is signed in; others ask for the user name and password.').waitFor();
      assert.equal(await page.getByLabel('Password (6').inputValue(), '');
      await page.locator('#lock-state').getByText(/^on/).waitFor();
      await page.reload();
      await page.waitForSelector('body[data-loaded=true]');
      await page.locator('#lock-state').getByText(/^on/).waitFor();
      assert.equal(await page.locator('#offline').isHidden(), true);
      assert.equal((await page.request.get(`${box.base}/`)).status(), 401);
      const user = await newPage({ httpCredentials: { username: 'admin1', password: 'pa+ss/wé' } });
      await open(user, 'settings');
      await user.locator('#lock-state').getByText(/^on/).waitFor();
      await user.getByRole('button', { name: 'Switch lock off' }).click();
      await user.locator('#note').getByText('The lock is off.', { exact: true }).waitFor();
      await user.locator('#lock-state').getByText(/^off/).waitFor();
      await user.context().close();
      assert.equal((await page.request.get(`${box.base}/`)).status(), 200);
    } finally {
      for (const f of locks) fs.rmSync(f, { force: true });
    }
  });

  await journey('run a script with arguments, and a command', async (page) => {
    fs.writeFileSync(path.join(box.root, 'scripts/hello.sh'), '#!/bin/sh\necho "hello $1"\n', { mode: 0o755 });
    // Settings' module lost on its way (a phone's network): the page says so, and opening them again loads it.
    await open(page, 'transfers');
    await page.route('**/js/settings.js', (route) => route.abort());
    await page.getByRole('tab', { name: 'Settings' }).click();
    await page.locator('#note').getByText('Settings could not be loaded; open them again.').waitFor();
    await page.unroute('**/js/settings.js');
    await page.getByRole('tab', { name: 'Transfers' }).click();
    await page.getByRole('tab', { name: 'Settings' }).click();
    await page.getByRole('button', { name: 'Reload list' }).click();
    await page.locator('#script-name').selectOption('hello.sh');
    await page.getByLabel('Arguments').fill('world');
    await page.getByRole('button', { name: 'Run script' }).click();
    await page.locator('#script-out').getByText('hello world', { exact: true }).waitFor();
    await page.getByLabel('Command line').fill('echo made > made.txt; ls');
    await page.getByRole('button', { name: 'Run command' }).click();
    await page.locator('#run-out').getByText(/made\.txt/).waitFor();
    assert.equal(fs.readFileSync(path.join(box.dnl, 'made.txt'), 'utf8'), 'made\n');
  });

  await journey('hostile names show literally and nothing runs', async (page) => {
    const dir = path.join(box.dnl, 'hostile');
    fs.mkdirSync(dir);
    for (const name of HOSTILE) fs.writeFileSync(path.join(dir, name), 'x');
    fs.mkdirSync(path.join(dir, `${HOSTILE[0]} folder`));
    fs.writeFileSync(path.join(box.trk, `${HOSTILE[1]}.nfo`), `<img src=x onerror=window.__pwned=1>${HOSTILE[2]}`);
    fs.writeFileSync(path.join(box.trk, '_wversion.nfo'),
      'Your version of kiv is <b>0.4.0</b> while the latest stable version is reported to be <b><img src=x onerror=window.__pwned=1>9.9</b>\n' +
      'Check on <a href="javascript:window.__pwned=1">javascript:window.__pwned=1</a> to see if you need to upgrade to a newer version\n');
    await open(page, 'files');
    const banner = page.locator('#release');
    await banner.getByText(/latest stable version is reported to be 9\.9 Check on javascript:window/).waitFor();
    assert.equal(await banner.locator('a').count(), 0, 'only web links become links');
    assert.equal((await banner.innerText()).includes('null'), false, 'no stray text where the link would be');
    await banner.getByRole('button', { name: 'Dismiss' }).click();
    await banner.waitFor({ state: 'hidden' });
    await page.locator('#tree').getByRole('button', { name: 'hostile', exact: true }).click();
    for (const name of HOSTILE.slice(1)) await row(page, name).waitFor();
    await page.locator('#tree').getByText(`${HOSTILE[0]} folder`, { exact: true }).waitFor();
    await row(page, `${HOSTILE[0]} folder`).waitFor();
    await page.locator('#crumbs').getByText('hostile', { exact: true }).waitFor();
    await page.getByRole('button', { name: 'Size' }).click();
    assert.equal(await page.locator('#listing li').first().innerText().then((t) => t.includes('folder')), true, 'folders stay first');
    await page.getByLabel('Filter the listing').fill('QUOTED');
    await page.locator('#listing li').filter({ hasText: 'quoted' }).waitFor();
    assert.equal(await page.locator('#listing li').count(), 1);
    await page.getByLabel('Filter the listing').fill('');
    await page.getByRole('tab', { name: 'Transfers' }).click();
    await page.locator('#jobs-nfo').getByText(`${HOSTILE[1]}.nfo`, { exact: true }).waitFor();
    await page.locator('#jobs-nfo').getByText(HOSTILE[2], { exact: true }).waitFor();
    await page.screenshot({ path: path.join(shots, 'hostile-transfers-desktop.png') });
    await page.getByRole('tab', { name: 'Files' }).click();
    await page.screenshot({ path: path.join(shots, 'hostile-files-desktop.png') });
    assert.equal(await page.evaluate(() => window.__pwned), undefined);
    assert.equal(await page.locator('#listing img, #tree img, #jobs-nfo img, script:not([src])').count(), 0);
  });

  await journey('views at desktop and phone width, light and dark: no sideways scrolling, no serious accessibility fault', async (page) => {
    for (const [device, options] of [
      ['desktop', { viewport: { width: 1280, height: 800 } }],
      ['phone', { viewport: { width: 375, height: 740 }, isMobile: true, hasTouch: true }]]) {
      for (const scheme of ['light', 'dark']) {
        const p = await newPage({ ...options, colorScheme: scheme });
        if (device === 'desktop' && scheme === 'light') {
          await open(p, 'transfers');
          await p.getByRole('tab', { name: 'Transfers' }).press('ArrowLeft');
          await p.getByRole('tab', { name: 'Settings', selected: true }).waitFor();
          await p.keyboard.press('ArrowRight');
          await p.getByRole('tab', { name: 'Transfers', selected: true }).waitFor();
          assert.equal(await p.evaluate(() => document.activeElement.id), 'tab-transfers');
        }
        for (const view of ['transfers', 'files', 'settings']) {
          await open(p, view);
          await p.waitForTimeout(200);
          await p.screenshot({ path: path.join(shots, `${view}-${device}-${scheme}.png`), fullPage: true });
          const wide = await p.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
          assert.ok(wide <= 0, `${view} at ${device} scrolls sideways by ${wide}px`);
          // Run from outside the page: its policy allows no script but its own.
          await p.evaluate(AXE);
          const faults = await p.evaluate(async () => (await window.axe.run(document)).violations
            .filter((v) => v.impact === 'serious' || v.impact === 'critical')
            .map((v) => `${v.id}: ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`));
          assert.deepEqual(faults, [], `${view} at ${device}, ${scheme}`);
        }
        await p.context().close();
      }
    }
  });

  await journey('follow many transfers: state chips with counts, filter, sort, newest first; clear the finished', async (page) => {
    // Logs as wget and ctorrent leave them, one after another, with their
    // records (no process); film.bin is older.
    for (const [id, source, log] of [['Zb0001.wgt', 'http://h.test/alpha.iso', '--2026-12-08 10:00:00--  http://h.test/alpha.iso\n 45%[====>    ] 450.00M  1.2MB/s  eta 7m 30s\r'],
      ['Zb0002.wgt', 'http://h.test/zeta.iso', '--2026-12-08 10:00:00--  http://h.test/zeta.iso\n2026-12-08 10:00:01 ERROR 404: Not Found.\n'],
      ['Zb0003.tor', path.join(box.dnl, 'beta.torrent'), '-- 8/11/2026 10:0:0 --beta.torrent\n/ 1/0/2 [100/100/100] 10MB,0MB | 0,0K/s | 0,0K E:0,1\n']]) {
      fs.writeFileSync(path.join(box.trk, id), log);
      fs.writeFileSync(path.join(box.trk, id.slice(0, 6)), `\n${source}\n\n/\n`);
      await new Promise((r) => setTimeout(r, 30));
    }
    const hang = net.createServer(() => {}); // accepts and never answers: wget keeps running
    await new Promise((r) => hang.listen(0, '127.0.0.1', r));
    try {
      await open(page, 'transfers');
      // Transfers opens without what only Files, uploads and torrents use; they come when wanted.
      const fetched = () => page.evaluate(() => performance.getEntriesByType('resource').map((r) => r.name.split('/').pop()).filter((n) => /^(files|upload|torrent)\.js$/.test(n)).sort());
      assert.deepEqual(await fetched(), []);
      await page.getByText('Add a transfer').click();
      // The folders to save in, and the torrent form's names from the listing.
      await page.locator('#add-dir option[value="/"], #torrent-names[data-names]').nth(1).waitFor({ state: 'attached' });
      assert.deepEqual(await fetched(), ['files.js', 'torrent.js', 'upload.js']);
      await page.getByLabel('Addresses (HTTP or FTP)').fill(`http://127.0.0.1:${hang.address().port}/hang.bin`);
      await page.getByRole('button', { name: 'Add download' }).click();
      // Rows off screen are not laid out, so their innerText can be empty.
      const names = () => page.locator('#jobs .name').allTextContents();
      const chip = (name) => page.locator('#chips').getByRole('button', { name: new RegExp(`^${name} \\(`) });
      await (await downloadRow(page, `http://127.0.0.1:${hang.address().port}/hang.bin`)).getByText(/^running/).waitFor();
      assert.deepEqual(await names(), ['hang.bin', 'beta.torrent', 'zeta.iso', 'alpha.iso', 'film.bin']);
      assert.deepEqual(await page.locator('#chips button').allInnerTexts(),
        ['All (5)', 'Running (1)', 'Queued (0)', 'Stopped (1)', 'Finished (2)', 'Failed (1)']);
      await chip('Failed').click();
      assert.deepEqual(await names(), ['zeta.iso']);
      await chip('Finished').click();
      assert.deepEqual(await names(), ['beta.torrent', 'film.bin']);
      await chip('All').click();
      await page.getByLabel('Filter the transfers').fill('ISO');
      assert.deepEqual(await names(), ['zeta.iso', 'alpha.iso']);
      await page.getByLabel('Filter the transfers').fill('');
      await page.getByLabel('Sort the transfers').selectOption('name');
      assert.deepEqual(await names(), ['alpha.iso', 'beta.torrent', 'film.bin', 'hang.bin', 'zeta.iso']);
      // Typed text and the order survive refreshes.
      await page.getByLabel('Filter the transfers').fill('a');
      await page.waitForTimeout(3500);
      assert.equal(await page.getByLabel('Filter the transfers').inputValue(), 'a');
      await page.getByLabel('Filter the transfers').fill('');

      // The finished ones, all at once.
      await chip('Finished').click();
      await page.locator('#job-picks').getByLabel('Select all shown').check();
      await page.getByRole('button', { name: 'Clear…', exact: true }).click();
      await page.locator('dialog[open]').getByText('Clear 2 transfers').waitFor();
      await page.locator('dialog[open]').getByRole('button', { name: 'Clear' }).click();
      await chip('All').click();
      await page.locator('#chips').getByText('Finished (0)').waitFor();
      assert.equal(fs.readdirSync(box.trk).filter((n) => /\.(wgt|tor)$/.test(n)).length, 3, 'alpha, zeta and hang stay');
      await page.locator('#jobs li').filter({ hasText: 'hang.bin' }).getByRole('button', { name: 'Delete' }).click();
      await page.locator('dialog[open]').getByRole('button', { name: 'Delete' }).click();
      await page.locator('#chips').getByText('Running (0)').waitFor();
    } finally {
      // A failure here must not leave a transfer running into the journeys after it.
      await deleteJobs((source) => source.endsWith('/hang.bin'));
      hang.close();
    }
  });

  await journey('one at a time: the others queue with their places, one moved to the top, one started now; paused hours painted by a finger', async (page) => {
    const ctl = (form) => page.request.post(`${box.base}/cgi-bin/kiv-ctl`, { headers: { 'X-Kiv': '1' }, form });
    const names = [1, 2, 3].map((n) => `film.bin.q${n}`);
    const job = (n) => page.locator('#jobs li').filter({ has: page.getByText(names[n - 1], { exact: true }) });
    const hour = (label) => page.getByRole('gridcell', { name: label });
    try {
      await open(page, 'settings');
      await page.getByLabel('Transfers at once').fill('1');
      // By keyboard one hour, by a drag Wednesday to Friday 9:00 to 17:00, as limited.
      await page.getByRole('radio', { name: 'limited' }).check();
      await hour('Mon 0:00 full speed').focus();
      for (const key of ['ArrowDown', 'ArrowRight', 'Space']) await page.keyboard.press(key);
      await hour('Tue 1:00 limited').waitFor();
      const [from, to] = [await hour('Wed 9:00 full speed').boundingBox(), await hour('Fri 17:00 full speed').boundingBox()];
      await page.mouse.move(from.x + 2, from.y + 2);
      await page.mouse.down();
      await page.mouse.move(to.x + 2, to.y + 2, { steps: 10 });
      await page.mouse.up();
      await page.getByRole('button', { name: 'Save', exact: true }).click();
      await page.locator('#note').getByText('Saved.', { exact: true }).waitFor();
      await page.locator('#limits').getByText(/1 at a time$/).waitFor();

      await page.getByRole('tab', { name: 'Transfers' }).click();
      await page.getByText('Add a transfer').click();
      await page.getByLabel('Addresses (HTTP or FTP)').fill(names.map((n) => `${url.replace('film.bin', n)}?slow`).join('\n'));
      await page.getByLabel('Speed limit in KiB/s').fill('20');
      await page.getByRole('button', { name: 'Add download' }).click();
      await job(1).getByText('running', { exact: true }).waitFor();
      await job(2).getByText('queued · 1st in line', { exact: true }).waitFor();
      await job(3).getByText('queued · 2nd in line', { exact: true }).waitFor();
      const lowest = async (n) => job(n).getByRole('button', { name: 'Move down' }).isDisabled();
      assert.equal(await job(2).getByRole('button', { name: 'Move up' }).isDisabled(), true, 'the first moves no higher');
      assert.deepEqual([await lowest(2), await lowest(3)], [false, true], 'the last moves no lower');
      await job(3).getByRole('button', { name: 'Move to top' }).click();
      await job(3).getByText('queued · 1st in line', { exact: true }).waitFor();
      await job(2).getByText('queued · 2nd in line', { exact: true }).waitFor();
      assert.deepEqual([await lowest(2), await lowest(3)], [true, false], 'the last moved is the lowest');
      await job(2).getByRole('button', { name: 'Start now' }).click();
      await job(2).getByText('running', { exact: true }).waitFor();
      await page.locator('#chips').getByText('Queued (1)').waitFor();
      assert.equal(await page.locator('#chips').getByText('Running (2)').count(), 1);

      // On a phone: this day and the next painted paused with a finger.
      const phone = await newPage({ viewport: { width: 375, height: 740 }, isMobile: true, hasTouch: true });
      await open(phone, 'settings');
      await phone.getByRole('radio', { name: 'paused' }).check();
      const days = ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun'], today = (new Date().getDay() + 6) % 7;
      const corners = [`${days[today]} 0:00`, `${days[(today + 1) % 7]} 23:00`].map((d) => phone.getByRole('gridcell', { name: new RegExp(`^${d} `) }));
      // In the middle of the screen: at its foot a note may cover the hours.
      await phone.locator('#week').evaluate((n) => n.scrollIntoView({ block: 'center' }));
      const [a, b] = [await corners[0].boundingBox(), await corners[1].boundingBox()];
      const touch = await phone.context().newCDPSession(phone);
      await touch.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [{ x: a.x + 3, y: a.y + 3 }] });
      for (let i = 1; i <= 10; i++)
        await touch.send('Input.dispatchTouchEvent', { type: 'touchMove', touchPoints: [{ x: a.x + 3 + ((b.x - a.x) * i) / 10, y: a.y + 3 + ((b.y - a.y) * i) / 10 }] });
      await touch.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
      await phone.getByRole('gridcell', { name: `${days[today]} ${new Date().getHours()}:00 paused`, exact: true }).waitFor();
      await phone.getByRole('button', { name: 'Save', exact: true }).click();
      await phone.locator('#limits').getByText('Paused hour · 1 at a time', { exact: true }).waitFor();
      const within = (x, p, q) => x >= Math.min(p, q) && x <= Math.max(p, q);
      const week = [...Array(168).keys()].map((i) => (within(Math.floor(i / 24), today, (today + 1) % 7) ? 'p'
        : i === 25 || (within(Math.floor(i / 24), 2, 4) && within(i % 24, 9, 17)) ? 'l' : 'f')).join('');
      const status = await (await page.request.post(`${box.base}/cgi-bin/kiv-list`, { headers: { 'X-Kiv': '1' }, form: { full: '1' } })).text();
      assert.equal(/week:"(\w+)"/.exec(status)[1], week);
      await phone.context().close();
      await page.locator('#limits').getByText('Paused hour · 1 at a time', { exact: true }).waitFor();
      // The one running in the queue waits again, first; the one started outside it goes on.
      await job(1).getByText('queued · 1st in line', { exact: true }).waitFor();
      await job(2).getByText('running', { exact: true }).waitFor();
    } finally {
      await ctl({ cmd: 'queue', max_active: '0', week: 'f'.repeat(168) });
      await deleteJobs((source) => source.includes('/film.bin.q'));
      for (const n of names) fs.rmSync(path.join(box.dnl, n), { force: true });
    }
  });

  await journey('bulk actions: shift-click a range of files, move them into a folder, delete a selection; stop and clear jobs; a failed item says why', async (page) => {
    const dir = path.join(box.dnl, 'bulk');
    fs.mkdirSync(path.join(dir, 'Box'), { recursive: true });
    for (let i = 1; i <= 6; i++) fs.writeFileSync(path.join(dir, `a${i}.txt`), `${i}`);
    fs.writeFileSync(path.join(dir, 'Box/a3.txt'), 'theirs');
    await open(page, 'files');
    await page.locator('#tree').getByRole('button', { name: 'bulk', exact: true }).click();
    await row(page, 'a6.txt').waitFor();
    const pick = (name, modifiers = []) => page.getByRole('checkbox', { name: `Select ${name}`, exact: true }).click({ modifiers });
    const counts = page.locator('#picks .muted');
    await pick('a1.txt');
    // What the filter hides leaves the selection: an action reaches only what is shown.
    await page.getByLabel('Filter the listing').fill('a2');
    await counts.getByText('1 of 7 entries shown', { exact: true }).waitFor();
    await page.getByLabel('Filter the listing').fill('');
    await pick('a2.txt');
    await pick('a5.txt', ['Shift']);
    await counts.getByText('7 entries · 4 selected', { exact: true }).waitFor();
    await page.getByRole('button', { name: 'Move…', exact: true }).click();
    const dialog = page.locator('dialog[open]');
    await dialog.getByText('Move 4 entries').waitFor();
    await dialog.getByLabel('Into the folder').selectOption({ label: 'Downloads/bulk/Box' });
    await dialog.getByRole('button', { name: 'Move', exact: true }).click();
    // Box holds an a3.txt of its own: replaced only if the user says so.
    await dialog.getByText('The folder /bulk/Box already holds a3.txt.', { exact: false }).waitFor();
    await dialog.getByRole('button', { name: 'Keep both' }).click();
    await page.locator('#note').getByText('Moved 4 of 4.').waitFor();
    assert.deepEqual(fs.readdirSync(path.join(dir, 'Box')).sort(), ['a2.txt', 'a3 (1).txt', 'a3.txt', 'a4.txt', 'a5.txt']);
    assert.equal(fs.readFileSync(path.join(dir, 'Box/a3.txt'), 'utf8'), 'theirs');
    await row(page, 'a5.txt').waitFor({ state: 'detached' });
    await counts.getByText('3 entries', { exact: true }).waitFor();
    // Delete a selection; one of it is deleted elsewhere meanwhile.
    await pick('a1.txt');
    await pick('a6.txt');
    await page.getByRole('button', { name: 'Delete…', exact: true }).click();
    await dialog.getByText('Delete 2 entries').waitFor();
    fs.rmSync(path.join(dir, 'a6.txt'));
    await dialog.getByRole('button', { name: 'Delete', exact: true }).click();
    await page.locator('#note').getByText(/^Deleted 1 of 2\.\s*a6\.txt: \S/).waitFor();
    assert.deepEqual(fs.readdirSync(dir), ['Box']);
    await page.locator('#note').getByRole('button', { name: 'Dismiss' }).click();

    // Jobs: three that keep running, stopped at once, then cleared.
    const hang = net.createServer(() => {});
    await new Promise((r) => hang.listen(0, '127.0.0.1', r));
    const at = `http://127.0.0.1:${hang.address().port}`;
    await page.getByRole('tab', { name: 'Transfers' }).click();
    await page.getByText('Add a transfer').click();
    await page.getByLabel('Addresses (HTTP or FTP)').fill([1, 2, 3].map((i) => `${at}/hang${i}.bin`).join('\n'));
    await page.getByRole('button', { name: 'Add download' }).click();
    await page.getByLabel('Filter the transfers').fill('hang');
    // This journey's rows: a hang.bin of another journey may be listed too.
    const jobs = page.locator('#jobs li').filter({ has: page.locator('.name', { hasText: /^hang\d\.bin$/ }) });
    await jobs.filter({ has: page.getByText('running', { exact: true }) }).nth(2).waitFor();
    await page.locator('#job-picks .muted').getByText(/^3 (of \d+ )?transfers/).waitFor();
    await page.locator('#job-picks').getByLabel('Select all shown').check();
    await page.getByRole('button', { name: 'Stop…', exact: true }).click();
    await dialog.getByText('Stop 3 transfers').waitFor();
    await dialog.getByRole('button', { name: 'Stop', exact: true }).click();
    await page.locator('#note').getByText('Stopped 3 of 3.').waitFor();
    for (let i = 0; i < 3; i++) await jobs.nth(i).getByText('stopped', { exact: true }).waitFor();
    await page.locator('#job-picks').getByLabel('Select all shown').check();
    await page.getByRole('button', { name: 'Clear…', exact: true }).click();
    await dialog.getByText('Clear 3 transfers').waitFor();
    // hang2's job is deleted elsewhere before the user confirms.
    const id = fs.readdirSync(box.trk).find((n) => /^\w{6}$/.test(n) && fs.readFileSync(path.join(box.trk, n), 'utf8').includes('/hang2.bin\n'));
    fs.rmSync(path.join(box.trk, id));
    fs.rmSync(path.join(box.trk, `${id}.wgt`));
    await dialog.getByRole('button', { name: 'Clear', exact: true }).click();
    await page.locator('#note').getByText('hang2.bin: It is not there any more').waitFor();
    await page.locator('#note').getByText(/^Cleared 2 of 3\./).waitFor();
    await jobs.first().waitFor({ state: 'detached' });
    assert.equal(fs.readdirSync(box.trk).filter((n) => n.endsWith('.wgt') && fs.readFileSync(path.join(box.trk, n), 'latin1').includes('/hang')).length, 0);
    await page.getByLabel('Filter the transfers').fill('');
    hang.close();
  }, () => deleteJobs((source) => /\/hang\d\.bin$/.test(source)));

  await journey('no layout jump as the listing and the transfers come; on a phone the first transfer near the top', async () => {
    const dir = path.join(box.dnl, 'many');
    fs.mkdirSync(dir);
    for (let i = 0; i < 150; i++) fs.writeFileSync(path.join(dir, `file ${i}.bin`), 'x'.repeat(i * 100));
    const log = path.join(box.trk, 'Zc0001.wgt'); // as wget leaves it
    fs.writeFileSync(log, '--2026-12-08 10:00:00--  http://h.test/omega.iso\n 45%[====>    ] 450.00M  1.2MB/s  eta 7m 30s\r');
    // Scrollbars as people have them: a long listing brings one.
    const browser = await chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_ARGS, headless: true, ignoreDefaultArgs: ['--hide-scrollbars'] });
    const frames = (p) => p.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
    try {
      for (const [view, ready] of [['files', '#tree button[data-path="/many"][aria-current]'], ['transfers', '#jobs li']]) {
        const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, locale: 'en-US' });
        await context.addCookies([{ name: 'curdir', value: '%2fmany', url: box.base }]);
        const p = await context.newPage();
        await p.addInitScript(() => {
          window.__shift = 0;
          new PerformanceObserver((list) => { for (const e of list.getEntries()) if (!e.hadRecentInput) window.__shift += e.value; })
            .observe({ type: 'layout-shift', buffered: true });
        });
        // The first status: for the cookie's folder, with its listing only
        // where Files shows.
        const asked = [];
        p.on('request', (r) => { if (r.url().endsWith('/cgi-bin/kiv-list')) asked.push(r.postData()); });
        await p.goto(`${box.base}/#${view}`);
        await p.waitForSelector(ready);
        assert.deepEqual(asked.slice(0, 1), [`full=1&curdir=%2fmany${view === 'files' ? '' : '&dnl=0'}`]);
        if (view === 'files') await p.locator('#listing li').nth(149).waitFor();
        await frames(p);
        const shift = await p.evaluate(() => window.__shift);
        assert.ok(shift <= 0.05, `${view} shifts by ${shift}`);
        await context.close();
      }
    } finally {
      await browser.close();
    }
    const phone = await newPage({ viewport: { width: 375, height: 740 }, isMobile: true, hasTouch: true });
    await open(phone, 'transfers');
    await phone.locator('#jobs li').first().waitFor();
    const below = await phone.evaluate(() => document.querySelector('#jobs li').getBoundingClientRect().top - document.querySelector('header').getBoundingClientRect().bottom);
    assert.ok(below <= 300, `the first transfer is ${below}px below the header`);
    await phone.context().close();
    fs.rmSync(dir, { recursive: true });
    fs.rmSync(log);
  });

  await journey('colours: light or dark chosen over the system colours, kept across a reload, then the system ones again, followed as they change', async () => {
    for (const [system, chosen, colour] of [['light', 'dark', 'rgb(17, 20, 24)'], ['dark', 'light', 'rgb(246, 247, 249)']]) {
      const page = await newPage({ colorScheme: system });
      const background = () => page.evaluate(() => getComputedStyle(document.body).backgroundColor);
      await open(page, 'settings');
      const before = await background();
      await page.getByLabel('Light or dark').selectOption(chosen);
      assert.equal(await background(), colour);
      await page.reload();
      await page.waitForSelector('body[data-loaded=true]');
      assert.equal(await background(), colour);
      await page.waitForSelector('#view-settings');
      assert.equal(await page.getByLabel('Light or dark').inputValue(), chosen);
      await page.getByLabel('Light or dark').selectOption('');
      assert.equal(await background(), before);
      assert.notEqual(before, colour);
      // The system's, followed as the system changes them.
      await page.emulateMedia({ colorScheme: chosen });
      await page.waitForFunction((c) => getComputedStyle(document.body).backgroundColor === c, colour);
      await page.context().close();
    }
  });

  await journey('a browser that keeps no site data for the box: the page all the same, colours for the moment, a word why the language stays', async () => {
    const page = await newPage();
    // As such a browser has it: the storage throws at each use.
    await page.addInitScript(() => Object.defineProperty(window, 'localStorage', { get() { throw new DOMException('The operation is insecure.', 'SecurityError'); } }));
    await open(page, 'settings');
    await page.getByLabel('Light or dark').selectOption('dark');
    assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'dark');
    await page.getByLabel('Language').selectOption('de');
    await page.locator('#note').getByText('This browser keeps nothing for this page, so its language cannot change.', { exact: true }).waitFor();
    await page.getByRole('tab', { name: 'Transfers' }).click();
    await page.waitForSelector('#view-transfers');
    await page.context().close();
  });

  await journey('the page in German: a download in German words, a program\'s refusal in German, the switch to English and back', async () => {
    const page = await newPage({ locale: 'de-DE' });
    const lang = () => page.evaluate(() => document.documentElement.lang);
    await open(page, 'transfers');
    assert.equal(await lang(), 'de');
    await page.getByRole('tab', { name: 'Einstellungen' }).waitFor();
    await page.getByText('Übertragung hinzufügen').click();
    await page.getByLabel('Adressen (HTTP oder FTP)').fill(`${url}?de`);
    await page.getByRole('button', { name: 'Download hinzufügen' }).click();
    await page.locator('#note').getByText('Zu / hinzugefügt', { exact: true }).waitFor();
    const name = `Fortschritt von ${await recordOf(`${url}?de`)}.wgt`;
    const job = page.locator('#jobs li').filter({ has: page.getByRole('progressbar', { name, exact: true, includeHidden: true }) });
    await job.getByText('fertig', { exact: true }).waitFor({ timeout: 120000 });
    assert.equal(await job.locator('.figures').textContent(), '100 % · 2,4 MB von 2,4 MB');
    await page.getByRole('button', { name: 'Fertig (', exact: false }).waitFor();
    // The program's answer: its head in German, the name as it came.
    await page.getByLabel('Torrent-Datei in den Downloads').fill('nicht da.torrent');
    await page.getByRole('button', { name: 'Torrent starten' }).click();
    await page.locator('#note').getByText('Torrent-Datei nicht gefunden: nicht da.torrent', { exact: true }).waitFor();
    await job.getByRole('button', { name: 'Löschen' }).click();
    await answer(page, {}, 'Löschen');
    await job.waitFor({ state: 'detached' });
    fs.rmSync(path.join(box.dnl, 'film.bin?de'));
    // Chosen in Settings, kept across loads; Automatic goes back to the browser's.
    await page.getByRole('tab', { name: 'Einstellungen' }).click();
    // A refusal with figures in it: its words in German, the figures as they came.
    await page.getByLabel('Übertragungen gleichzeitig').fill('5000');
    await page.getByRole('button', { name: 'Speichern', exact: true }).click();
    await page.locator('#note').getByText('Ungültiger Wert für max_active (0 bis 1000): 5000', { exact: true }).waitFor();
    await page.getByLabel('Sprache').selectOption('en');
    await page.getByRole('tab', { name: 'Settings' }).waitFor();
    await page.reload();
    await page.getByLabel('Language').selectOption('');
    await page.getByRole('tab', { name: 'Einstellungen' }).waitFor();
    assert.equal(await lang(), 'de');
    await page.context().close();
  }, async () => {
    await deleteJobs((source) => source === `${url}?de`);
    fs.rmSync(path.join(box.dnl, 'film.bin?de'), { force: true });
  });

  await journey('eDonkey: the known answers of the client in plain words, with where its password is set', async (page) => {
    await open(page, 'settings');
    await page.getByLabel('amulecmd command').fill('status');
    await page.getByRole('button', { name: 'Send command' }).click();
    // No password is set for the server's user here; with one, aMule is not running.
    await page.locator('#amule-out').getByText(/^The eDonkey client (asks for a password and none is set: set it on the box as the web server's user with amulecmd -P PASSWORD -w \(kept in ~\/\.aMule\/remote\.conf\)\.|does not answer: is aMule running)/).waitFor();
  });

  await journey('a refresh reuses only the parts of the answer whose text is unchanged', async (page) => {
    await open(page, 'files');
    const wrong = await page.evaluate(async () => {
      const { parseObject } = await import('/js/parse.js');
      // [before, after, members (and elements) the result must share with the earlier one]
      const cases = [
        ["{a:[1,2],b:'x'}", "{a:[1,2],b:'y'}", ['a']],
        ['{a:[1,2]}', '{a:[1,3]}', []],
        ['{a:[1,2],b:{c:[3]}}', '{b:{c:[3]},a:[1,2]}', ['a', 'b']],
        ['{a:[1],a:[2]}', '{a:[2]}', ['a']],
        ['{a:["x]"],n:12}', '{a:["x]"],n:123}', ['a']],
        ["{a:'[1]'}", '{a:[1]}', []],
        ['{a:[1]}', '{a:[1] ,b:[1]}', ['a']],
        ['{a:[]}', '{b:{a:[]}}', []],
        // Elements of a top-level list, by position.
        ['{a:[{x:1},{x:2},[3]],d:1}', '{a:[{x:1},{x:5},[3]],d:2}', ['a.0', 'a.2']],
        ['{a:[{x:1},{x:2}]}', '{a:[{x:0},{x:1},{x:2}]}', []],
        ['{a:[{x:1},{x:2}]}', '{a:[{x:1}]}', ['a.0']],
        ['{a:[{x:[1]}],b:{c:[{y:1}]}}', '{a:[{x:[1]},7],b:{c:[{y:1}],d:1}}', ['a.0']],
        ['{a:[{x:1}]}', "{a:[{x:1} ,'{x:1}']}", ['a.0']],
      ];
      const out = [];
      for (const [before, after, shared] of cases) {
        const earlier = await parseObject(before), got = await parseObject(after, earlier);
        if (JSON.stringify(got) !== JSON.stringify(await parseObject(after))) out.push(`${after}: read as ${JSON.stringify(got)}`);
        const check = (now, then, name) => {
          if (typeof now === 'object' && (now === then) !== shared.includes(name)) out.push(`${before} -> ${after}: ${name}`);
        };
        for (const k of Object.keys(got)) {
          check(got[k], earlier[k], k);
          if (Array.isArray(got[k]) && got[k] !== earlier[k]) got[k].forEach((e, i) => check(e, (earlier[k] || [])[i], `${k}.${i}`));
        }
      }
      return out;
    });
    assert.deepEqual(wrong, []);
  });

  await journey('a long answer is read in slices: as at once, its unchanged parts shared, another read between slices whole', async (page) => {
    await open(page, 'files');
    const wrong = await page.evaluate(async () => {
      const { parseObject } = await import('/js/parse.js');
      const out = [];
      // 20,000 entries take more than one slice; a short answer read between them leaves the long one whole.
      const entries = Array.from({ length: 20000 }, (_, i) => `{file:'n\\'${i}',size:${i % 7},d:[${i}]}`);
      const text = `{a:[${entries.join(',')}],b:{c:'x'},e:[]}`, changed = text.replace("n\\'5'", "n5'");
      const earlier = await parseObject(text);
      const reading = parseObject(changed, earlier);
      if (JSON.stringify(await parseObject("{z:['y']}")) !== '{"z":["y"]}') out.push('read between slices');
      const got = await reading;
      if (JSON.stringify(got) !== JSON.stringify(await parseObject(changed))) out.push('sliced read differs');
      if (got.b !== earlier.b || got.a[4] !== earlier.a[4] || got.a[5] === earlier.a[5]) out.push('sliced read shares the wrong parts');
      return out;
    });
    assert.deepEqual(wrong, []);
  });

  server.close();
}

try {
  fs.mkdirSync(shots, { recursive: true });
  await run();
} catch (e) {
  results.push(['setup', 'FAILED']);
  console.log(e.stack);
} finally {
  await box.stop();
}
if (dialogs) results.push([`${dialogs} script dialog(s) opened`, 'FAILED']);
if (foreign.length) results.push([`requests to other hosts: ${foreign.join(' ')}`, 'FAILED']);
if (unmarked.length) results.push([`requests without X-Kiv: ${unmarked.join(' ')}`, 'FAILED']);
const failed = results.filter(([, r]) => r !== 'ok');
for (const [name] of failed) console.log(`failed: ${name}`);
console.log(`${results.length - failed.length} of ${results.length} passed; screenshots in ${path.resolve(shots)}`);
process.exit(failed.length ? 1 : 0);
