// A headless browser driven over its DevTools pipe, and a static file server on
// loopback, for the page's tests. No dependencies beyond Node itself.
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { mkdtempSync, rmSync, readFileSync, statSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, normalize, extname } from 'node:path';

const kTypes = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
  '.json': 'application/json', '.png': 'image/png', '.bin': 'application/octet-stream',
  '.h264': 'application/octet-stream', '.svg': 'image/svg+xml',
};

export function findBrowser() {
  for (const p of [process.env.ZELT2_CHROMIUM, '/usr/bin/chromium', '/usr/bin/chromium-browser']) {
    if (p && existsSync(p)) return p;
  }
  return null;
}

// Serves `root` on 127.0.0.1 at a free port. Resolves to { url, port, http, close }.
// `bare`: no content types, as some servers (the broker's) send files.
export function serveStatic(root, { bare = false } = {}) {
  const server = createServer((req, res) => {
    const path = normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname));
    const file = join(root, path.endsWith('/') ? path + 'index.html' : path);
    if (!file.startsWith(root)) { res.writeHead(403); res.end(); return; }
    try {
      if (!statSync(file).isFile()) throw new Error('not a file');
      res.writeHead(200, bare ? {} : { 'content-type': kTypes[extname(file)] || 'application/octet-stream',
                                       'cache-control': 'no-store' });
      res.end(readFileSync(file));
    } catch {
      res.writeHead(404); res.end();
    }
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      const port = server.address().port;
      resolve({ url: `http://127.0.0.1:${port}`, port, http: server, close: () => server.close() });
    });
  });
}

// Starts the browser with its DevTools protocol on fds 3 (in) and 4 (out).
export async function launchBrowser({ binary = findBrowser(), args = [], log = () => {} } = {}) {
  const profile = mkdtempSync(join(process.env.ZELT2_WEB_TMP || tmpdir(), 'zelt2-web-'));
  const child = spawn(binary, [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-default-apps', '--disable-extensions', '--mute-audio',
    '--remote-debugging-pipe', `--user-data-dir=${profile}`, ...args, 'about:blank',
  ], { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
  child.stderr.on('data', (d) => log(String(d)));
  const toBrowser = child.stdio[3];
  const fromBrowser = child.stdio[4];
  let nextId = 1;
  const pending = new Map();
  const listeners = [];
  let buffered = Buffer.alloc(0);
  let exited = false;
  child.on('exit', () => {
    exited = true;
    for (const { reject } of pending.values()) reject(new Error('browser exited'));
    pending.clear();
  });
  fromBrowser.on('data', (chunk) => {
    buffered = Buffer.concat([buffered, chunk]);
    for (let end = buffered.indexOf(0); end >= 0; end = buffered.indexOf(0)) {
      const message = JSON.parse(buffered.subarray(0, end).toString('utf8'));
      buffered = buffered.subarray(end + 1);
      if (message.id && pending.has(message.id)) {
        const { resolve, reject } = pending.get(message.id);
        pending.delete(message.id);
        if (message.error) reject(new Error(`${message.error.message} ${message.error.data || ''}`));
        else resolve(message.result);
      } else if (message.method) {
        for (const l of listeners) l(message);
      }
    }
  });
  const send = (method, params = {}, sessionId) => new Promise((resolve, reject) => {
    if (exited) { reject(new Error('browser exited')); return; }
    const id = nextId++;
    pending.set(id, { resolve, reject });
    toBrowser.write(JSON.stringify({ id, method, params, ...(sessionId ? { sessionId } : {}) }) + '\0');
  });
  const close = async () => {
    if (!exited) {
      try { await Promise.race([send('Browser.close'), new Promise((r) => setTimeout(r, 3000))]); } catch {}
      if (!exited) child.kill('SIGKILL');
      await new Promise((r) => (exited ? r() : child.once('exit', r)));
    }
    // The browser's helpers may still be writing for a moment after it ends.
    try { rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 }); } catch {}
  };
  // A tab, attached, with its console mirrored to `log`.
  // `beforeLoad`: a script run in the page before its own.
  const openPage = async (url, { width = 1000, height = 800, beforeLoad } = {}) => {
    const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
    const page = {
      sessionId,
      send: (m, p) => send(m, p, sessionId),
      // Evaluates an expression in the page (promises awaited); returns its value.
      eval: async (expression) => {
        const r = await send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true }, sessionId);
        if (r.exceptionDetails) throw new Error(r.exceptionDetails.exception?.description || r.exceptionDetails.text);
        return r.result.value;
      },
    };
    listeners.push((m) => {
      if (m.sessionId !== sessionId) return;
      if (m.method === 'Runtime.consoleAPICalled') {
        log(`[page ${m.params.type}] ${m.params.args.map((a) => a.value ?? a.description).join(' ')}\n`);
      } else if (m.method === 'Runtime.exceptionThrown') {
        log(`[page exception] ${m.params.exceptionDetails.exception?.description || m.params.exceptionDetails.text}\n`);
      }
    });
    await page.send('Runtime.enable');
    await page.send('Page.enable');
    await page.send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: 1, mobile: false });
    if (beforeLoad) await page.send('Page.addScriptToEvaluateOnNewDocument', { source: beforeLoad });
    await page.send('Page.navigate', { url });
    return page;
  };
  return { send, close, openPage, on: (l) => listeners.push(l) };
}

// Polls `expression` in the page until it is truthy or `limitMs` passes.
export async function waitFor(page, expression, limitMs) {
  const end = Date.now() + limitMs;
  for (;;) {
    let value;
    try { value = await page.eval(expression); } catch { value = undefined; }
    if (value) return value;
    if (Date.now() > end) return value;
    await new Promise((r) => setTimeout(r, 100));
  }
}
