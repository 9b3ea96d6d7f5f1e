// Page benchmark of the dashboard: how soon a 200,000-row page shows its first
// rows in headless Chromium. Target: at most 1.5 s from navigation start.
//
// Run from the source folder after a build with KEMORA_WEB=ON:
//
//   node bench/page_bench.mjs [--kemora build/bin/kemora] [--share build/share/kemora]
//                             [--rows 200000] [--runs 5] [--work /tmp/kemora-page-bench]
//
// It writes the scoreboard with bench/gen_scoreboard.py (reused when the work
// folder already holds one of the same size), renders it with `kemora render`,
// opens the page a few times, each in a new tab, and prints per run and as the
// median: the time from navigation start to the frame that paints the first
// grid rows (measured in the page), the time at which the rows were seen from
// outside the page, and the time until every chunk was decoded.
import { existsSync, mkdirSync, readFileSync, statSync, writeFileSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { launch, SOURCE_DIR } from '../tests/browser/chromium.mjs';
import { generateScoreboard, pageRenderer } from '../tests/browser/render_page.mjs';

function option(name, fallback) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}
const KEMORA = resolve(option('--kemora', join(SOURCE_DIR, 'build', 'bin', 'kemora')));
const SHARE = resolve(option('--share', join(SOURCE_DIR, 'build', 'share', 'kemora')));
const ROWS = Number(option('--rows', '200000'));
const RUNS = Number(option('--runs', '5'));
const WORK = resolve(option('--work', '/tmp/kemora-page-bench'));
const PYTHON = '/usr/bin/python3';
const TARGET_MS = 1500;

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

const dir = join(WORK, `sb${ROWS}`);
const json = join(dir, 'sample_scoreboard.json');
mkdirSync(dir, { recursive: true });
const sameSize = () => {
  try { return JSON.parse(readFileSync(join(dir, 'rows.txt'), 'utf-8')) === ROWS; } catch { return false; }
};
if (!existsSync(json) || !sameSize()) {
  console.log(`generating ${ROWS} rows into ${dir} …`);
  generateScoreboard(PYTHON, ROWS, dir);
  writeFileSync(join(dir, 'rows.txt'), String(ROWS));
}
const renderer = pageRenderer({ kemora: KEMORA, share: SHARE, python: PYTHON });
if (!renderer.viaKemora) console.log(`note: ${KEMORA} has no render command: rendered by tests/browser/render_reference.py`);
const html = join(WORK, `dashboard_${ROWS}.html`);
const t0 = Date.now();
renderer.render(json, html, ['--chunk-size', '10000']);
console.log(`rendered ${html}: ${(statSync(html).size / 1048576).toFixed(1)} MB in ${Date.now() - t0} ms`);

const browser = await launch();
const results = [];
try {
  for (let run = 1; run <= RUNS; run++) {
    const page = await browser.context.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.goto(pathToFileURL(html).href, { waitUntil: 'commit', timeout: 120000 });
    await page.waitForSelector('.ag-row[row-index="0"]', { timeout: 120000 });
    const seen = await page.evaluate(() => performance.now());
    await page.waitForFunction(() => window.kmrDashboard && window.kmrDashboard.state.firstRowsAt !== null, null, { timeout: 120000 });
    await page.waitForFunction(() => window.kmrDashboard.state.done, null, { timeout: 300000, polling: 100 });
    const s = await page.evaluate(() => ({
      firstRows: window.kmrDashboard.state.firstRowsAt,
      done: performance.now(),
      rows: window.kmrDashboard.state.rows.length,
    }));
    if (errors.length) throw new Error(`page errors: ${errors.join('; ')}`);
    if (s.rows !== ROWS) throw new Error(`the page decoded ${s.rows} rows, expected ${ROWS}`);
    results.push({ firstRows: s.firstRows, seen, done: s.done });
    console.log(`run ${run}: first rows painted ${s.firstRows.toFixed(0)} ms, seen ${seen.toFixed(0)} ms, all ${s.rows} rows decoded ${s.done.toFixed(0)} ms`);
    await page.close();
  }
} finally {
  await browser.close();
}
const first = median(results.map((r) => r.firstRows));
console.log(`median over ${RUNS} runs, ${ROWS} rows: first rows ${first.toFixed(0)} ms after navigation start ` +
            `(seen ${median(results.map((r) => r.seen)).toFixed(0)} ms, all decoded ${median(results.map((r) => r.done)).toFixed(0)} ms); ` +
            `target ≤ ${TARGET_MS} ms: ${first <= TARGET_MS ? 'met' : 'MISSED'}`);
