// Scoreboards and rendered dashboard pages for the browser test and the page
// benchmark: bench/gen_scoreboard.py writes the scoreboard, `kemora render`
// turns it into the page.
import { spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { SOURCE_DIR } from './chromium.mjs';

export function run(cmd, args) {
  const r = spawnSync(cmd, args, { encoding: 'utf-8', maxBuffer: 64 << 20 });
  if (r.error) throw new Error(`${cmd}: ${r.error.message}`);
  if (r.status !== 0) throw new Error(`${cmd} ${args.join(' ')} exited with ${r.status}:\n${r.stdout}${r.stderr}`);
  return r.stdout;
}

/** Writes a synthetic scoreboard of `rows` firms into `dir`; returns its JSON path. */
export function generateScoreboard(python, rows, dir) {
  run(python, [join(SOURCE_DIR, 'bench', 'gen_scoreboard.py'), String(rows), dir]);
  return join(dir, 'sample_scoreboard.json');
}

/**
 * Returns the page renderer: `kemora render` when the program has that command;
 * otherwise the debugging renderer on Python's Jinja2 over the same packaged
 * template (share/kemora/templates), and `viaKemora` is false so that the
 * caller can say so.
 */
export function pageRenderer({ kemora, share, python }) {
  const viaKemora = existsSync(kemora) && spawnSync(kemora, ['render', '--help'], { encoding: 'utf-8' }).status === 0;
  const render = (json, html, options = []) => {
    if (viaKemora) run(kemora, ['render', json, '-o', html, ...options]);
    else run(python, [join(SOURCE_DIR, 'tests', 'browser', 'render_reference.py'),
                      join(share, 'templates', 'kmr_dashboard.html.j2'), json, html, ...options,
                      '--js-dir', join(share, 'js')]);
    return html;
  };
  return { viaKemora, render };
}
