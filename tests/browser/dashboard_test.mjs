// Browser test of the dashboard page: renders scoreboards with `kemora render`
// and drives the pages in headless Chromium.
//
//   node tests/browser/dashboard_test.mjs --kemora build/bin/kemora \
//        --share build/share/kemora --python /usr/bin/python3 --out build/browser-test \
//        [--screenshot build/dashboard.png]
//
// Registered with ctest (label "browser") by tests.cmake.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { launch, SOURCE_DIR } from './chromium.mjs';
import { generateScoreboard, pageRenderer, run } from './render_page.mjs';

const LINK = 'https://example.invalid/firma/';
const MARKER = '<!-- KMR_TRENDING_SECTION -->';

function option(name, fallback) {
  const i = process.argv.indexOf(name);
  if (i >= 0 && i + 1 < process.argv.length) return process.argv[i + 1];
  if (fallback === undefined) throw new Error(`missing option ${name}`);
  return fallback;
}
const KEMORA = resolve(option('--kemora'));
const SHARE = resolve(option('--share'));
const PYTHON = option('--python', '/usr/bin/python3');
const OUT = resolve(option('--out'));
const SCREENSHOT = resolve(option('--screenshot', join(OUT, 'dashboard.png')));

const renderer = pageRenderer({ kemora: KEMORA, share: SHARE, python: PYTHON });

function render(dir, html) {
  return renderer.render(join(dir, 'sample_scoreboard.json'), html, ['--chunk-size', '10000', '--external-link', LINK]);
}

function generate(rows, dir) {
  const json = generateScoreboard(PYTHON, rows, dir);
  return JSON.parse(run(PYTHON, [join(SOURCE_DIR, 'tests', 'browser', 'scoreboard_facts.py'), json]));
}

let browser;

/** Opens a rendered page and collects its console errors and uncaught exceptions. */
async function open(html) {
  const page = await browser.context.newPage();
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => errors.push(`exception: ${e.message}`));
  await page.goto(pathToFileURL(html).href, { waitUntil: 'load', timeout: 120000 });
  await page.waitForFunction(() => window.kmrDashboard && window.kmrDashboard.state.done, null, { timeout: 120000 });
  return { page, errors };
}

const displayed = (page) => page.evaluate(() => window.kmrDashboard.api.getDisplayedRowCount());
const cellText = (page, rowIndex, colId) =>
  page.locator(`.ag-row[row-index="${rowIndex}"] [col-id="${colId}"]`).first().innerText();
const kpi = async (page, id) =>
  Number((await page.locator(`[data-kpi="${id}"] .kmr-kpi-value`).innerText()).replace(/\./g, '').replace(',', '.'));

before(async () => {
  mkdirSync(OUT, { recursive: true });
  if (!renderer.viaKemora) console.log(`# ${KEMORA} has no render command yet: pages rendered by render_reference.py`);
  browser = await launch({ allowPrefixes: [LINK] });
});

after(async () => {
  if (browser) await browser.close();
});

test('25,000-row scoreboard in three chunks', async (t) => {
  const dir = join(OUT, 'sb25k');
  const facts = generate(25000, dir);
  const html = render(dir, join(OUT, 'dashboard_25k.html'));
  const text = readFileSync(html, 'utf-8');
  assert.equal(text.split(MARKER).length - 1, 1, 'one trending marker in the page');
  assert.equal((text.match(/kmrChunk\(\d+,/g) || []).length, 3, 'three chunk scripts');

  const { page, errors } = await open(html);

  await t.test('header and key figures', async () => {
    const periods = facts.periods;
    assert.equal(await page.locator('#kmr-period-range').innerText(), `${periods[0]} – ${periods[periods.length - 1]}`);
    assert.equal(await page.locator('#kmr-unit').innerText(), 'mio TL');
    assert.match(await page.locator('#kmr-meta').innerText(), /Portföy: Ticari Krediler/);
    assert.equal(await kpi(page, 'firms'), facts.total_rows);
    for (const [flag, count] of Object.entries(facts.flag_counts)) assert.equal(await kpi(page, flag), count, flag);
  });

  await t.test('first the top_n highest-risk rows, the first one the highest risk', async () => {
    assert.equal(await displayed(page), 100);
    assert.equal(await cellText(page, 0, 'muta'), String(facts.top_muta));
  });

  await t.test('"show all" puts every row into the grid', async () => {
    await page.click('#kmr-show-all');
    await page.waitForFunction((n) => window.kmrDashboard.api.getDisplayedRowCount() === n, facts.total_rows);
    assert.equal(await page.evaluate(() => window.KMR_CTX.totalRows), facts.total_rows);
    assert.equal(await cellText(page, 0, 'muta'), String(facts.top_muta));
  });

  await t.test('sorting the risk ascending brings the lowest risk first', async () => {
    await page.click('.ag-header-cell[col-id="son_risk"] .ag-header-cell-label');
    await page.waitForFunction(() => window.kmrDashboard.api.getColumnState().some((c) => c.colId === 'son_risk' && c.sort === 'asc'));
    const first = await cellText(page, 0, 'muta');
    assert.notEqual(first, String(facts.top_muta));
    assert.ok(facts.ascending_first_mutas.map(String).includes(first), `${first} is not among the lowest-risk firms`);
    await page.evaluate(() => window.kmrDashboard.api.applyColumnState({ defaultState: { sort: null } }));
    await page.waitForFunction((m) => document.querySelector('.ag-row[row-index="0"] [col-id="muta"]')?.textContent === m,
                               String(facts.top_muta));
  });

  await t.test('filtering segment KOBI leaves exactly the KOBI rows', async () => {
    await page.click('.ag-header-cell[col-id="segment"] .ag-header-cell-filter-button');
    const filter = page.locator('[data-choice-filter="segment"]');
    await filter.locator('.kmr-choice-all input').uncheck();
    await filter.locator('label', { hasText: /^KOBI$/ }).locator('input').check();
    await page.waitForFunction((n) => window.kmrDashboard.api.getDisplayedRowCount() === n, facts.kobi_rows, { timeout: 10000 })
      .catch(() => {});
    assert.equal(await displayed(page), facts.kobi_rows);
    const segments = await page.evaluate(() => {
      const seen = new Set();
      window.kmrDashboard.api.forEachNodeAfterFilter((n) => seen.add(n.data.segment));
      return [...seen];
    });
    assert.deepEqual(segments, ['KOBI']);
    const csv = await page.evaluate(() => window.kmrDashboard.csvText());
    assert.equal(csv.split(/\r?\n/).filter((l) => l.length).length, facts.kobi_rows + 1, 'CSV: header and the filtered rows');
    await page.keyboard.press('Escape');
    await page.click('#kmr-clear-filters');
    await page.waitForFunction((n) => window.kmrDashboard.api.getDisplayedRowCount() === n, facts.total_rows);
  });

  await t.test('quick search finds a firm by MUTA', async () => {
    await page.fill('#kmr-search', String(facts.top_muta));
    await page.waitForFunction(() => window.kmrDashboard.api.getDisplayedRowCount() === 1);
    await page.click('#kmr-clear-filters');
    await page.waitForFunction((n) => window.kmrDashboard.api.getDisplayedRowCount() === n, facts.total_rows);
  });

  await t.test('charts: one Sankey link per non-zero flow, one bar per band', async () => {
    assert.equal(await page.locator('#kmr-sankey path.kmr-sankey-link').count(), facts.nonzero_flows);
    assert.equal(await page.locator('#kmr-bands rect.kmr-band-bar').count(), facts.bands);
  });

  await t.test('selecting a row shows the firm history', async () => {
    await page.click('.ag-row[row-index="1"] [col-id="segment"]');
    await page.waitForSelector('#kmr-detail svg');
    assert.equal(await page.locator('#kmr-detail svg').count(), 2);
    assert.match(await page.locator('#kmr-detail dl').innerText(), new RegExp(await cellText(page, 1, 'muta')));
  });

  await t.test('double-click opens the external link with the MUTA', async () => {
    const muta = await cellText(page, 2, 'muta');
    const [popup] = await Promise.all([
      browser.context.waitForEvent('page', { timeout: 10000 }),
      page.dblclick(`.ag-row[row-index="2"] [col-id="unvan"]`),
    ]);
    await popup.waitForLoadState();
    assert.equal(popup.url(), LINK + muta);
    await popup.close();
  });

  await page.screenshot({ path: SCREENSHOT, fullPage: true });
  await page.close();
  assert.deepEqual(errors, [], 'console errors');
});

test('a scoreboard with periods and no rows renders an empty grid', async () => {
  const dir = join(OUT, 'sb0');
  const facts = generate(0, dir);
  assert.equal(facts.total_rows, 0);
  const { page, errors } = await open(render(dir, join(OUT, 'dashboard_empty.html')));
  assert.equal(await displayed(page), 0);
  assert.equal(await kpi(page, 'firms'), 0);
  await page.waitForSelector('.ag-overlay-no-rows-wrapper, .ag-overlay-no-rows-center');
  assert.equal(await page.locator('#kmr-sankey path.kmr-sankey-link').count(), facts.nonzero_flows);
  await page.close();
  assert.deepEqual(errors, []);
});

test('odd values: NaN and Infinity in chunks, markup in names', async () => {
  const dir = join(OUT, 'sbodd');
  mkdirSync(dir, { recursive: true });
  const donemler = ['202401', '202402'];
  const evil = '</script><script>window.kmrInjected = 1</script>&amp;';
  const row = (muta, extra) => ({
    muta, unvan: `Firma ${muta}`, segment: 'KOBI', son_risk: 5e6, bolge_kodu: 'B1', sube_kodu: 1,
    kmr202401: 3, kmr202402: 'YI', r202401: 1e6, r202402: 2e6, rd202401: 0, rd202402: null,
    df202401: -1e5, df202402: 2e5, _hizli_yukselen: 1, _rejim_degisimi: 0, _potansiyel_yi: 0,
    _erken_sinyal: 0, _yakalanan: 0, _kacirilan: 0, _kmr_neden: 'Skor artışı', ...extra });
  // Written by hand: NaN and Infinity are tokens of the scoreboard's JSON that JSON.stringify cannot write.
  const rows = [
    JSON.stringify(row(1, { unvan: evil, son_risk: 9e6 })),
    JSON.stringify(row(2, { son_risk: null, _kmr_neden: evil })).replace('"_hizli_yukselen":1', '"_hizli_yukselen":NaN'),
    JSON.stringify(row(3, { son_risk: 1e5 })).replace('"_kacirilan":0', '"_kacirilan":-Infinity')
      .replace('"_kmr_neden":"Skor artışı"', '"_kmr_neden":Infinity'),
    JSON.stringify(row(4, { segment: 'DIGER', kmr202401: 'x' })).replace('"r202401":1000000', '"r202401":NaN'),
  ];
  writeFileSync(join(dir, 'sample_scoreboard.json'),
    `{"meta":{"donemler":${JSON.stringify(donemler)},"portfoy":"Deneme <b>","not":NaN},"rows":[${rows.join(',')}],` +
    `"flow_matrix":[{"source":"A","target":"B","value":3},{"source":"A","target":"A","value":0}],"band_snapshot":{"A":1,"B":3}}`);
  const { page, errors } = await open(render(dir, join(OUT, 'dashboard_odd.html')));
  assert.equal(await displayed(page), 4);
  assert.equal(await page.evaluate(() => window.kmrInjected), undefined);
  assert.equal(await cellText(page, 0, 'unvan'), evil.slice(0, 40));
  assert.equal(await page.locator('#kmr-sankey path.kmr-sankey-link').count(), 1);
  assert.equal(await kpi(page, '_hizli_yukselen'), 4, 'NaN counts as a set flag');
  assert.equal(await kpi(page, '_kacirilan'), 1);
  assert.match(await page.locator('#kmr-meta').innerText(), /Portföy: Deneme <b>/);
  await page.close();
  assert.deepEqual(errors, []);
});

test('the trending section takes the place of the marker', { skip: !renderer.viaKemora && 'needs kemora render' }, async () => {
  const dir = join(OUT, 'sb25k');
  const html = renderer.render(join(dir, 'sample_scoreboard.json'), join(OUT, 'dashboard_trending.html'),
                               ['--trending', join(dir, 'sample_trending_lists.json')]);
  assert.ok(!readFileSync(html, 'utf-8').includes(MARKER));
  const { page, errors } = await open(html);
  assert.equal(await page.locator('#kmr-trending-section').count(), 1);
  const cards = page.locator('#kmr-trending-cards');
  assert.ok(await cards.isVisible());
  await page.click('#kmr-trending-section button');  // its inline handler runs under the page's content policy
  assert.ok(!(await cards.isVisible()));
  await page.close();
  assert.deepEqual(errors, []);
});

test('no request left the machine, except the popup the test asked for', () => {
  const unexpected = browser.requests.filter((r) => !r.allowed);
  assert.deepEqual(unexpected, []);
  assert.ok(browser.requests.length <= 1);
});
