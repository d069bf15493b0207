// A household's scale for the page benchmarks: one folder of `files` files
// and `jobs` wget logs (a transfer at 45 %) in the box's job directory.
import fs from 'node:fs';
import path from 'node:path';

export function fill(box, files = 10000, jobs = 300) {
  for (let i = 0; i < Number(files); i++) fs.writeFileSync(path.join(box.dnl, `holiday photo ${i}.jpg`), '');
  let born = 0;
  for (let i = 0; i < Number(jobs); i++) {
    const log = path.join(box.trk, `job${String(i).padStart(4, '0')}.wgt`);
    // A moment apart, as people add them: no two born in one millisecond,
    // so the newest come first without a tie.
    for (let again = true; again;) {
      fs.rmSync(log, { force: true });
      fs.writeFileSync(log, `--2026-12-08 10:00:00--  http://example.test/file${i}.iso\n 45%[=====>     ] 450.00M  1.2MB/s  eta 7m 30s\r`);
      const ms = Math.floor(fs.statSync(log).birthtimeMs); // as the status gives it
      again = ms === born;
      born = ms;
    }
  }
}
