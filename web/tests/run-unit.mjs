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
  // The passwords are stored only while "remember" is ticked.
  const kept = await bare.eval(`(() => {
    const $ = (id) => document.getElementById(id);
    $('viewer-password').value = 'vpw-secret'; $('device-password').value = 'dpw-secret'; $('did').value = 'CAM-1';
    const read = () => localStorage.getItem('zelt2-viewer') || '';
    $('remember').click();
    const ticked = read();
    $('remember').click();
    const unticked = read();
    return ticked.includes('vpw-secret') && ticked.includes('dpw-secret') && !unticked.includes('secret') && unticked.includes('CAM-1');
  })()`);
  console.log(kept ? 'passwords are kept only while remembered' : 'FAILED: the remember box does not govern the stored passwords');
  if (!kept) code = 1;
  // A server that sends no content types (the broker's) still gets a working page.
  const bareServer = await serveStatic(root, { bare: true });
  const plain = await browser.openPage(`${bareServer.url}/`);
  const ran = await waitFor(plain, `window.zelt2 && window.zelt2.viewer && !document.getElementById('connect').disabled`, 10000);
  bareServer.close();
  console.log(ran ? 'the page runs from a server without content types' : 'FAILED: the page does not run from a server without content types');
  if (!ran) code = 1;
} catch (e) {
  console.log(`cannot run the tests: ${e.message}`);
} finally {
  await browser.close();
  server.close();
}
if (code !== 0) console.log(log.filter((l) => l.startsWith('[page')).join(''));
process.exit(code);
