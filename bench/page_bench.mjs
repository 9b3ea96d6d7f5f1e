// Page benchmark of the dashboard at scale, in headless Chromium. Per run, and
// as the median over the runs, it reports:
//
//   first rows    time from navigation start to the frame that paints the first grid rows (target ≤ 500 ms)
//   ready         time until every row is in and <body data-state="ready"> (target ≤ 2000 ms)
//   longest task  the longest main-thread task while loading, from the Long Tasks API (target ≤ 200 ms)
//   search        quick search over all rows: from the query to the painted result, for a few
//                 queries (one firm by MUTA, a common word, a region name); the slowest (target ≤ 150 ms)
//   CSV           export of all rows: total time and its longest main-thread task (target ≤ 200 ms)
//   heap          main-thread JS heap once ready, after a garbage collection (target ≤ 100 MB)
//
// Run from the source folder after a build with KEMORA_WEB=ON:
//
//   node bench/page_bench.mjs [--kemora build/bin/kemora] [--share build/share/kemora]
//                             [--rows 200000] [--runs 5] [--chunk-size 10000] [--work /tmp/kemora-page-bench]
//
// It writes the scoreboard with bench/gen_scoreboard.py (reused when the work
// folder already holds one of the same size) and renders it with `kemora render`.
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
const CHUNK = option('--chunk-size', '10000');
const WORK = resolve(option('--work', '/tmp/kemora-page-bench'));
const PYTHON = '/usr/bin/python3';
const TARGETS = { firstRows: 500, ready: 2000, longestTask: 200, search: 150, csvTask: 200, heapMB: 100 };

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
renderer.render(json, html, ['--chunk-size', CHUNK]);
console.log(`rendered ${html}: ${(statSync(html).size / 1048576).toFixed(1)} MB in ${Date.now() - t0} ms`);

// Long tasks of the main thread, from navigation start on.
const OBSERVE = () => {
  window.kmrLongTasks = [];
  try {
    new PerformanceObserver((list) => {
      for (const e of list.getEntries()) window.kmrLongTasks.push({ start: e.startTime, duration: e.duration });
    }).observe({ type: 'longtask', buffered: true });
  } catch (err) { /* no Long Tasks API */ }
};

const longest = (tasks, from, to) =>
  tasks.filter((t) => t.start + t.duration >= from && t.start <= to).reduce((m, t) => Math.max(m, t.duration), 0);

const browser = await launch();
const results = [];
try {
  for (let run = 1; run <= RUNS; run++) {
    const page = await browser.context.newPage();
    await page.addInitScript(OBSERVE);
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.goto(pathToFileURL(html).href, { waitUntil: 'commit', timeout: 120000 });
    await page.waitForSelector('body[data-state="ready"]', { timeout: 300000, polling: 50 });
    const load = await page.evaluate(() => ({
      firstRows: window.kmrDashboard.state.firstRowsAt,
      ready: window.kmrDashboard.state.readyAt,
      rows: window.kmrDashboard.store.n,
    }));
    if (load.rows !== ROWS) throw new Error(`the page holds ${load.rows} rows, expected ${ROWS}`);
    const loadTask = longest(await page.evaluate(() => window.kmrLongTasks), 0, load.ready);

    const cdp = await browser.context.newCDPSession(page);
    await cdp.send('HeapProfiler.collectGarbage');
    const heapMB = (await cdp.send('Runtime.getHeapUsage')).usedSize / 1048576;

    // Quick search: the query, the grid's refresh and the next painted frame.
    const queries = ['anadolu', 'istanbul', '10000007', 'tekstil lojistik'];
    const searches = {};
    for (const q of queries) {
      searches[q] = await page.evaluate(async (text) => {
        const t = performance.now();
        window.kmrDashboard.search(text);
        await new Promise((r) => requestAnimationFrame(() => setTimeout(r, 0)));
        return performance.now() - t;
      }, q);
    }
    await page.evaluate(() => window.kmrDashboard.search(''));
    await page.evaluate(() => window.kmrDashboard.showAll(true));

    // CSV of every row.
    const csv = await page.evaluate(async () => {
      const d = window.kmrDashboard;
      const from = performance.now();
      await d.exportCsv();
      const to = performance.now();
      return { from, to, rows: d.api.getDisplayedRowCount() };
    });
    const csvTask = longest(await page.evaluate(() => window.kmrLongTasks), csv.from, csv.to);
    if (errors.length) throw new Error(`page errors: ${errors.join('; ')}`);
    const searchMax = Math.max(...Object.values(searches));
    const r = { firstRows: load.firstRows, ready: load.ready, longestTask: loadTask, search: searchMax,
                csvMs: csv.to - csv.from, csvTask, heapMB };
    results.push(r);
    console.log(`run ${run}: first rows ${r.firstRows.toFixed(0)} ms, ready ${r.ready.toFixed(0)} ms, ` +
                `longest task ${r.longestTask.toFixed(0)} ms, search ${Object.entries(searches).map(([q, ms]) => `"${q}" ${ms.toFixed(0)}`).join(', ')} ms, ` +
                `CSV of ${csv.rows} rows ${r.csvMs.toFixed(0)} ms (longest task ${r.csvTask.toFixed(0)} ms), heap ${r.heapMB.toFixed(1)} MB`);
    await cdp.detach();
    await page.close();
  }
} finally {
  await browser.close();
}
const m = {};
for (const k of Object.keys(results[0])) m[k] = median(results.map((r) => r[k]));
const verdict = (k, v) => `${v.toFixed(k === 'heapMB' ? 1 : 0)}${k === 'heapMB' ? ' MB' : ' ms'} (≤ ${TARGETS[k]}: ${v <= TARGETS[k] ? 'met' : 'MISSED'})`;
console.log(`median over ${RUNS} runs, ${ROWS} rows: first rows ${verdict('firstRows', m.firstRows)}, ready ${verdict('ready', m.ready)}, ` +
            `longest load task ${verdict('longestTask', m.longestTask)}, slowest search ${verdict('search', m.search)}, ` +
            `CSV ${m.csvMs.toFixed(0)} ms with longest task ${verdict('csvTask', m.csvTask)}, heap ${verdict('heapMB', m.heapMB)}`);
