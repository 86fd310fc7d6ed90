// The viewer's side of the internet route: meeting the device by its DID
// through the MQTT broker, then a WebRTC data channel the device offers.
//
// Topics (the last level is always the sender, as the broker checked it):
//   pppp/d/<DID>/<viewer>   to the device, from this viewer
//   pppp/v/<viewer>/<DID>   to this viewer, from the device
//   pppp/p/<DID>            the device's presence, retained: "1" or "0"
import { MqttClient } from './mqtt.js';
import { channelBinding } from './binding.js';
import { PROTOCOL_VERSION } from './framing.js';

export const CHANNEL_OPEN_LIMIT_MS = 15000;
// How long a retained presence may take to follow the subscription's answer.
export const PRESENCE_WAIT_MS = 2000;
export const MAX_SIGNAL_BYTES = 65536;

const NAME_RE = /^[a-z0-9._-]{1,32}$/;
export function isValidViewerName(name) {
  return typeof name === 'string' && NAME_RE.test(name) && /[a-z.]/.test(name);
}

export function newSid() {
  return Array.from(crypto.getRandomValues(new Uint8Array(8)), (b) => b.toString(16).padStart(2, '0')).join('');
}

// A signalling message, or null for anything that is not a JSON object with
// the members its type needs.
export function parseSignal(payload) {
  if (payload.length > MAX_SIGNAL_BYTES) return null;
  let m;
  try {
    m = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(payload));
  } catch {
    return null;
  }
  if (!m || typeof m !== 'object' || Array.isArray(m)) return null;
  if (typeof m.type !== 'string' || typeof m.sid !== 'string') return null;
  const needs = { offer: ['sdp'], answer: ['sdp'], candidate: ['candidate'], refuse: ['reason'], call: [], bye: [] };
  if (!(m.type in needs)) return null;
  for (const k of needs[m.type]) if (typeof m[k] !== 'string') return null;
  if (m.type === 'offer' && m.ice !== undefined && !Array.isArray(m.ice)) return null;
  return m;
}

// The ICE servers of an offer, kept to the members a peer connection takes.
export function iceServersOf(offer) {
  const out = [];
  for (const s of Array.isArray(offer.ice) ? offer.ice : []) {
    if (!s || typeof s !== 'object') continue;
    const urls = (Array.isArray(s.urls) ? s.urls : [s.urls]).filter((u) => typeof u === 'string' && /^(stun|turns?):/.test(u));
    if (urls.length === 0) continue;
    const entry = { urls };
    if (typeof s.username === 'string') entry.username = s.username;
    if (typeof s.credential === 'string') entry.credential = s.credential;
    out.push(entry);
  }
  return out;
}

function isPrivateAddress(a) {
  const v4 = a.match(/^(\d+)\.(\d+)\.(\d+)\.(\d+)$/);
  if (v4) {
    const [x, y] = [Number(v4[1]), Number(v4[2])];
    return x === 10 || x === 127 || x === 0 || (x === 172 && y >= 16 && y < 32) || (x === 192 && y === 168) ||
           (x === 169 && y === 254);
  }
  const v6 = a.toLowerCase();
  const mapped = v6.match(/^::ffff:(\d+\.\d+\.\d+\.\d+)$/);
  if (mapped) return isPrivateAddress(mapped[1]);
  return v6 === '::1' || v6 === '::' || /^fe[89ab]/.test(v6) || v6.startsWith('fc') || v6.startsWith('fd');
}

// Whether a candidate line means something beyond its own network, so that it
// goes to the device or is taken from it: no ICE-TCP candidates, no private,
// loopback or link-local addresses whatever the candidate's type says.
export function shouldSignal(line) {
  const f = String(line).replace(/^a=/, '').split(' ');
  if (f.length < 8 || !f[0].startsWith('candidate:') || f[6] !== 'typ') return false;
  if (f[2].toLowerCase() !== 'udp') return false;
  // Addresses only: a name (a browser's hidden .local host address) means nothing elsewhere.
  if (!/^\d+\.\d+\.\d+\.\d+$/.test(f[4]) && !f[4].includes(':')) return false;
  return !isPrivateAddress(f[4]);
}

// Candidates that come before the offer wait for it; a device sends a few.
export const MAX_PENDING_CANDIDATES = 32;

// Describes the selected candidate pair: { relayed, protocol, text } or null.
export async function routeOf(pc) {
  let stats;
  try { stats = await pc.getStats(); } catch { return null; }
  let pair = null;
  stats.forEach((s) => {
    if (s.type === 'transport' && s.selectedCandidatePairId) pair = stats.get(s.selectedCandidatePairId);
  });
  if (!pair) stats.forEach((s) => { if (!pair && s.type === 'candidate-pair' && s.nominated && s.state === 'succeeded') pair = s; });
  if (!pair) return null;
  const local = stats.get(pair.localCandidateId);
  const remote = stats.get(pair.remoteCandidateId);
  if (!local || !remote) return null;
  if (local.candidateType === 'relay') {
    const protocol = (local.relayProtocol || 'udp').toUpperCase();
    return { relayed: true, protocol, text: `relayed (TURN over ${protocol})` };
  }
  if (remote.candidateType === 'relay') return { relayed: true, protocol: '', text: 'relayed (by the device)' };
  return { relayed: false, protocol: '', text: 'direct' };
}

// Opens the route. Resolves to { link, pc, close } or { error, text }.
// error is one of 'broker', 'notfound', 'busy', 'denied', 'version', 'timeout', 'failed'.
// onStep(name) at each step of the way, for the trace of where the time goes.
export async function openRoute({ broker, viewer, password, did, onStatus = () => {}, onStep = () => {},
                                  limitMs = CHANNEL_OPEN_LIMIT_MS }) {
  if (!isValidViewerName(viewer)) return { error: 'broker', text: 'The viewer name may hold only a-z, 0-9, ".", "-", "_".' };
  onStatus('finding');
  const mqtt = new MqttClient(broker, { clientId: viewer, username: viewer, password });
  const inbox = `pppp/v/${viewer}/${did}`;
  const outbox = `pppp/d/${did}/${viewer}`;
  const sid = newSid();
  let pc = null;
  let presence = null;
  let presenceSeen = () => {};
  let settle;
  const result = new Promise((r) => { settle = r; });
  let done = false;
  const finish = (value) => {
    if (done) return;
    done = true;
    if (value.error) {
      if (pc) { try { pc.close(); } catch {} }
      if (mqtt && !mqtt.closed) {
        if (value.error !== 'notfound' && value.error !== 'broker') send({ type: 'bye' });
        mqtt.close();
      }
    }
    settle(value);
  };
  const send = (m) => mqtt.publish(outbox, JSON.stringify({ ...m, sid }));

  mqtt.onClose = (text) => finish({ error: 'broker', text: text || 'the broker closed the connection' });
  mqtt.onMessage = (topic, payload) => {
    if (topic === `pppp/p/${did}`) {
      presence = new TextDecoder().decode(payload.subarray(0, 8)).trim();
      presenceSeen();
      return;
    }
    if (topic !== inbox) return;
    const m = parseSignal(payload);
    if (!m || m.sid !== sid) return;
    onSignal(m);
  };

  const pendingCandidates = [];
  const onSignal = async (m) => {
    if (done && m.type !== 'bye') return;
    if (m.type === 'refuse') {
      const known = { version: 'version', denied: 'denied' };
      finish({ error: known[m.reason] || 'busy', text: m.reason });
    } else if (m.type === 'bye') {
      finish({ error: 'failed', text: 'the device abandoned the attempt' });
    } else if (m.type === 'offer' && !offered) {
      offered = true;
      onStep('offer');
      onStatus('connecting');
      await answerOffer(m);
    } else if (m.type === 'candidate') {
      if (!shouldSignal(m.candidate)) return;
      const c = { candidate: m.candidate, sdpMLineIndex: Number.isInteger(m.mline) ? m.mline : 0 };
      if (pc && pc.remoteDescription) pc.addIceCandidate(c).catch(() => {});
      else if (pendingCandidates.length < MAX_PENDING_CANDIDATES) pendingCandidates.push(c);
    }
  };

  // The peer connection is made while the broker is reached, since making its
  // certificate takes tens of milliseconds; the ICE servers come with the
  // offer (nothing is gathered before the answer). Our own certificate, made
  // here so that its fingerprint is known for the channel binding: the
  // connection has no other. Resolves to null, or to the browser's error.
  let offered = false;
  let certificate = null;
  let peerMade = null;
  const makePeer = async () => {
    try {
      certificate = await RTCPeerConnection.generateCertificate({ name: 'ECDSA', namedCurve: 'P-256' });
      pc = new RTCPeerConnection({ certificates: [certificate] });
    } catch (e) {
      return e;
    }
    if (done) { pc.close(); return null; }  // (an attempt that ended meanwhile)
    preparePeer();
    return null;
  };

  const preparePeer = () => {
    pc.onicecandidate = (ev) => {
      if (ev.candidate && ev.candidate.candidate && shouldSignal(ev.candidate.candidate)) {
        send({ type: 'candidate', candidate: ev.candidate.candidate, mline: 0 });
      }
    };
    pc.oniceconnectionstatechange = () => {
      if (pc.iceConnectionState === 'connected' || pc.iceConnectionState === 'completed') onStep('ice');
    };
    pc.onconnectionstatechange = () => {
      if (pc.connectionState === 'connected') onStep('dtls');
      if (pc.connectionState === 'failed') finish({ error: 'failed', text: 'the device was found, but no path between the two networks works' });
    };
    pc.ondatachannel = (ev) => {
      const dc = ev.channel;
      if (dc.label !== 'pppp') return;
      dc.binaryType = 'arraybuffer';
      const opened = async () => {
        onStep('channel');
        // The limit runs on until the binding is known: however the browser
        // answers (slowly, with an error, not at all), the attempt ends with a message.
        const binding = await channelBinding(pc, certificate).catch(() => null);
        if (done) return;
        clearTimeout(limit);
        onStep('bound');
        if (!binding) {
          finish({ error: 'failed', text: 'the browser cannot tell which certificates the connection uses, so a login over it would not be safe' });
          return;
        }
        finish({ dc, pc, sid, mqtt, binding, bye: () => { if (!mqtt.closed) { send({ type: 'bye' }); mqtt.close(); } } });
      };
      if (dc.readyState === 'open') opened(); else dc.onopen = opened;
    };
  };

  const answerOffer = async (offer) => {
    const problem = await peerMade;
    if (done) return;
    if (problem) {
      finish({ error: 'failed', text: `the browser cannot make a peer connection: ${problem.message}` });
      return;
    }
    try {
      pc.setConfiguration({ iceServers: iceServersOf(offer), certificates: [certificate] });
    } catch (e) {
      finish({ error: 'failed', text: `the browser refused the ICE servers: ${e.message}` });
      return;
    }
    try {
      await pc.setRemoteDescription({ type: 'offer', sdp: offer.sdp });
      for (const c of pendingCandidates.splice(0)) pc.addIceCandidate(c).catch(() => {});
      const answer = await pc.createAnswer();
      await pc.setLocalDescription(answer);
      onStep('answer');
      await send({ type: 'answer', sdp: pc.localDescription.sdp });
    } catch (e) {
      finish({ error: 'failed', text: `the device's offer could not be answered: ${e.message}` });
    }
  };

  const limit = setTimeout(() => finish({ error: 'timeout', text: 'the device did not answer in time' }), limitMs);
  const connecting = mqtt.connect();
  peerMade = makePeer();
  const connected = await connecting;
  if (connected !== null) { clearTimeout(limit); finish({ error: 'broker', text: connected }); return result; }
  onStep('broker');
  // Sent after CONNECT's answer, not with it: mosquitto's WebSocket listener
  // leaves a packet that arrived together with the CONNECT until its next
  // tick, up to 100 ms (50 on average) later: more than the round trip to a
  // broker that is not far away, which is what sending it early saves. At QoS 0: the
  // session is clean, so QoS 1 would redeliver nothing that TCP does not, and
  // its acknowledgements went out just ahead of the call and the answer,
  // which the browser's socket then held for the broker's delayed ACK (40 ms).
  const granted = await mqtt.subscribe([`pppp/p/${did}`, inbox], 0);
  if (!granted || granted.some((g) => g === 0x80)) {
    clearTimeout(limit);
    finish({ error: 'broker', text: 'the broker does not let this viewer watch this device' });
    return result;
  }
  if (presence === null) {
    await new Promise((r) => { presenceSeen = r; setTimeout(r, PRESENCE_WAIT_MS); });
  }
  if (done) return result;
  onStep('present');
  if (presence !== '1') {
    clearTimeout(limit);
    finish({ error: 'notfound', text: 'device not found' });
    return result;
  }
  onStatus('connecting');
  onStep('call');
  await send({ type: 'call', version: PROTOCOL_VERSION });
  return result;
}
