// Headless Chromium for the dashboard page's browser test and page benchmark:
// Debian's /usr/bin/chromium driven by playwright-core from web/node_modules,
// in a fresh profile, with every http/https request caught before it leaves.
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const SOURCE_DIR = join(dirname(fileURLToPath(import.meta.url)), '..', '..');
export const CHROMIUM = process.env.KEMORA_CHROMIUM || '/usr/bin/chromium';

function loadPlaywright() {
  const require = createRequire(join(SOURCE_DIR, 'web', 'package.json'));
  try {
    return require('playwright-core');
  } catch (err) {
    throw new Error(`playwright-core is not installed in ${join(SOURCE_DIR, 'web', 'node_modules')}: run scripts/setup (${err.message})`);
  }
}

/**
 * Starts Chromium and returns {context, requests, close}. Every
 * http/https request of any page of the context is recorded in `requests`;
 * a request whose URL starts with one of `allowPrefixes` is answered with an
 * empty local page (a popup the page opens on purpose), every other one is
 * aborted. Nothing ever reaches the network.
 */
export async function launch({ allowPrefixes = [], viewport = { width: 1600, height: 1100 } } = {}) {
  const { chromium } = loadPlaywright();
  const profile = mkdtempSync(join(tmpdir(), 'kemora-chromium-'));
  // A persistent context is how playwright takes a profile folder of our own:
  // a new empty one on every launch.
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const requests = [];
  await context.route(/^https?:/i, async (route) => {
    const url = route.request().url();
    const allowed = allowPrefixes.some((p) => url.startsWith(p));
    requests.push({ url, allowed });
    if (allowed) await route.fulfill({ status: 200, contentType: 'text/html', body: '<!DOCTYPE html><title>ok</title>' });
    else await route.abort('blockedbyclient');
  });
  const close = async () => {
    await context.close().catch(() => {});
    rmSync(profile, { recursive: true, force: true });
  };
  return { context, requests, close };
}
