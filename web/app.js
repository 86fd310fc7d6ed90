// The page: the form, what the viewing reports, the mode buttons.
import { Viewer, MESSAGES, hasWebCodecs } from './lib/viewer.js';
import { isValidDid } from './lib/framing.js';
import { brokerProblem } from './lib/broker.js';
import { warmUp } from './lib/mqtt.js';

const $ = (id) => document.getElementById(id);
const STORE = 'zelt2-viewer';
const PLAIN_FIELDS = ['broker', 'viewer', 'did'];
// The viewer password is kept only when the user asks, and for this long from
// then; the device password never.
const REMEMBER_MS = 7 * 24 * 3600 * 1000;

const STATUS_TEXT = {
  idle: 'Not connected',
  finding: 'Finding the device…',
  connecting: 'Connecting…',
  'logging in': 'Logging in…',
  'waiting for a key frame': 'Waiting for a key frame…',
  live: 'Live',
  error: 'Stopped',
};

function defaultBroker() {
  const scheme = location.protocol === 'http:' ? 'ws:' : 'wss:';
  return `${scheme}//${location.host || 'localhost'}/`;
}

function readStore() {
  try {
    const saved = JSON.parse(localStorage.getItem(STORE) || '{}');
    return saved && typeof saved === 'object' ? saved : {};
  } catch {
    return {};
  }
}

function writeStore(saved) {
  try { localStorage.setItem(STORE, JSON.stringify(saved)); } catch {}
}

// Whether a stored viewer password is still within its time.
function stillRemembered(saved, now) {
  return typeof saved.viewerPassword === 'string' && Number.isFinite(saved.until) &&
         saved.until > now && saved.until <= now + REMEMBER_MS;
}

// Names and addresses are kept; the viewer password only when the user asks,
// until its time is up. Whatever else a store holds (passwords kept by an
// older page, a password past its time) is dropped here.
function load() {
  const saved = readStore();
  const now = Date.now();
  for (const f of PLAIN_FIELDS) if (typeof saved[f] === 'string') $(f).value = saved[f];
  const remembered = stillRemembered(saved, now);
  if (remembered) $('viewer-password').value = saved.viewerPassword;
  $('remember').checked = remembered;
  const kept = { remember: remembered };
  for (const f of PLAIN_FIELDS) if (typeof saved[f] === 'string') kept[f] = saved[f];
  if (remembered) Object.assign(kept, { viewerPassword: saved.viewerPassword, until: saved.until });
  writeStore(kept);
  if (!$('broker').value) $('broker').value = defaultBroker();
}

function save() {
  const before = readStore();
  const now = Date.now();
  const saved = { remember: $('remember').checked };
  for (const f of PLAIN_FIELDS) saved[f] = $(f).value;
  const password = $('viewer-password').value;
  if (saved.remember && password) {
    // The time runs from when the user agreed to this password being kept.
    const same = stillRemembered(before, now) && before.viewerPassword === password;
    Object.assign(saved, { viewerPassword: password, until: same ? before.until : now + REMEMBER_MS });
  }
  writeStore(saved);
}

const pagePolicy = () => {
  const meta = document.querySelector('meta[http-equiv="Content-Security-Policy"]');
  return meta ? meta.content : '';
};

// The broker's WebSocket opened ahead of Watch (mqtt.js says why), when it is one the page may use.
function warmBroker() {
  const broker = $('broker').value.trim();
  if (hasWebCodecs() && !brokerProblem(broker, location, pagePolicy())) warmUp(broker);
}

function show(state) {
  $('status').textContent = STATUS_TEXT[state.status] || state.status;
  $('fps').textContent = state.status === 'live' ? `${state.fps} fps` : '';
  $('route').textContent = state.route ? `Route: ${state.route}` : '';
  $('viewers').textContent = state.viewers ? `Viewers: ${state.viewers}` : '';
  $('message').textContent = state.message;
  $('message').hidden = !state.message;
  const loggedIn = state.status === 'waiting for a key frame' || state.status === 'live';
  for (const b of document.querySelectorAll('#modes button')) {
    b.disabled = !loggedIn;
    b.classList.toggle('active', loggedIn && state.mode === Number(b.dataset.mode));
  }
  const busy = state.status !== 'idle' && state.status !== 'error';
  if (!busy && window.zelt2.state.status !== state.status) warmBroker();
  $('connect').disabled = busy;
  $('disconnect').disabled = !busy;
  window.zelt2.state = state;
}

window.zelt2 = { state: { status: 'idle' } };
load();
const viewer = new Viewer($('video'), show);
window.zelt2.viewer = viewer;

if (!hasWebCodecs()) {
  show({ ...viewer.state, status: 'error', message: MESSAGES.noWebCodecs });
  $('connect').disabled = true;
}

warmBroker();
$('login').addEventListener('focusin', warmBroker);
$('broker').addEventListener('change', warmBroker);
$('remember').addEventListener('change', save);
$('viewer-password').addEventListener('change', () => { if ($('remember').checked) save(); });
$('login').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const did = $('did').value.trim().toUpperCase();
  $('did').value = did;
  if (!isValidDid(did)) {
    show({ ...viewer.state, status: 'error', message: 'A DID is 1 to 20 of A-Z, 0-9, "-" and "_".' });
    return;
  }
  const broker = $('broker').value.trim();
  const problem = brokerProblem(broker, location, pagePolicy());
  if (problem) {
    show({ ...viewer.state, status: 'error', message: problem });
    return;
  }
  save();
  viewer.start({
    broker,
    viewer: $('viewer').value.trim(),
    viewerPassword: $('viewer-password').value,
    did,
    devicePassword: $('device-password').value,
  });
});
$('disconnect').addEventListener('click', () => viewer.stop());
for (const b of document.querySelectorAll('#modes button')) {
  b.addEventListener('click', () => viewer.setMode(Number(b.dataset.mode)));
}
window.addEventListener('pagehide', () => viewer.stop());
