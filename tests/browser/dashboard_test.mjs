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
  assert.equal((text.match(/<script type="application\/json" id="kmr-chunk-\d+">/g) || []).length, 3, 'three chunk data blocks');
  assert.equal((text.match(/kmrChunk\(\d+\)/g) || []).length, 3, 'one call per chunk');

  const { page, errors } = await open(html);

  await t.test('header and key figures', async () => {
    const periods = facts.periods;
    const month = (p) => `${['Oca', 'Şub', 'Mar', 'Nis', 'May', 'Haz', 'Tem', 'Ağu', 'Eyl', 'Eki', 'Kas', 'Ara'][Number(p.slice(4)) - 1]} ${p.slice(0, 4)}`;
    assert.equal(await page.locator('#kmr-period-range').innerText(), `${month(periods[0])} – ${month(periods[periods.length - 1])}`);
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

// ---------------------------------------------------------------- the page as analysts use it

/** Waits until every row is in and the figures are drawn. */
async function openReady(html, { viewport, hash = '' } = {}) {
  const page = await browser.context.newPage();
  if (viewport) await page.setViewportSize(viewport);
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => errors.push(`exception: ${e.message}`));
  await page.goto(pathToFileURL(html).href + hash, { waitUntil: 'load', timeout: 120000 });
  await page.waitForSelector('body[data-state="ready"]', { timeout: 120000 });
  return { page, errors };
}

const waitDisplayed = (page, n) =>
  page.waitForFunction((k) => window.kmrDashboard.api.getDisplayedRowCount() === k, n, { timeout: 20000 })
    .catch(async () => assert.equal(await displayed(page), n));
const search = async (page, q) => {
  await page.fill('#kmr-search', q);
  await page.press('#kmr-search', 'Enter');
};
const displayedMutas = (page) => page.evaluate(() => {
  const out = [];
  window.kmrDashboard.api.forEachNodeAfterFilterAndSort((n) => out.push(String(n.data.muta)));
  return out;
});

/**
 * A small hand-made portfolio with Turkish names: each row says which quick
 * searches must find it (`finds`), and the facts the page must show.
 */
function turkishScoreboard(dir) {
  mkdirSync(dir, { recursive: true });
  const donemler = ['202410', '202411', '202412'];
  const row = (muta, unvan, segment, risk, bolge, sube, scores, extra = {}) => ({
    muta, unvan, segment, son_risk: risk, bolge_kodu: bolge, sube_kodu: sube,
    kmr202410: scores[0], kmr202411: scores[1], kmr202412: scores[2],
    r202412: risk, rd202412: 0, df202412: 0,
    _hizli_yukselen: 0, _rejim_degisimi: 0, _potansiyel_yi: 0, _erken_sinyal: 0, _yakalanan: 0, _kacirilan: 0,
    _kmr_neden: '', ...extra });
  const rows = [
    row(101, 'İstanbul Gıda A.Ş.', 'KOBI', 5_000_000_000, 'B1', 11, [1, 3, 'YI'], { df202412: -40_000, _hizli_yukselen: 1 }),
    row(102, 'ŞİMŞEK İnşaat Ltd.', 'KOBI', 2_000_000, 'B2', 21, [1, 2, 10]),
    row(103, 'Erdoğan Tekstil', 'MIKRO', 1_500_000, 'B1', 12, [1, 1, 1], { _hizli_yukselen: 1 }),
    row(104, 'ISTANBUL Lojistik', 'KUR-TIC', 900_000, 'B3', 31, [null, null, null]),
    row(105, 'Ankara Yazılım', 'ESKK', 3_000_000, 'B2', 22, [4, 5, 2]),
    row(106, 'Işık Enerji', 'KOBI', 2_500_000, 'B3', 31, [8, 9, 9], { _kmr_neden: 'Çek iadesi' }),
    row(107, 'Çağlar Madencilik', 'MIKRO', 1_234_567_000, 'B2', 21, [5, 5, null]),
  ];
  const finds = {
    'İstanbul': [101, 103, 104], istanbul: [101, 103, 104], ISTANBUL: [101, 103, 104],
    'ŞİMŞEK': [102], simsek: [102], erdogan: [103], ERDOĞAN: [103], isik: [106], 'IŞIK': [106],
    'cek iadesi': [106], 'caglar 107': [107], kadikoy: [101],
  };
  writeFileSync(join(dir, 'sample_scoreboard.json'), JSON.stringify({
    meta: { donemler, risk_donemler: ['202412'], portfoy: 'Deneme Portföyü', uretim_tarihi: '2024-12-31',
            firma_sayisi: rows.length, veri_donemi: '202412', risk_birim: 'TL', not: '',
            kmr_bantlari: { 'Düşük': '1-3', Orta: '4-7', 'Yüksek': '8-10', YI: 'yakın izleme' } },
    rows, flow_matrix: [], band_snapshot: {} }));
  writeFileSync(join(dir, 'sube_bolge_ref.csv'), 'bolge_kodu,bolge_adi,sube_kodu,sube_adi\n' +
    'B1,İstanbul Bölge,11,Kadıköy Şube\nB1,İstanbul Bölge,12,Üsküdar Şube\nB2,Ankara Bölge,21,Çankaya Şube\n' +
    'B2,Ankara Bölge,22,Ulus Şube\nB3,Çorum Bölge,31,Merkez Şube\n');
  return { rows, finds };
}

let turkish;
function turkishPage() {
  if (!turkish) {
    const dir = join(OUT, 'sbtr');
    const fx = turkishScoreboard(dir);
    const html = renderer.render(join(dir, 'sample_scoreboard.json'), join(OUT, 'dashboard_tr.html'),
                                 ['--top-n', '3', '--ref-csv', join(dir, 'sube_bolge_ref.csv')]);
    turkish = { ...fx, html };
  }
  return turkish;
}

test('search and filters look at every firm, not only the first view', async (t) => {
  const dir = join(OUT, 'sb25k');
  const facts = JSON.parse(run(PYTHON, [join(SOURCE_DIR, 'tests', 'browser', 'scoreboard_facts.py'), join(dir, 'sample_scoreboard.json')]));
  const { page, errors } = await openReady(join(OUT, 'dashboard_25k.html'));
  assert.equal(await displayed(page), 100, 'the first view is the top_n rows');
  await t.test('a low-risk firm is found by its MUTA without "show all"', async () => {
    const muta = String(facts.ascending_first_mutas[0]);
    await search(page, muta);
    await waitDisplayed(page, 1);
    assert.deepEqual(await displayedMutas(page), [muta]);
    assert.match(await page.locator('#kmr-row-count').innerText(), /Eşleşen: 1 \/ 25\.000 firma/);
    await page.click('#kmr-clear-filters');
    await waitDisplayed(page, 100);
  });
  await t.test('the history charts of a firm with twelve periods show every label whole', async () => {
    await page.click('.ag-row[row-index="0"] [col-id="segment"]');
    await page.waitForSelector('#kmr-detail svg .kmr-axis text');
    const out = await page.evaluate(() => Array.from(document.querySelectorAll('#kmr-detail svg')).flatMap((svg) => {
      const box = svg.getBoundingClientRect();
      return Array.from(svg.querySelectorAll('.kmr-axis text')).map((t) => {
        const r = t.getBoundingClientRect();
        return { text: t.textContent, inside: r.left >= box.left - 0.5 && r.right <= box.right + 0.5 };
      });
    }));
    assert.ok(out.some((x) => x.text === 'Ara 2023'), `the latest period is named: ${out.map((x) => x.text).join(' ')}`);
    assert.deepEqual(out.filter((x) => !x.inside).map((x) => x.text), [], 'labels cut at the chart edge');
  });
  await t.test('"no match" shows while nothing matches, in Turkish, and goes with the next match', async () => {
    const shown = () => Array.from(document.querySelectorAll('#kmr-grid .ag-overlay-wrapper'))
      .filter((e) => e.offsetParent !== null && e.innerText.trim()).map((e) => e.innerText.trim());
    // The grid hides its overlay with the model update, possibly a frame later.
    const overlays = async () => {
      await page.waitForFunction(`(${shown})().length === 0`, null, { timeout: 5000 }).catch(() => {});
      return page.evaluate(`(${shown})()`);
    };
    await search(page, 'qqxqqzz');
    await waitDisplayed(page, 0);
    await page.waitForFunction(() => /Eşleşen firma yok/.test(document.getElementById('kmr-grid').innerText));
    await page.click('#kmr-clear-filters');
    await waitDisplayed(page, 100);
    assert.deepEqual(await overlays(), [], 'no overlay over the rows of the first view');
    await page.evaluate(() => window.kmrDashboard.api.setFilterModel({ son_risk: { filterType: 'number', type: 'greaterThan', filter: 1e15 } }));
    await waitDisplayed(page, 0);
    await page.evaluate(() => window.kmrDashboard.api.setFilterModel(null));
    await search(page, 'a');
    await page.waitForFunction(() => window.kmrDashboard.api.getDisplayedRowCount() > 100);
    assert.deepEqual(await overlays(), [], 'no overlay over the matching rows');
    await page.click('#kmr-clear-filters');
    await waitDisplayed(page, 100);
  });
  await t.test('segment KOBI gives every KOBI firm, and the key figures follow', async () => {
    await page.click('.ag-header-cell[col-id="segment"] .ag-header-cell-filter-button');
    const filter = page.locator('[data-choice-filter="segment"]');
    await filter.locator('.kmr-choice-all input').uncheck();
    await filter.locator('label', { hasText: /^KOBI$/ }).locator('input').check();
    await page.keyboard.press('Escape');
    await waitDisplayed(page, facts.kobi_rows);
    await page.waitForFunction((n) => document.querySelector('[data-kpi="firms"] .kmr-kpi-value').textContent.replace(/\./g, '') === String(n), facts.kobi_rows);
    await page.click('#kmr-clear-filters');
    await waitDisplayed(page, 100);
  });
  await t.test('the CSV holds the matching rows of all firms', async () => {
    await search(page, 'KOBI');
    await waitDisplayed(page, facts.kobi_rows);
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#kmr-export')]);
    const csv = readFileSync(await download.path(), 'utf-8').replace(/^\ufeff/, '');
    const lines = csv.split(/\r\n/).filter((l) => l.length);
    assert.equal(lines.length, facts.kobi_rows + 1);
    assert.match(lines[0], /^MUTA,Unvan,Segment,Son risk,KMR /);
    await page.click('#kmr-clear-filters');
  });
  await t.test('a CSV that fails half way is not downloaded, the page says so and can export again', async () => {
    await page.click('#kmr-show-all');
    let downloads = 0;
    const count = () => { downloads++; };
    page.on('download', count);
    // The third slice of rows fails to encode.
    await page.evaluate(() => {
      const Real = window.TextEncoder;
      window.kmrRealEncoder = Real;
      let calls = 0;
      window.TextEncoder = function () {
        const real = new Real();
        this.encode = (s) => { if (++calls === 3) throw new Error('bellek yetmedi'); return real.encode(s); };
      };
    });
    await page.evaluate(() => window.kmrDashboard.exportCsv());
    assert.match(await page.locator('#kmr-load-status').innerText(), /CSV indirilemedi: bellek yetmedi/);
    const btn = page.locator('#kmr-export');
    assert.equal(await btn.innerText(), 'CSV indir');
    assert.ok(await btn.isEnabled());
    await page.evaluate(() => { window.TextEncoder = window.kmrRealEncoder; });
    const [download] = await Promise.all([page.waitForEvent('download'), btn.click()]);
    const lines = readFileSync(await download.path(), 'utf-8').split(/\r\n/).filter((l) => l.length);
    assert.equal(lines.length, 25000 + 1, 'the second export holds every row');
    assert.equal(await page.locator('#kmr-load-status').innerText(), '');
    page.off('download', count);
    assert.equal(downloads, 1, 'only the export that succeeded was downloaded');
    await page.click('#kmr-show-all');
    await page.click('#kmr-clear-filters');
    await waitDisplayed(page, 100);
  });
  await page.close();
  assert.deepEqual(errors, []);
});

test('Turkish text: search and text filters fold case and diacritics', async (t) => {
  const { html, rows, finds } = turkishPage();
  const { page, errors } = await openReady(html);
  assert.equal(await displayed(page), 3, 'top_n 3');
  for (const [q, mutas] of Object.entries(finds)) {
    await t.test(`"${q}"`, async () => {
      await search(page, q);
      await waitDisplayed(page, mutas.length);
      assert.deepEqual((await displayedMutas(page)).sort(), mutas.map(String).sort());
    });
  }
  await t.test('unvan filter "istanbul" finds İstanbul and ISTANBUL', async () => {
    await search(page, '');
    await page.evaluate(() => window.kmrDashboard.api.setFilterModel({ unvan: { filterType: 'text', type: 'contains', filter: 'istanbul' } }));
    await waitDisplayed(page, 2);
    assert.deepEqual((await displayedMutas(page)).sort(), ['101', '104']);
  });
  await page.click('#kmr-clear-filters');
  await waitDisplayed(page, 3);
  assert.ok(rows.length > 3);
  await page.close();
  assert.deepEqual(errors, []);
});

test('numbers, scores and periods as a Turkish reader expects', async (t) => {
  const { html, rows } = turkishPage();
  const { page, errors } = await openReady(html, { viewport: { width: 1366, height: 768 } });
  await page.click('#kmr-show-all');
  await waitDisplayed(page, rows.length);

  await t.test('YI sorts as the worst score, above 10; no score last', async () => {
    const order = async () => page.evaluate(() => {
      const out = [];
      window.kmrDashboard.api.forEachNodeAfterFilterAndSort((n) => out.push(window.kmrDashboard.api.getCellValue({ rowNode: n, colKey: 'kmr202412', useFormatter: true })));
      return out;
    });
    await page.evaluate(() => window.kmrDashboard.api.applyColumnState({ state: [{ colId: 'kmr202412', sort: 'desc' }], defaultState: { sort: null } }));
    assert.deepEqual(await order(), ['YI', '10', '9', '2', '1', '', '']);
    await page.evaluate(() => window.kmrDashboard.api.applyColumnState({ state: [{ colId: 'kmr202412', sort: 'asc' }], defaultState: { sort: null } }));
    assert.deepEqual(await order(), ['1', '2', '9', '10', 'YI', '', '']);
    await page.evaluate(() => window.kmrDashboard.api.applyColumnState({ defaultState: { sort: null } }));
  });

  await t.test('thousands ".", decimal ",", one decimal for amounts, never "-0"', async () => {
    assert.equal(await cellText(page, 0, 'son_risk'), '5.000,0');
    const df = await page.evaluate(() => window.kmrDashboard.api.getCellValue({
      rowNode: window.kmrDashboard.api.getDisplayedRowAtIndex(0), colKey: 'df202412', useFormatter: true }));
    assert.equal(df, '0,0', 'an amount of -40,000 TL is -0.0 million');
    const row107 = await page.evaluate(() => window.kmrDashboard.api.getCellValue({
      rowNode: window.kmrDashboard.api.getDisplayedRowAtIndex(1), colKey: 'son_risk', useFormatter: true }));
    assert.equal(row107, '1.235,0');
    const texts = await page.locator('.ag-cell').allInnerTexts();
    assert.ok(!texts.some((s) => /^[-\u2212]0([,.]0*)?$/.test(s.trim())), 'no cell reads -0');
  });

  await t.test('number filters read Turkish input; amounts default to ≥', async () => {
    await page.click('.ag-header-cell[col-id="son_risk"] .ag-header-cell-filter-button');
    const popup = page.locator('.ag-filter');
    await popup.waitFor();
    assert.match(await popup.innerText(), /Büyük veya eşit/);
    const input = popup.locator('input').first();
    await input.fill('2,5');
    await page.waitForFunction(() => window.kmrDashboard.api.getFilterModel().son_risk?.filter === 2.5);
    assert.equal((await page.evaluate(() => window.kmrDashboard.api.getFilterModel().son_risk)).type, 'greaterThanOrEqual');
    assert.deepEqual((await displayedMutas(page)).sort(), ['101', '105', '107']);
    await input.fill('1.000');
    await page.waitForFunction(() => window.kmrDashboard.api.getFilterModel().son_risk?.filter === 1000);
    assert.deepEqual((await displayedMutas(page)).sort(), ['101', '107']);
    await page.keyboard.press('Escape');
    await page.click('#kmr-clear-filters');
  });

  await t.test('full period headers; the latest score next to "Son risk", on the first screen at 1366×768', async () => {
    const ids = await page.evaluate(() => window.kmrDashboard.api.getAllDisplayedColumns().map((c) => c.getColId()));
    assert.equal(ids[ids.indexOf('son_risk') + 1], 'kmr202412');
    assert.deepEqual(ids.slice(ids.indexOf('son_risk') + 1, ids.indexOf('son_risk') + 4), ['kmr202412', 'kmr202411', 'kmr202410']);
    const head = page.locator('.ag-header-cell[col-id="kmr202412"] .ag-header-cell-text');
    assert.equal(await head.innerText(), 'Ara 2024');
    assert.ok(await head.evaluate((e) => e.scrollWidth <= e.clientWidth), 'the header is not cut');
    // The sort arrow takes room in the header too: still the whole period.
    await page.evaluate(() => window.kmrDashboard.api.applyColumnState({ state: [{ colId: 'kmr202412', sort: 'desc' }], defaultState: { sort: null } }));
    await page.locator('.ag-header-cell[col-id="kmr202412"][aria-sort="descending"]').waitFor();
    for (const id of ['kmr202412', 'kmr202411']) {
      if (id !== 'kmr202412') {
        await page.evaluate((c) => window.kmrDashboard.api.applyColumnState({ state: [{ colId: c, sort: 'asc' }], defaultState: { sort: null } }), id);
        await page.locator(`.ag-header-cell[col-id="${id}"][aria-sort="ascending"]`).waitFor();
      }
      const text = page.locator(`.ag-header-cell[col-id="${id}"] .ag-header-cell-text`);
      assert.ok(await text.evaluate((e) => e.scrollWidth <= e.clientWidth), `the sorted header of ${id} is not cut`);
    }
    await page.evaluate(() => window.kmrDashboard.api.applyColumnState({ defaultState: { sort: null } }));
    const box = await page.locator('.ag-header-cell[col-id="kmr202412"]').boundingBox();
    const grid = await page.locator('#kmr-grid').boundingBox();
    assert.ok(box.x + box.width <= grid.x + grid.width && box.y + box.height <= 768, 'the latest score is on screen');
  });

  await t.test('header metadata: labels, Turkish dates, one unit, nothing empty', async () => {
    const meta = await page.locator('#kmr-meta').innerText();
    assert.match(meta, /Portföy: Deneme Portföyü/);
    assert.match(meta, /Üretim tarihi: 31 Aralık 2024/);
    assert.match(meta, /Veri dönemi: Ara 2024/);
    assert.doesNotMatch(meta, /risk_birim|veri_donemi|\bTL\b|Not:|Firma sayısı|—|2024-12-31/);
    assert.equal(await page.locator('#kmr-period-range').innerText(), 'Eki 2024 – Ara 2024');
  });
  await page.close();
  assert.deepEqual(errors, []);
});

test('firm detail, charts and key figures tell the truth', async (t) => {
  const { html, rows } = turkishPage();
  const { page, errors } = await openReady(html);
  await page.click('#kmr-show-all');
  await waitDisplayed(page, rows.length);
  const selectMuta = async (muta) => {
    await search(page, String(muta));
    await waitDisplayed(page, 1);
    await page.click('.ag-row[row-index="0"] [col-id="segment"]');
  };

  await t.test('score history: fixed integer axis 1–10 with YI marked', async () => {
    await selectMuta(103);  // scores 1, 1, 1: a flat line, not a spike
    await page.waitForSelector('#kmr-detail .kmr-axis-y');
    const ticks = await page.locator('#kmr-detail svg').first().locator('.kmr-axis-y .tick text').allTextContents();
    assert.ok(ticks.includes('1') && ticks.includes('10') && ticks.includes('YI'), ticks.join(' '));
    assert.ok(ticks.every((s) => s === 'YI' || /^\d+$/.test(s)), `integer ticks: ${ticks.join(' ')}`);
    await selectMuta(101);  // 1, 3, YI
    await page.waitForSelector('#kmr-detail .kmr-yi-point');
  });

  await t.test('an unscored firm gets a message, not an empty axis', async () => {
    await selectMuta(104);
    await page.waitForSelector('#kmr-detail .kmr-no-score');
    assert.equal(await page.locator('#kmr-detail .kmr-axis-y').count(), 1, 'only the risk chart has an axis');
  });

  await t.test('bands and flows add up to the firm count, unscored firms named; periods named', async () => {
    await page.click('#kmr-clear-filters');
    await waitDisplayed(page, rows.length);
    await page.waitForFunction(() => document.querySelectorAll('#kmr-bands rect.kmr-band-bar').length > 0);
    const bars = await page.locator('#kmr-bands rect.kmr-band-bar title').allTextContents();
    const sum = bars.reduce((s, b) => s + Number(b.replace(/.*: ([\d.]+) firma$/, '$1').replace(/\./g, '')), 0);
    assert.equal(sum, rows.length);
    assert.ok(bars.some((b) => /^Skorsuz: 2 firma$/.test(b)), bars.join(' | '));
    const flows = await page.locator('#kmr-sankey path.kmr-sankey-link title').allTextContents();
    assert.equal(flows.reduce((s, f) => s + Number(f.replace(/.*: ([\d.]+) firma$/, '$1').replace(/\./g, '')), 0), rows.length);
    assert.ok(flows.every((f) => /\(Kas 2024\) → .*\(Ara 2024\)/.test(f)), flows.join(' | '));
    assert.match(await page.locator('#kmr-sankey').innerText(), /Kas 2024/);
  });

  await t.test('the risk total says it adds rounded amounts', async () => {
    const card = page.locator('[data-kpi="risk"]');
    assert.match(await card.innerText(), /yuvarlanmış/);
    assert.equal(await kpi(page, 'risk'), 5000 + 2 + 2 + 0.9 + 3 + 2 + 1235, 'whole millions, ties to even');
  });
  await page.close();
  assert.deepEqual(errors, []);
});

test('at 800 px the selected firm opens on screen', async () => {
  const { html } = turkishPage();
  const { page, errors } = await openReady(html, { viewport: { width: 800, height: 700 } });
  await page.click('.ag-row[row-index="1"] [col-id="unvan"]');
  const detail = page.locator('#kmr-detail');
  await detail.locator('dl').waitFor();
  const box = await detail.boundingBox();
  assert.ok(box && box.y >= 0 && box.y < 700 && box.height > 100, `detail at ${JSON.stringify(box)}`);
  const dt = await detail.locator('dl dd').first().boundingBox();
  assert.ok(dt.y + dt.height <= 700, 'the firm\'s MUTA is inside the screen');
  // The selected row is not hidden under the detail: the page scrolls it into sight above.
  await page.waitForFunction(() => {
    const row = document.querySelector('#kmr-grid .ag-row-selected');
    const top = document.getElementById('kmr-detail').getBoundingClientRect().top;
    return row && row.getBoundingClientRect().top >= 0 && row.getBoundingClientRect().bottom <= top;
  }, null, { timeout: 5000 }).catch(() => {});
  const sel = await page.locator('#kmr-grid .ag-row-selected').first().boundingBox();
  const top = (await detail.boundingBox()).y;
  assert.ok(sel && sel.y >= 0 && sel.y + sel.height <= top, `selected row ${JSON.stringify(sel)} above the detail at ${top}`);
  assert.equal(await page.locator('#kmr-detail dd').first().innerText(), await page.locator('#kmr-grid .ag-row-selected [col-id="muta"]').first().innerText());
  await page.click('#kmr-detail-close');
  assert.ok(!(await detail.isVisible()));
  await page.close();
  assert.deepEqual(errors, []);
});

/** WCAG contrast ratio of two CSS rgb() colours. */
function contrast(fg, bg) {
  const lum = (c) => {
    const [r, g, b] = c.match(/[\d.]+/g).slice(0, 3).map(Number).map((v) => {
      v /= 255;
      return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4;
    });
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
  };
  const [a, b] = [lum(fg), lum(bg)].sort((x, y) => y - x);
  return (a + 0.05) / (b + 0.05);
}

test('every text is readable and Turkish', async (t) => {
  const { html } = turkishPage();
  const { page, errors } = await openReady(html);
  await t.test('the primary button keeps its text on hover', async () => {
    await page.hover('#kmr-show-all');
    await page.waitForTimeout(50);
    const c = await page.locator('#kmr-show-all').evaluate((e) => ({ fg: getComputedStyle(e).color, bg: getComputedStyle(e).backgroundColor }));
    assert.ok(contrast(c.fg, c.bg) >= 4.5, `contrast ${contrast(c.fg, c.bg).toFixed(2)} of ${c.fg} on ${c.bg}`);
  });
  await t.test('no English text of the grid: overlays, filters, screen-reader hints', async () => {
    await search(page, 'xyzzy-yok');
    await waitDisplayed(page, 0);
    await page.waitForSelector('.ag-overlay-no-rows-center, .ag-overlay-no-rows-wrapper, .ag-overlay');
    assert.match(await page.locator('.ag-overlay').innerText(), /Eşleşen firma yok|Gösterilecek satır yok/);
    await page.click('.ag-header-cell[col-id="unvan"] .ag-header-cell-filter-button');
    await page.locator('.ag-filter').waitFor();
    const english = ['No Matching Rows', 'No Rows To Show', 'Press ENTER', 'Press CTRL', 'Press ALT', 'Press Space',
                     'Filter...', 'Contains', 'Equals', 'Begins with', 'Column Filter', 'Filter Input', 'Filtering operator',
                     'Open Filter Menu', 'Loading...', 'Reset', 'Apply', 'Clear', 'Row '];
    const found = await page.evaluate((words) => {
      const texts = [document.body.innerText];
      document.querySelectorAll('*').forEach((e) => {
        for (const a of ['aria-label', 'aria-description', 'title', 'placeholder']) if (e.getAttribute(a)) texts.push(e.getAttribute(a));
      });
      document.querySelectorAll('.ag-aria-description-container, [id^="ag-"]').forEach((e) => texts.push(e.textContent));
      const all = texts.join('\n');
      return words.filter((w) => all.includes(w));
    }, english);
    assert.deepEqual(found, []);
    await page.keyboard.press('Escape');
  });
  await page.close();
  assert.deepEqual(errors, []);
});

test('loading: progress that moves, a word on the waiting button, then data-state="ready"', async () => {
  const dir = join(OUT, 'sb60k');
  generate(60000, dir);
  const html = renderer.render(join(dir, 'sample_scoreboard.json'), join(OUT, 'dashboard_60k.html'), ['--chunk-size', '4000']);
  const page = await browser.context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  // Records the status line and the "show all" button on every frame while the page loads.
  await page.addInitScript(() => {
    window.kmrSeen = [];
    const look = () => {
      const s = document.getElementById('kmr-load-status'), b = document.getElementById('kmr-show-all');
      if (s && b) {
        const last = window.kmrSeen[window.kmrSeen.length - 1];
        const now = { status: s.textContent, button: b.textContent, disabled: b.disabled, title: b.title, state: document.body.dataset.state };
        if (!last || last.status !== now.status || last.state !== now.state) window.kmrSeen.push(now);
      }
      if (!document.body || document.body.dataset.state !== 'ready') requestAnimationFrame(look);
    };
    requestAnimationFrame(look);
  });
  await page.goto(pathToFileURL(html).href, { waitUntil: 'commit' });
  await page.waitForSelector('body[data-state="ready"]', { timeout: 120000 });
  const seen = await page.evaluate(() => window.kmrSeen);
  const progress = [...new Set(seen.filter((s) => /^Yükleniyor: [\d.]+ \/ 60\.000 firma/.test(s.status)).map((s) => s.status))];
  assert.ok(progress.length >= 3, `progress moved: ${progress.join(' | ')}`);
  const counts = progress.map((s) => Number(s.match(/^Yükleniyor: ([\d.]+)/)[1].replace(/\./g, '')));
  assert.deepEqual(counts, [...counts].sort((a, b) => a - b), 'the count only grows');
  const waiting = seen.find((s) => s.state === 'loading');
  assert.ok(waiting && waiting.disabled && /yükleniyor/i.test(waiting.button) && waiting.title.length > 0, JSON.stringify(waiting));
  assert.equal(await page.evaluate(() => window.kmrDashboard.store.n), 60000);
  assert.equal(await page.locator('#kmr-load-status').innerText(), '');
  assert.ok(!(await page.locator('#kmr-show-all').isDisabled()));
  await page.close();
  assert.deepEqual(errors, []);
});

test('everything filters together', async (t) => {
  const { html, rows } = turkishPage();
  const { page, errors } = await openReady(html);
  const kpiValue = (id) => kpi(page, id);

  await t.test('a key-figure card filters the grid and the other figures follow; "Firma" clears', async () => {
    await page.click('[data-kpi="_hizli_yukselen"]');
    await waitDisplayed(page, 2);
    assert.deepEqual((await displayedMutas(page)).sort(), ['101', '103']);
    await page.waitForFunction(() => document.querySelector('[data-kpi="firms"] .kmr-kpi-value').textContent === '2');
    assert.equal(await kpiValue('risk'), 5002);
    await page.click('[data-kpi="firms"]');
    await waitDisplayed(page, 3);
    assert.equal(await kpiValue('firms'), rows.length);
  });

  await t.test('a band bar filters the latest score', async () => {
    await page.click('#kmr-bands rect.kmr-band-bar[data-band="Yüksek"]');
    await waitDisplayed(page, 2);
    assert.deepEqual((await displayedMutas(page)).sort(), ['102', '106']);
    await page.click('#kmr-bands rect.kmr-band-bar[data-band="Yüksek"]');
    await waitDisplayed(page, 3);
    await page.click('#kmr-bands rect.kmr-band-bar[data-band="YI"]');
    await waitDisplayed(page, 1);
    assert.deepEqual(await displayedMutas(page), ['101']);
    await page.click('#kmr-clear-filters');
  });

  await t.test('a Sankey flow filters both periods', async () => {
    await page.waitForSelector('#kmr-sankey path.kmr-sankey-link');
    const flow = page.locator('#kmr-sankey path.kmr-sankey-link', { has: page.locator('title', { hasText: /^Düşük \(Kas 2024\) → Yüksek/ }) });
    await flow.dispatchEvent('click');
    await waitDisplayed(page, 1);
    assert.deepEqual(await displayedMutas(page), ['102']);
    await page.click('#kmr-clear-filters');
  });

  await t.test('the region summary filters a region, then lists its branches', async () => {
    const ankara = page.locator('#kmr-summary tbody tr', { hasText: 'Ankara Bölge' });
    // The summary is drawn again after the filters of the step before were cleared.
    await page.waitForFunction(() => [...document.querySelectorAll('#kmr-summary tbody tr')]
      .some((r) => /Ankara Bölge\s+3\s/.test(r.innerText)));
    assert.match(await ankara.innerText(), /Ankara Bölge\s+3\s+1\.240,0\s+0/);
    await ankara.click();
    await waitDisplayed(page, 3);
    assert.deepEqual((await displayedMutas(page)).sort(), ['102', '105', '107']);
    const branches = await page.locator('#kmr-summary tbody tr td:first-child').allInnerTexts();
    assert.deepEqual(branches.sort(), ['Ulus Şube', 'Çankaya Şube'].sort());
    await page.locator('#kmr-summary tbody tr', { hasText: 'Ulus Şube' }).click();
    await waitDisplayed(page, 1);
    assert.deepEqual(await displayedMutas(page), ['105']);
    await page.click('#kmr-clear-filters');
    await waitDisplayed(page, 3);
  });

  await t.test('choice lists in Turkish order; the branch list narrows to the chosen region', async () => {
    await page.evaluate(() => window.kmrDashboard.api.setFilterModel({ bolge: { values: [1] } }));  // B2 (Ankara)
    await page.click('#kmr-show-all');
    await page.evaluate(() => window.kmrDashboard.api.ensureColumnVisible('sube'));
    await page.click('.ag-header-cell[col-id="sube"] .ag-header-cell-filter-button');
    const labels = page.locator('[data-choice-filter="sube"] .kmr-choice-list label');
    await labels.first().waitFor();
    const visible = [];
    for (const l of await labels.all()) if (await l.isVisible()) visible.push(await l.innerText());
    assert.deepEqual(visible, ['Çankaya Şube', 'Ulus Şube', '(boş)']);
    await page.keyboard.press('Escape');
    await page.evaluate(() => window.kmrDashboard.api.ensureColumnVisible('bolge'));
    await page.click('.ag-header-cell[col-id="bolge"] .ag-header-cell-filter-button');
    const regions = await page.locator('[data-choice-filter="bolge"] .kmr-choice-list label').allInnerTexts();
    assert.deepEqual(regions, ['Ankara Bölge', 'Çorum Bölge', 'İstanbul Bölge', '(boş)']);
    await page.keyboard.press('Escape');
    await page.click('#kmr-clear-filters');
    await page.click('#kmr-show-all');
  });

  await page.close();
  assert.deepEqual(errors, []);
});

test('the view lives in the address and opens as it was', async () => {
  const { html } = turkishPage();
  const { page, errors } = await openReady(html);
  await search(page, 'kobi');
  await page.evaluate(() => window.kmrDashboard.api.setFilterModel({ son_risk: { filterType: 'number', type: 'greaterThanOrEqual', filter: 2 } }));
  await page.evaluate(() => window.kmrDashboard.api.applyColumnState({ state: [{ colId: 'kmr202412', sort: 'desc' }], defaultState: { sort: null } }));
  await waitDisplayed(page, 3);
  await page.click('.ag-row[row-index="2"] [col-id="unvan"]');
  await page.waitForFunction(() => /sel=106/.test(location.hash));
  const hash = await page.evaluate(() => location.hash);
  const before = await displayedMutas(page);
  assert.deepEqual(before, ['101', '102', '106']);
  await page.close();

  const again = await openReady(html, { hash });
  assert.equal(await again.page.inputValue('#kmr-search'), 'kobi');
  assert.deepEqual(await displayedMutas(again.page), before);
  assert.deepEqual(await again.page.evaluate(() => window.kmrDashboard.api.getSelectedRows().map((r) => r.i)),
                   await again.page.evaluate(() => [window.kmrDashboard.store.muta.indexOf(106)]));
  assert.match(await again.page.locator('#kmr-detail dl').innerText(), /Işık Enerji/);
  await again.page.close();
  assert.deepEqual(errors.concat(again.errors), []);
});

test('keyboard: the detail follows the focus, Enter selects', async () => {
  const { html } = turkishPage();
  const { page, errors } = await openReady(html);
  await page.click('.ag-row[row-index="0"] [col-id="unvan"]');
  await page.keyboard.press('ArrowDown');
  await page.waitForFunction(() => {
    const c = window.kmrDashboard.api.getFocusedCell();
    const unvan = c && window.kmrDashboard.store.unvan[window.kmrDashboard.api.getDisplayedRowAtIndex(c.rowIndex).data.i];
    const detail = document.querySelector('#kmr-detail dl');  // absent while the detail is being drawn
    return c && c.rowIndex === 1 && detail !== null && detail.innerText.includes(unvan);
  });
  assert.equal(await page.evaluate(() => window.kmrDashboard.api.getFocusedCell().rowIndex), 1);
  assert.notEqual(await page.evaluate(() => window.kmrDashboard.api.getSelectedNodes()[0].rowIndex), 1, 'focus alone does not select');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => window.kmrDashboard.api.getSelectedRows().length === 1 &&
    window.kmrDashboard.api.getSelectedNodes()[0].rowIndex === window.kmrDashboard.api.getFocusedCell().rowIndex);
  await page.close();
  assert.deepEqual(errors, []);
});

test('a trending row shows its firm in the grid', { skip: !renderer.viaKemora && 'needs kemora render' }, async () => {
  const { page, errors } = await openReady(join(OUT, 'dashboard_trending.html'));
  const row = page.locator('#kmr-trending-section tbody tr').nth(3);
  const muta = (await row.locator('td').first().innerText()).trim();
  await row.click();
  await waitDisplayed(page, 1);
  assert.deepEqual(await displayedMutas(page), [muta]);
  await page.waitForFunction(() => window.kmrDashboard.api.getSelectedRows().length === 1);
  await page.close();
  assert.deepEqual(errors, []);
});

test('print: key figures and the first page of the filtered table', async () => {
  const { html } = turkishPage();
  const { page, errors } = await openReady(html);
  await search(page, 'ankara');
  await waitDisplayed(page, 3);
  await page.evaluate(() => window.dispatchEvent(new Event('beforeprint')));
  await page.emulateMedia({ media: 'print' });
  assert.ok(await page.locator('#kmr-kpis').isVisible());
  assert.ok(!(await page.locator('#kmr-grid').isVisible()));
  assert.equal(await page.locator('#kmr-print table tr').count(), 4, 'a header and the three matching firms');
  // The active filters are named as a reader knows them, not by their keys.
  await page.emulateMedia({ media: 'screen' });
  await page.evaluate(() => window.kmrDashboard.api.setFilterModel({
    segment: { values: [1] }, son_risk: { filterType: 'number', type: 'greaterThanOrEqual', filter: 2.5 },
    kmr202412: { filterType: 'number', type: 'greaterThan', filter: 1e9 }, bolge: { values: [1, -1] } }));
  await page.evaluate(() => window.dispatchEvent(new Event('beforeprint')));
  const said = await page.locator('#kmr-print p').innerText();
  for (const part of ['Arama: "ankara"', 'Segment: KOBI', 'Son risk ≥ 2,5', 'KMR skor Ara 2024: YI', 'Bölge: Ankara Bölge, (boş)'])
    assert.ok(said.includes(part), `"${part}" in "${said}"`);
  assert.doesNotMatch(said, /son_risk|kmr202412|bolge:/);
  await page.evaluate(() => window.kmrDashboard.api.setFilterModel(null));
  await page.emulateMedia({ media: 'screen', colorScheme: 'dark' });
  const bg = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
  assert.ok(contrast(bg, 'rgb(255,255,255)') > 10, `dark background ${bg}`);
  // The grid's theme follows with the media query's change event, a task later.
  await page.waitForFunction(() => document.body.getAttribute('data-ag-theme-mode') === 'dark', null, { timeout: 5000 })
    .catch(async () => assert.equal(await page.evaluate(() => document.body.getAttribute('data-ag-theme-mode')), 'dark'));
  await page.close();
  assert.deepEqual(errors, []);
});

test('no request left the machine, except the popup the test asked for', () => {
  const unexpected = browser.requests.filter((r) => !r.allowed);
  assert.deepEqual(unexpected, []);
  assert.ok(browser.requests.length <= 1);
});
