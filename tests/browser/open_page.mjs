// Opens a rendered dashboard in headless Chromium as a user would: waits for
// every chunk, presses "show all", checks the grid holds the expected number
// of firms, that nothing went to the console as an error and that no network
// request was made, and saves a screenshot.
//
//   node tests/browser/open_page.mjs PAGE.html --rows N [--screenshot OUT.png]
import { strict as assert } from 'node:assert';
import { pathToFileURL } from 'node:url';
import { launch } from './chromium.mjs';

const args = process.argv.slice(2);
const page_path = args[0];
const option = (name) => { const i = args.indexOf(name); return i < 0 ? undefined : args[i + 1]; };
const expected_rows = Number(option('--rows'));
const screenshot = option('--screenshot');

const { context, requests, close } = await launch();
try {
  const page = await context.newPage();
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => errors.push(`exception: ${e.message}`));
  await page.goto(pathToFileURL(page_path).href);
  await page.waitForFunction(() => window.kmrDashboard && window.kmrDashboard.state.done, null, { timeout: 120000 });
  await page.click('#kmr-show-all');
  await page.waitForFunction((n) => window.kmrDashboard.api.getDisplayedRowCount() === n, expected_rows,
                              { timeout: 60000 });
  const shown = (await page.textContent('#kmr-firm-count')).replace(/\D/g, '');
  assert.equal(Number(shown), expected_rows, 'the header names every firm');
  await page.click('.ag-row[row-index="0"]');
  await page.waitForTimeout(300);
  if (screenshot) await page.screenshot({ path: screenshot });
  assert.deepEqual(errors, [], 'no console error');
  assert.deepEqual(requests, [], 'no network request');
  console.log(`page OK: ${expected_rows} firms, no console error, no network request`);
} finally {
  await close();
}
