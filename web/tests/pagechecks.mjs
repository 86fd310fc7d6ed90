// What the end-to-end tests check on the viewer page, wherever the device,
// the broker and the page come from.
import { writeFileSync } from 'node:fs';
import { waitFor } from './cdp.mjs';

export async function openViewerPage(browser, url) {
  const page = await browser.openPage(url, { width: 900, height: 860 });
  if (!(await waitFor(page, 'window.zelt2 && window.zelt2.viewer', 15000))) throw new Error(`the page did not load from ${url}`);
  return page;
}

// Adds state() and watch(fields) to ctx: { page, fields, check, say, until,
// screenshot, password, did, routeRe, serviceText }.
function helpers(ctx) {
  const { page } = ctx;
  ctx.state = () => page.eval('window.zelt2.state');
  // The form filled in as a user does it (each field changed), and Watch pressed.
  ctx.fill = (fields) => page.eval(`(() => {
    const f = ${JSON.stringify(fields)};
    for (const [id, v] of Object.entries(f)) {
      const e = document.getElementById(id);
      e.dispatchEvent(new FocusEvent('focusin', { bubbles: true }));
      e.value = v;
      e.dispatchEvent(new Event('change', { bubbles: true }));
    }
    return true;
  })()`);
  ctx.press = () => page.eval(`(() => {
    document.getElementById('disconnect').click();
    document.getElementById('connect').click();
    return true;
  })()`);
  ctx.watch = async (fields) => { await ctx.fill(fields); await ctx.press(); };
}

// Live video without decoder errors, the status line, the colour bars, nothing
// secret kept; then a mode button that reaches the camera.
export async function checkLiveAndMode(ctx) {
  helpers(ctx);
  const { page, check, say, until, state, fill, press, fields } = ctx;
  // The device answers on the internet route only once it says it is present
  // there (its media stack can take seconds to start on a busy machine), and
  // the page finds it once the broker has that word; meanwhile the user fills
  // in the form.
  await fill(fields);
  await until('the device present on the internet route',
              () => /internet route: \S+ present/.test(ctx.serviceText()) &&
                    /rendezvous: presence "1" sent to the broker/.test(ctx.serviceText()), 60000);
  // A user takes longer to press Watch than the page to open its broker's socket.
  await until('the broker\'s socket', () => page.eval(`import('./lib/mqtt.js').then((m) => m.warmState(${JSON.stringify(fields.broker)}) === 'open')`), 5000)
    .catch(() => say('the page opened no socket to the broker before Watch\n'));
  const t0 = ctx.watchedAt = Date.now();
  await press();
  await until('live video', async () => (await state()).framesDecoded >= 30, 40000);
  let s = await state();
  say(`live after ${Date.now() - t0} ms; status reached at (ms) ${JSON.stringify(s.timings)}\n`);
  check(s.status === 'live' && s.decodeErrors === 0, `live, ${s.framesDecoded} frames decoded, ${s.decodeErrors} decoder errors`);
  check(s.viewers === 1, `viewer count ${s.viewers}`);
  await until('the route', async () => (await state()).route, 3000).catch(() => {});
  s = await state();
  check(ctx.routeRe.test(s.route), `route "${s.route}"`);
  check(s.fps >= 10, `${s.fps} fps`);
  const kept = await page.eval(`location.href + ' ' + localStorage.getItem('zelt2-viewer')`);
  check(!kept.includes(ctx.password) && kept.includes(ctx.did), 'no password in the address or the storage unless remembered');
  const bars = await page.eval(`(() => {
    const c = document.getElementById('video');
    const g = c.getContext('2d');
    const out = [];
    for (let i = 0; i < 7; i++) out.push(Array.from(g.getImageData(Math.floor((i + 0.5) * c.width / 7), Math.floor(c.height * 0.3), 1, 1).data.slice(0, 3)));
    return { width: c.width, height: c.height, out };
  })()`);
  // The simulated camera's bars: white, yellow, cyan, green, magenta, red, blue.
  const expected = [[255, 255, 255], [255, 255, 0], [0, 255, 255], [0, 255, 0], [255, 0, 255], [255, 0, 0], [0, 0, 255]];
  const near = bars.out.every((px, i) => px.every((v, k) => Math.abs(v - expected[i][k]) <= 48));
  check(near && bars.width >= 160, `colour bars on a ${bars.width}x${bars.height} canvas: ${JSON.stringify(bars.out)}`);
  if (ctx.screenshot) {
    const shot = await page.send('Page.captureScreenshot', { format: 'png', clip: { x: 0, y: 0, width: 900, height: 540, scale: 1 } });
    writeFileSync(ctx.screenshot, Buffer.from(shot.data, 'base64'));
    say(`screenshot: ${ctx.screenshot}\n`);
  }

  // A mode button reaches the camera: the camera is sent the mode and the service reports it back.
  const before = ctx.serviceText().split('\n').length;
  const sentSince = () => /SET_CUR/.test(ctx.serviceText().split('\n').slice(before).join('\n'));
  await page.eval(`document.querySelector('#modes button[data-mode="2"]').click(), true`);
  await until('the mode report', async () => (await state()).mode === 2, 5000).catch(() => {});
  s = await state();
  check(s.mode === 2, `mode ${s.mode} after the mode 2 button`);
  await until('the camera command', sentSince, 3000).catch(() => {});
  check(sentSince(), 'the camera was sent the mode');
}

// The wrong password and a DID nobody serves, each with its message.
export async function checkRefusals(ctx) {
  const { check, until, state, watch, fields } = ctx;
  await watch({ ...fields, 'device-password': 'not-the-password' });
  await until('the refusal', async () => (await state()).status === 'error', 20000).catch(() => {});
  let s = await state();
  check(/Wrong device password/.test(s.message), `wrong password: "${s.message}"`);

  await watch({ ...fields, did: 'NO-SUCH-DEVICE' });
  await until('not found', async () => (await state()).status === 'error', 10000).catch(() => {});
  s = await state();
  check(/Device not found/.test(s.message), `unknown DID: "${s.message}"`);
}
