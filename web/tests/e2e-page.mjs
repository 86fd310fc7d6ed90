// The viewer page in headless Chromium against a device somewhere else: a
// rendezvous serves the page and the broker, the service runs behind its own
// NAT (web-nat-test sets that up). Checks as pagechecks.mjs says.
// Usage: node e2e-page.mjs --page URL --did DID --viewer NAME --viewer-password-file FILE
//                          --service-log FILE --route REGEX [--screenshot FILE]
// The device password comes in ZELT2_PASSWORD.
import { readFileSync, writeFileSync } from 'node:fs';
import { launchBrowser } from './cdp.mjs';
import { openViewerPage, checkLiveAndMode, checkRefusals } from './pagechecks.mjs';

const arg = (name) => { const i = process.argv.indexOf(`--${name}`); return i > 0 ? process.argv[i + 1] : undefined; };
const password = process.env.ZELT2_PASSWORD || '';
const did = arg('did');
const failures = [];
const say = (s) => process.stdout.write(s);
const check = (cond, what) => { if (!cond) failures.push(what); say(`${cond ? 'ok  ' : 'FAIL'} ${what}\n`); };
const until = async (what, fn, limitMs) => {
  const end = Date.now() + limitMs;
  while (Date.now() < end) { if (await fn()) return; await new Promise((r) => setTimeout(r, 100)); }
  throw new Error(`timed out: ${what}`);
};

const browserLog = [];
// The rendezvous's certificate comes from a CA the test made a moment ago.
const browser = await launchBrowser({
  log: (s) => browserLog.push(s),
  args: ['--ignore-certificate-errors', '--disable-background-timer-throttling', '--disable-renderer-backgrounding'],
});
let page;
try {
  page = await openViewerPage(browser, arg('page'));
  const ctx = {
    page, check, say, until, password, did, routeRe: new RegExp(arg('route')), screenshot: arg('screenshot'),
    serviceText: () => readFileSync(arg('service-log'), 'utf8'),
    fields: { broker: '', viewer: arg('viewer'), 'viewer-password': readFileSync(arg('viewer-password-file'), 'utf8').trim(),
              did, 'device-password': password },
  };
  // The page's own default: the broker on the host that served it.
  ctx.fields.broker = await page.eval(`document.getElementById('broker').value`);
  say(`page ${arg('page')}, broker ${ctx.fields.broker}\n`);
  await checkLiveAndMode(ctx);
  await checkRefusals(ctx);
} catch (e) {
  failures.push(e.message);
  say(`FAIL ${e.message}\n`);
  if (page) say(`page state: ${JSON.stringify(await page.eval('window.zelt2 && window.zelt2.state').catch(() => null))}\n`);
} finally {
  await browser.close();
}
if (failures.length) writeFileSync(1, browserLog.filter((l) => l.startsWith('[page')).join(''));
process.exit(failures.length ? 1 : 0);
