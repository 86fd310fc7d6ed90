// The page: the form, what the viewing reports, the mode buttons.
import { Viewer, MESSAGES, hasWebCodecs } from './lib/viewer.js';
import { isValidDid } from './lib/framing.js';

const $ = (id) => document.getElementById(id);
const STORE = 'zelt2-viewer';
const SECRET_FIELDS = ['viewer-password', 'device-password'];
const PLAIN_FIELDS = ['broker', 'viewer', 'did'];

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

// Names and addresses are kept; the passwords only when the user asks.
function load() {
  let saved = {};
  try { saved = JSON.parse(localStorage.getItem(STORE) || '{}') || {}; } catch {}
  for (const f of [...PLAIN_FIELDS, ...SECRET_FIELDS]) if (typeof saved[f] === 'string') $(f).value = saved[f];
  $('remember').checked = saved.remember === true;
  if (!$('broker').value) $('broker').value = defaultBroker();
}

function save() {
  const saved = { remember: $('remember').checked };
  for (const f of PLAIN_FIELDS) saved[f] = $(f).value;
  if (saved.remember) for (const f of SECRET_FIELDS) saved[f] = $(f).value;
  try { localStorage.setItem(STORE, JSON.stringify(saved)); } catch {}
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

$('remember').addEventListener('change', save);
$('login').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const did = $('did').value.trim().toUpperCase();
  $('did').value = did;
  if (!isValidDid(did)) {
    show({ ...viewer.state, status: 'error', message: 'A DID is 1 to 20 of A-Z, 0-9, "-" and "_".' });
    return;
  }
  save();
  viewer.start({
    broker: $('broker').value.trim(),
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
