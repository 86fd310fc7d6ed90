// Runs the page's protocol tests in headless Chromium. Exit 0 when they pass,
// 1 when one fails, 77 (skipped) when there is no browser.
import { dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { findBrowser, launchBrowser, serveStatic, waitFor } from './cdp.mjs';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '..');
if (!findBrowser()) {
  console.log('skipped: chromium is not installed (scripts/setup installs it)');
  process.exit(77);
}
const log = [];
const server = await serveStatic(root);
const browser = await launchBrowser({ log: (s) => log.push(s) });
let code = 1;
try {
  const page = await browser.openPage(`${server.url}/tests/unit.html`);
  const done = await waitFor(page, 'window.testResults && window.testResults.done', 60000);
  if (!done) {
    console.log('the tests did not finish within 60 s');
  } else {
    const r = await page.eval('window.testResults');
    console.log(`${r.passed} passed, ${r.failures.length} failed`);
    for (const f of r.failures) console.log(`FAILED ${f}`);
    code = r.failures.length === 0 && r.passed > 0 ? 0 : 1;
  }
  // The page in a browser without WebCodecs says so and offers nothing to press.
  const bare = await browser.openPage(`${server.url}/`, { beforeLoad: 'delete window.VideoDecoder;' });
  const said = await waitFor(bare, `document.getElementById('connect').disabled &&
                                    /cannot decode the video/.test(document.getElementById('message').textContent)`, 10000);
  console.log(said ? 'the page without WebCodecs says so' : 'FAILED: the page without WebCodecs does not say so');
  if (!said) code = 1;
  // The device password is never stored; the viewer password only while
  // "remember" is ticked, for at most 7 days; what an older page stored, or a
  // password past its time, is gone when the page loads.
  const kept = await bare.eval(`(() => {
    const $ = (id) => document.getElementById(id);
    $('viewer-password').value = 'vpw-secret'; $('device-password').value = 'dpw-secret'; $('did').value = 'CAM-1';
    const read = () => localStorage.getItem('zelt2-viewer') || '';
    $('remember').click();
    const ticked = JSON.parse(read());
    $('remember').click();
    const unticked = read();
    const days = (ticked.until - Date.now()) / 86400000;
    return ticked.viewerPassword === 'vpw-secret' && days > 6.9 && days <= 7 && !JSON.stringify(ticked).includes('dpw') &&
           !unticked.includes('secret') && unticked.includes('CAM-1');
  })()`);
  console.log(kept ? 'only the viewer password is kept, while remembered, for 7 days' : 'FAILED: the stored passwords do not follow the rules');
  if (!kept) code = 1;
  const old = [
    { did: 'CAM-2', remember: true, 'viewer-password': 'old-vpw', 'device-password': 'old-dpw' },
    { did: 'CAM-2', remember: true, viewerPassword: 'late-vpw', until: Date.now() - 1000 },
    { did: 'CAM-2', remember: true, viewerPassword: 'far-vpw', until: Date.now() + 30 * 86400000 },
  ];
  for (const stored of old) {
    const p = await browser.openPage(`${server.url}/`, {
      beforeLoad: `if (location.pathname === '/') localStorage.setItem('zelt2-viewer', ${JSON.stringify(JSON.stringify(stored))});` });
    const scrubbed = await waitFor(p, `window.zelt2 && (() => {
      const s = localStorage.getItem('zelt2-viewer') || '';
      return !/vpw|dpw/.test(s) && s.includes('CAM-2') && document.getElementById('viewer-password').value === '' &&
             !document.getElementById('remember').checked;
    })()`, 10000);
    console.log(scrubbed ? `dropped on load: ${Object.keys(stored).join(' ')}` : `FAILED: kept on load: ${JSON.stringify(stored)}`);
    if (!scrubbed) code = 1;
  }
  // A server that sends no content types gets a page that says why it cannot run:
  // its policy allows no scripts but its own files, so nothing runs them another way.
  const bareServer = await serveStatic(root, { bare: true });
  const plain = await browser.openPage(`${bareServer.url}/`);
  const said2 = await waitFor(plain, `!window.zelt2 && document.getElementById('connect').disabled &&
                                      /text.javascript/.test(document.getElementById('message').textContent)`, 10000);
  bareServer.close();
  console.log(said2 ? 'the page from a server without content types says why it does not run' :
                      'FAILED: the page from a server without content types does not say why it does not run');
  if (!said2) code = 1;
} catch (e) {
  console.log(`cannot run the tests: ${e.message}`);
} finally {
  await browser.close();
  server.close();
}
if (code !== 0) console.log(log.filter((l) => l.startsWith('[page')).join(''));
process.exit(code);
