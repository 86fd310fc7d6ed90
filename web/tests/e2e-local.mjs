// The page end to end, in a network namespace of its own (e2e-local.sh makes
// it): a broker, ZELT2Service --headless on a simulated camera reached over
// the internet route (its rendezvous file names the broker), headless
// Chromium with the viewer page. Checks: live video decoded without errors,
// the camera's colour bars on the canvas, a mode button answered by the
// camera's mode; the wrong password, an unknown DID, a ninth viewer and a
// lost connection each with its message.
// Usage: node e2e-local.mjs BIN_DIR [--screenshot FILE]
import { spawn } from 'node:child_process';
import { createServer } from 'node:net';
import { mkdtempSync, writeFileSync, readFileSync, rmSync, mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchBrowser, serveStatic } from './cdp.mjs';
import { openViewerPage, checkLiveAndMode, checkRefusals } from './pagechecks.mjs';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '..');
const bin = resolve(process.argv[2] || 'build/bin');
const shotAt = process.argv.indexOf('--screenshot');
const screenshot = shotAt > 0 ? resolve(process.argv[shotAt + 1]) : null;
const work = mkdtempSync(join(process.env.ZELT2_WEB_TMP || tmpdir(), 'zelt2-web-e2e-'));
const did = `WEB-E2E-${process.pid}`;
const password = 'web-e2e-pass';
const children = [];
const log = [];
const say = (s) => { log.push(s); if (process.env.ZELT2_WEB_VERBOSE) process.stderr.write(s); };

function start(name, cmd, args, env = {}) {
  const child = spawn(cmd, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
  const out = [];
  // ZELT2_WEB_TRACE: each line as it came, with when it came (the trace of the first picture).
  const take = (d) => out.push(process.env.ZELT2_WEB_TRACE ? String(d).replace(/^(?=.)/gm, `@${Date.now()} `) : String(d));
  child.stdout.on('data', take);
  child.stderr.on('data', take);
  child.on('exit', (code, signal) => out.push(`[${name} ended: ${code ?? signal}]\n`));
  children.push({ name, child, out });
  return { child, text: () => out.join('') };
}

function stopAll() {
  for (const { child } of children) if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
}
process.on('exit', stopAll);
for (const s of ['SIGINT', 'SIGTERM']) process.on(s, () => { stopAll(); process.exit(1); });

const freePort = () => new Promise((r) => {
  const s = createServer();
  s.listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => r(p)); });
});
const until = async (what, fn, limitMs) => {
  const end = Date.now() + limitMs;
  while (Date.now() < end) { if (await fn()) return; await new Promise((r) => setTimeout(r, 100)); }
  throw new Error(`timed out: ${what}`);
};

const failures = [];
const check = (cond, what) => { if (!cond) failures.push(what); say(`${cond ? 'ok  ' : 'FAIL'} ${what}\n`); };

let browser, server, pageForState;
try {
  // The broker: MQTT for the service, WebSocket for the page.
  const [mqttPort, wsPort, discoveryPort] = await Promise.all([freePort(), freePort(), freePort()]);
  writeFileSync(join(work, 'mosquitto.conf'), [
    'per_listener_settings false', 'allow_anonymous true', 'persistence false',
    `listener ${mqttPort} 127.0.0.1`, `listener ${wsPort} 127.0.0.1`, 'protocol websockets', ''].join('\n'));
  const broker = start('mosquitto', 'mosquitto', ['-c', join(work, 'mosquitto.conf')]);

  const init = await new Promise((r) => {
    const c = spawn(join(bin, 'pppp_tool'), ['init-string', '--discovery-port', String(discoveryPort)]);
    let s = '';
    c.stdout.on('data', (d) => { s += d; });
    c.on('exit', () => r(s.trim()));
  });
  mkdirSync(join(work, 'registry'));
  const rendezvous = join(work, 'rendezvous.conf');
  writeFileSync(rendezvous, `broker = mqtt://127.0.0.1:${mqttPort}\nuser = ${did}\npassword = x\n`, { mode: 0o600 });
  const service = start('service', join(bin, 'ZELT2Service'),
    // Not for this host only: such a device is not offered on the internet route.
    ['--headless', '--did', did, '--camera', '0'],
    { ZELT2_PASSWORD: password, ZELT2_PPPP_INIT: init, ZELT2_SIM_CAMERAS: 'Web Camera',
      ZELT2_REGISTRY_DIR: join(work, 'registry'), ZELT2_TRACE: '1', QT_QPA_PLATFORM: 'offscreen',
      ZELT2_RENDEZVOUS: rendezvous });

  server = await serveStatic(root);
  browser = await launchBrowser({
    log: say,
    args: ['--disable-features=WebRtcHideLocalIpsWithMdns', '--disable-background-timer-throttling',
           '--disable-renderer-backgrounding', '--disable-backgrounding-occluded-windows'],
  });
  await until('the broker', () => /listen socket on port/i.test(broker.text()) || broker.text().includes(String(wsPort)), 5000).catch(() => {});
  const wsBroker = `ws://127.0.0.1:${wsPort}/`;

  const page = await openViewerPage(browser, `${server.url}/`);
  pageForState = page;
  const ctx = { page, check, say, until, screenshot, password, did, routeRe: /^direct$/,
                serviceText: () => service.text(),
                fields: { broker: wsBroker, viewer: 'web.tester', 'viewer-password': 'x', did, 'device-password': password } };
  await checkLiveAndMode(ctx);
  if (process.env.ZELT2_WEB_TRACE) {
    // The device's side of the first picture, in ms from the Watch press.
    const lines = service.text().split('\n').map((l) => l.match(/^@(\d+) (.*)/)).filter(Boolean)
      .map(([, at, text]) => [Number(at) - ctx.watchedAt, text]).filter(([ms]) => ms >= 0 && ms < 3000);
    say(lines.map(([ms, text]) => `device ${String(ms).padStart(5)} ms ${text}\n`).join(''));
  }
  await checkRefusals(ctx);
  const { state, watch, fields } = ctx;
  let s;

  // Eight viewers watch already: the ninth, the page, is turned away.
  const eight = [];
  for (let i = 0; i < 8; i++) {
    eight.push(start(`viewer${i}`, join(bin, 'ZELT2Viewer'), ['--did', did, '--this-host-only', '--quiet', '--duration', '60'],
                     { ZELT2_PASSWORD: password, ZELT2_PPPP_INIT: init }));
  }
  const online = () => Number(((service.text().match(/Viewers online: \d+/g) || ['0']).pop().match(/\d+/) || [0])[0]);
  await until('eight viewers', () => online() === 8, 20000);
  await watch(fields);
  await until('the turn-away', async () => (await state()).status === 'error', 20000).catch(() => {});
  s = await state();
  check(/busy/.test(s.message), `a ninth viewer: "${s.message}"`);
  for (const v of eight) v.child.kill('SIGTERM');
  await until('the eight gone', () => online() === 0, 15000).catch(() => {});

  // The service goes away while watching.
  await watch(fields);
  await until('live again', async () => (await state()).status === 'live', 30000);
  service.child.kill('SIGTERM');
  await until('the loss', async () => (await state()).status === 'error', 15000).catch(() => {});
  s = await state();
  check(/connection to the device was lost/.test(s.message), `service stopped: "${s.message}"`);
} catch (e) {
  failures.push(e.message);
  say(`FAIL ${e.message}\n`);
  if (pageForState) say(`page state: ${JSON.stringify(await pageForState.eval('window.zelt2.state').catch(() => null))}\n`);
} finally {
  if (browser) await browser.close();
  if (server) server.close();
  stopAll();
}
if (process.env.ZELT2_WEB_VERBOSE) {
  // Everything was shown as it came.
} else if (failures.length) {
  for (const { name, out } of children) say(`--- ${name}\n${out.join('').split('\n').slice(-40).join('\n')}\n`);
  // The device's route trace whole (without the candidates): what each call came to.
  const service = children.find((c) => c.name === 'service');
  if (service) {
    const route = service.out.join('').split('\n').filter((l) => /internet route: (?!gathered)/.test(l));
    say(`--- service: the internet route's trace\n${route.join('\n')}\n`);
  }
  process.stdout.write(log.join(''));
} else {
  // (and any greeting that did not reach the device, which the page answered with a fresh connection)
  process.stdout.write(log.filter((l) => /^(ok|live|screenshot|device )|greeting (held|unanswered)/.test(l)).join(''));
}
if (failures.length) {
  // Kept for a look: every process's whole output and the page's console.
  for (const { name, out } of children) writeFileSync(join(work, `${name}.log`), out.join(''));
  writeFileSync(join(work, 'test.log'), log.join(''));
  process.stdout.write(`(everything is in ${work})\n`);
} else {
  try { rmSync(work, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 }); } catch {}
}
process.exit(failures.length ? 1 : 0);
