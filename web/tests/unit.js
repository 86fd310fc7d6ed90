// The page's protocol code, tested in the browser that runs it. Results go to
// window.testResults: { done, passed, failures: [text] }.
import { aesEncryptBlock, aesDecryptBlock } from '../lib/aes.js';
import { passwordKey, ViewerProtocol, PacketReader, buildPacket, sealPacket, unsealBody, isKeyFrame,
         KIND_SEALED16, CMD_CHALLENGE } from '../lib/packet.js';
import { encodeHello, encodeFrame, TransportSession, GREETING_HELD, GREETING_UNANSWERED, FrameReader, FRAME_WELCOME, FRAME_REFUSE, FRAME_DATA,
         FRAME_ACK, FRAME_KEEPALIVE, FRAME_GOODBYE, MAX_MESSAGE } from '../lib/framing.js';
import { encodeConnect, encodePacket, MqttReader, parsePublish, MqttClient, warmUp } from '../lib/mqtt.js';
import { parseSignal, shouldSignal, iceServersOf, isValidViewerName } from '../lib/route.js';
import { codecOf, Viewer, MESSAGES } from '../lib/viewer.js';
import { brokerProblem, connectSources } from '../lib/broker.js';
import { bindingOf, fingerprintBytes, viewerProof, deviceProof, channelBinding } from '../lib/binding.js';
import { passwordBuffer, REFUSED_OTHER_CHANNEL } from '../lib/packet.js';

const hex = (s) => Uint8Array.from((s.match(/../g) || []).map((x) => parseInt(x, 16)));
const toHex = (a) => Array.from(a, (b) => b.toString(16).padStart(2, '0')).join('');
const cat = (...parts) => { const o = new Uint8Array(parts.reduce((n, p) => n + p.length, 0)); let i = 0; for (const p of parts) { o.set(p, i); i += p.length; } return o; };

const results = { done: false, passed: 0, failures: [] };
window.testResults = results;
const tests = [];
const test = (name, fn) => tests.push({ name, fn });
class Failure extends Error {}
const ok = (c, what) => { if (!c) throw new Failure(what); };
const eq = (a, b, what) => {
  const show = (v) => (v instanceof Uint8Array ? toHex(v) : JSON.stringify(v));
  if (show(a) !== show(b)) throw new Failure(`${what}: ${show(a)} != ${show(b)}`);
};

// Timers moved by hand.
class FakeTimers {
  constructor() { this.t = 0; this.items = new Map(); this.next = 1; this.performance = { now: () => this.t }; }
  setTimeout(fn, ms) { const id = this.next++; this.items.set(id, { fn, at: this.t + ms }); return id; }
  setInterval(fn, ms) { const id = this.next++; this.items.set(id, { fn, at: this.t + ms, every: ms }); return id; }
  clearTimeout(id) { this.items.delete(id); }
  clearInterval(id) { this.items.delete(id); }
  advance(ms) {
    const end = this.t + ms;
    for (;;) {
      let first = null;
      for (const [id, it] of this.items) if (it.at <= end && (!first || it.at < first[1].at)) first = [id, it];
      if (!first) break;
      const [id, it] = first;
      this.t = it.at;
      if (it.every) it.at += it.every; else this.items.delete(id);
      it.fn();
    }
    this.t = end;
  }
}

// A session on a link whose far end the test plays.
function sessionPair(options = {}, held = undefined) {
  const timers = new FakeTimers();
  const sent = [];
  const s = new TransportSession({ send: (b) => sent.push(b.slice()), close: () => {}, held }, 'CAM-1',
                                 { timers, ...options });
  const events = { data: [], ended: null, refused: null, opened: false };
  s.onData = (c, b) => events.data.push([c, toHex(b)]);
  s.onEnd = (r, d) => { events.ended = [r, d]; };
  s.onRefused = (r) => { events.refused = r; };
  s.onOpen = () => { events.opened = true; };
  const welcome = (version = 3) => encodeFrame(FRAME_WELCOME, 0, Uint8Array.of(0x5a, 0x4c, 0x54, 0x50, version, 0, 0x28, 0x23, 0, 0));
  const frames = () => {
    const out = [];
    new FrameReader((t, c, p) => { out.push([t, c, p]); }).push(cat(...sent));
    return out;
  };
  return { s, timers, sent, events, welcome, frames };
}

test('AES-128 gives the published vectors', () => {
  const key1 = hex('000102030405060708090a0b0c0d0e0f');
  const plain1 = hex('00112233445566778899aabbccddeeff');
  eq(aesEncryptBlock(key1, plain1), hex('69c4e0d86a7b0430d8cdb78070b4c55a'), 'C.1 encrypt');
  eq(aesDecryptBlock(key1, hex('69c4e0d86a7b0430d8cdb78070b4c55a')), plain1, 'C.1 decrypt');
  const key2 = hex('2b7e151628aed2a6abf7158809cf4f3c');
  eq(aesEncryptBlock(key2, hex('3243f6a8885a308d313198a2e0370734')), hex('3925841d02dc09fbdc118597196a0b32'), 'B encrypt');
  eq(aesDecryptBlock(key2, hex('3925841d02dc09fbdc118597196a0b32')), hex('3243f6a8885a308d313198a2e0370734'), 'B decrypt');
  eq(aesEncryptBlock(new Uint8Array(16), new Uint8Array(16)), hex('66e94bd4ef8a2c3b884cfa59ca342b2e'), 'zero key');
  ok(aesEncryptBlock(new Uint8Array(15), plain1) === null && aesDecryptBlock(key1, [1, 2]) === null, 'bad arguments');
});

test('the login bound to the channel agrees with the C++ side', async () => {
  // The same numbers as the device's and ZELT2Viewer's tests.
  const sha = async (s) => new Uint8Array(await crypto.subtle.digest('SHA-256', new TextEncoder().encode(s)));
  eq(await bindingOf(await sha('device certificate'), await sha('viewer certificate')),
     hex('4e344fd34be75736b1e47ac65bf5d44df8b7e28ce07b2e7a3fecec14735635b7'), 'binding');
  const range = (from, n) => Uint8Array.from({ length: n }, (_, i) => from + i);
  const pw = passwordBuffer('pw');
  eq(await viewerProof(pw, range(0, 16), range(0x20, 32)), hex('3a7349bb97b1501a04088e615e5b301a'), 'viewer proof');
  eq(await deviceProof(pw, range(0, 16), range(0x20, 32), range(0x40, 16)), hex('012396c12d416aa1465849f492dce854'),
     'device proof');
  eq(fingerprintBytes(Array.from(range(0xe0, 32), (b) => b.toString(16).toUpperCase()).join(':')), range(0xe0, 32),
     'a browser fingerprint');
  ok(fingerprintBytes('AB:CD') === null, 'a short fingerprint is none');

  // The exchange: the answer names its channel; an acceptance made over
  // another channel gives no key.
  const binding = range(0x20, 32), other = range(0x21, 32), challenge = range(0, 16);
  const v = new ViewerProtocol('pw');
  v.bindToChannel(binding);
  const answer = await v.buildBoundAuthResponse(challenge);
  eq(answer.subarray(20), cat(await viewerProof(pw, challenge, binding), binding), 'bound AuthResponse');
  const wrapped = aesEncryptBlock(pw.subarray(0, 16), range(0x70, 16));
  ok(!(await v.acceptBoundSessionKey(cat(wrapped, await deviceProof(pw, challenge, other, wrapped)))),
     'an acceptance over another channel');
  ok(!(await v.acceptBoundSessionKey(wrapped)), 'an unbound acceptance');
  ok(await v.acceptBoundSessionKey(cat(wrapped, await deviceProof(pw, challenge, binding, wrapped))), 'the acceptance');
  eq(v.sessionKey, range(0x70, 16), 'session key');
  eq(REFUSED_OTHER_CHANNEL, 2, 'the refusal that names another channel');

  // The channel may open before the page has the transport's certificates:
  // the binding waits for the transport's state, and is none if it fails.
  const own = { getFingerprints: () => [{ algorithm: 'sha-256', value: Array.from(range(0xe0, 32), (b) => b.toString(16)).join(':') }] };
  const late = (state, certs) => {
    const t = new EventTarget();
    t.state = 'connecting';
    t.getRemoteCertificates = () => (t.state === 'connected' ? certs : []);
    setTimeout(() => { t.state = state; t.dispatchEvent(new Event('statechange')); }, 10);
    return { sctp: { transport: t } };
  };
  const der = new TextEncoder().encode('device certificate').buffer;
  eq(await channelBinding(late('connected', [der]), own), await bindingOf(await sha('device certificate'), range(0xe0, 32)),
     'the binding once the transport connects');
  ok(await channelBinding(late('failed', [der]), own) === null, 'none when the transport fails');
});

test('password keys, the login and sealed packets agree with the C++ side', async () => {
  const fx = await (await fetch('fixtures/session.json')).json();
  for (const p of fx.passwords) {
    eq(passwordKey(new TextDecoder().decode(hex(p.utf8))), hex(p.key), `key of ${p.utf8}`);
  }
  const v = new ViewerProtocol(fx.login.password);
  eq(v.buildAuthResponse(hex(fx.login.challenge)), hex(fx.login.authResponse), 'AuthResponse');
  ok(v.buildCommand(1) === null, 'no command before the session key');
  ok(!v.acceptSessionKey(new Uint8Array(15)), 'a short key payload is refused');
  ok(v.acceptSessionKey(hex(fx.login.acceptedPayload)), 'key accepted');
  eq(v.sessionKey, hex(fx.login.sessionKey), 'session key');

  const [keyFrame, delta, mode, startMode, startPlain, stop] = fx.sealed;
  const open = (f, channel) => v.open(channel, f.kind, hex(f.packet).subarray(4));
  let m = open(keyFrame, 1);
  eq([m.type, m.viewerCount, m.deltaFrame, m.timestampMs], ['frame', 3, 0, 123456], 'key frame fields');
  eq(m.payload, hex(keyFrame.payload), 'key frame payload');
  ok(isKeyFrame(m.payload) && codecOf(m.payload) === 'avc1.640028' && codecOf(m.payload.subarray(0, 6)) === null, 'key frame recognised');
  m = open(delta, 1);
  eq([m.deltaFrame, m.payload], [1, hex(delta.payload)], 'delta frame');
  ok(!isKeyFrame(m.payload), 'delta is no key frame');
  m = open(mode, 0);
  eq([m.type, m.mode], ['mode', 2], 'mode report');
  ok(open(keyFrame, 0).type === 'unknown', 'a frame on the control channel is not a frame');

  // The viewer's commands are byte for byte the C++ sealer's, scramble byte rolling alike.
  v.scramble = startMode.seed;
  eq(v.buildVideoStart(3), hex(startMode.packet), 'VideoStart with a mode');
  eq(v.scramble, startPlain.seed, 'scramble rolls');
  eq(v.buildVideoStart(), hex(startPlain.packet), 'VideoStart without a mode');
  eq(v.buildVideoStop(), hex(stop.packet), 'VideoStop');

  // Tampering shows: a changed control block or a cut body does not open.
  const bad = hex(delta.packet).subarray(4);
  bad[5] ^= 1;
  eq(v.open(1, 2, bad).error, 'malformed', 'changed control block');
  eq(v.open(1, 2, hex(delta.packet).subarray(4, 40)).error, 'malformed', 'cut body');
  eq(new ViewerProtocol('x').open(1, 2, hex(delta.packet).subarray(4)).error, 'nokey', 'sealed before login');
  eq(v.open(0, 9, new Uint8Array(16)).error, 'kind', 'unknown kind');
  eq(v.open(0, 1, new Uint8Array(17)).error, 'malformed', 'plain length disagrees');
});

test('sealing round trip with a zero and a rolling byte', () => {
  const key = hex('00112233445566778899aabbccddeeff');
  for (const s of [0, 0xa7]) {
    const p = buildPacket({ kind: KIND_SEALED16, command: 7 }, Uint8Array.of(1, 2, 3));
    ok(sealPacket(key, p, s), 'sealed');
    const body = p.slice(4);
    ok(unsealBody(key, p[3], body), 'unsealed');
    eq(body.subarray(16), Uint8Array.of(1, 2, 3), `payload with byte ${s}`);
  }
  ok(buildPacket({ kind: KIND_SEALED16 }, new Uint8Array(65536)) === null, 'kind 4 holds 65535 at most');
});

test('packets are reassembled from any split of the stream and bad lengths stop it', () => {
  const got = [];
  const r = new PacketReader((kind, body) => got.push([kind, toHex(body)]), 64);
  const a = buildPacket({ command: 1 }, Uint8Array.of(9, 8));
  const b = buildPacket({ command: 2 }, new Uint8Array(30).fill(5));
  const all = cat(a, b);
  for (let i = 0; i < all.length; i += 3) ok(r.push(all.subarray(i, i + 3)), 'pushed');
  eq(got.map((g) => g[1].slice(0, 4)), ['0100', '0200'], 'two packets in order');
  eq(got[1][1].length, 2 * 46, 'second body whole');
  ok(!new PacketReader(() => {}, 64).push(Uint8Array.of(0, 0, 0, 1)), 'empty body');
  ok(!new PacketReader(() => {}, 64).push(Uint8Array.of(65, 0, 0, 1)), 'body over the limit');
});

test('greeting, data, keepalive and goodbye of a session', () => {
  eq(encodeHello('CAM-1', 9000, 1), hex('010010000000' + '5a4c5450010028230000' + '0543414d2d31'), 'Hello as on TCP');
  eq(encodeHello('cam', 9000), null, 'lower-case DID refused');

  const { s, timers, sent, events, welcome, frames } = sessionPair();
  s.start();
  eq(frames()[0][2][4], 3, 'Hello says version 3 (Acks, the login bound to the channel)');
  ok(!s.write(0, Uint8Array.of(1)), 'nothing written before the Welcome');
  // The Welcome and a Data frame split over three messages.
  const stream = cat(welcome(), encodeFrame(FRAME_DATA, 1, Uint8Array.of(0xaa, 0xbb, 0xcc)));
  s.receive(stream.subarray(0, 4)); s.receive(stream.subarray(4, 19)); s.receive(stream.subarray(19));
  ok(events.opened, 'open');
  eq(events.data, [[1, 'aabbcc']], 'data on channel 1');
  eq(s.keepaliveMs, 2000, 'keepalive stays at 2 s for a 9 s peer');
  // A large write goes as messages of at most 16 KiB.
  sent.length = 0;
  ok(s.write(1, new Uint8Array(40000)), 'write');
  ok(sent.length === 3 && sent.every((m) => m.length <= MAX_MESSAGE), 'chunked');
  sent.length = 0;
  timers.advance(2100);
  ok(frames().some((f) => f[0] === FRAME_KEEPALIVE), 'keepalive after quiet');
  s.receive(encodeFrame(FRAME_GOODBYE, 0));
  eq(events.ended, [11, 'goodbye'], 'goodbye ends the session');
});

test('acknowledgements are sent and checked', () => {
  const { s, timers, sent, events, welcome, frames } = sessionPair();
  s.start();
  s.receive(welcome());
  sent.length = 0;
  s.receive(encodeFrame(FRAME_DATA, 1, new Uint8Array(100)));
  eq(frames().length, 0, 'no Ack at once for 100 bytes');
  timers.advance(50);
  let acks = frames().filter((f) => f[0] === FRAME_ACK);
  eq(acks.map((f) => toHex(f[2])), ['6400000000000000'], 'Ack of 100 after 50 ms');
  sent.length = 0;
  s.receive(encodeFrame(FRAME_DATA, 1, new Uint8Array(16384)));
  acks = frames().filter((f) => f[0] === FRAME_ACK);
  eq(acks.map((f) => toHex(f[2])), ['6440000000000000'], 'Ack at once after 16 KiB');
  s.write(0, new Uint8Array(10));
  s.receive(encodeFrame(FRAME_ACK, 0, hex('0600000000000000')));
  eq(s.backlog(), 4, 'backlog from the Ack');
  ok(!events.ended, 'good Ack accepted');
  s.receive(encodeFrame(FRAME_ACK, 0, hex('0500000000000000')));
  eq(events.ended, [11, 'bad ack'], 'an Ack that goes back ends the session');

  for (const bad of ['0b00000000000000', '0a000000']) {
    const p = sessionPair();
    p.s.start(); p.s.receive(p.welcome()); p.s.write(0, new Uint8Array(10));
    p.s.receive(encodeFrame(FRAME_ACK, 0, hex(bad)));
    eq(p.events.ended, [11, 'bad ack'], `Ack ${bad}`);
  }
  for (const version of [1, 2]) {
    // A device below 3 would take a login not bound to the channel: none is begun.
    const old = sessionPair();
    old.s.start(); old.s.receive(old.welcome(version)); old.sent.length = 0;
    eq([old.events.refused, old.events.ended && old.events.ended[1]], [3, 'old version'], `a version-${version} device`);
    ok(!old.frames().some((f) => f[0] === FRAME_ACK || f[0] === FRAME_DATA), 'nothing sent to it');
  }
});

test('refusals, silence and broken frames end a session', () => {
  let p = sessionPair();
  p.s.start();
  p.s.receive(encodeFrame(FRAME_REFUSE, 0, Uint8Array.of(0x5a, 0x4c, 0x54, 0x50, 2, 2)));
  eq([p.events.refused, p.events.ended[0]], [2, 11], 'refused: eight waiting');

  p = sessionPair();
  p.s.start();
  p.s.receive(encodeFrame(FRAME_WELCOME, 0, Uint8Array.of(1, 2, 3, 4, 2, 0, 0, 0, 0, 0)));
  eq(p.events.ended, [11, 'unreadable greeting'], 'Welcome without magic');

  p = sessionPair({ handshakeMs: 3000 });
  p.s.start();
  p.timers.advance(3200);
  eq(p.events.ended, [12, 'no welcome'], 'no Welcome in time');

  // With an early limit, an unanswered greeting ends the wait early, saying whether the link still holds it.
  p = sessionPair({ earlyMs: 2500 }, () => 29);
  p.s.start();
  p.timers.advance(2400);
  ok(!p.events.ended, 'a greeting may go unanswered a moment');
  p.timers.advance(200);
  eq(p.events.ended, [12, GREETING_HELD], 'a greeting the link still holds');
  p = sessionPair({ earlyMs: 2500 }, () => 0);
  p.s.start();
  p.timers.advance(2600);
  eq(p.events.ended, [12, GREETING_UNANSWERED], 'a greeting that left and went unanswered');
  p = sessionPair({ earlyMs: 2500 }, () => 0);
  p.s.start(); p.timers.advance(2000); p.s.receive(p.welcome()); p.timers.advance(2000);
  ok(!p.events.ended, 'a Welcome in time keeps the session');

  p = sessionPair();
  p.s.start(); p.s.receive(p.welcome());
  p.timers.advance(8000);
  ok(!p.events.ended, 'alive within the dead-peer time');
  p.timers.advance(1200);
  eq(p.events.ended, [12, 'peer silent'], 'dead peer after 9 s of silence');

  for (const [frame, what] of [[encodeFrame(0x44, 0), 'unknown type'], [encodeFrame(FRAME_KEEPALIVE, 0, Uint8Array.of(1)), 'keepalive with payload'],
                               [Uint8Array.of(0x10, 9, 1, 0, 0, 0, 7), 'channel 9'], [Uint8Array.of(0x10, 0, 1, 0, 0x10, 0), 'length over 1 MiB']]) {
    p = sessionPair();
    p.s.start(); p.s.receive(p.welcome());
    p.s.receive(frame);
    eq(p.events.ended && p.events.ended[0], 11, what);
  }
});

test('MQTT packets are built and read as the protocol says', () => {
  eq(encodeConnect('v1', 'v1', 'pw', 30),
     hex('101600044d51545404c2001e000276310002763100027077'), 'CONNECT');
  const r = new MqttReader(200);
  const pub = encodePacket(3, 0x02, cat(hex('0003612f62'), hex('0007'), new TextEncoder().encode('{"a":1}')));
  const two = cat(pub, encodePacket(13, 0, new Uint8Array(0)));
  let got = [];
  for (let i = 0; i < two.length; i += 5) got = got.concat(r.push(two.subarray(i, i + 5)));
  eq(got.map((p) => p.type), [3, 13], 'PUBLISH then PINGRESP across splits');
  const m = parsePublish(got[0].flags, got[0].body);
  eq([m.topic, m.qos, m.packetId, new TextDecoder().decode(m.payload)], ['a/b', 1, 7, '{"a":1}'], 'publish read');
  eq(new MqttReader(200).push(encodePacket(3, 0, new Uint8Array(300))), null, 'oversized packet refused');
  eq(new MqttReader().push(Uint8Array.of(0x30, 0xff, 0xff, 0xff, 0xff, 0x01)), null, 'five length bytes refused');
  eq(parsePublish(0, Uint8Array.of(0, 9, 0x61)), null, 'topic past the end');
  eq(parsePublish(0, Uint8Array.of(0, 1, 0xff)), null, 'topic not UTF-8');
});

test('the MQTT client logs in, subscribes and acknowledges', async () => {
  const sockets = [];
  class FakeSocket {
    constructor(url, protocol) {
      Object.assign(this, { url, protocol, sent: [], readyState: 0 });
      sockets.push(this);
      setTimeout(() => { this.readyState = 1; if (this.onopen) this.onopen(); }, 0);
    }
    send(b) { this.sent.push(b.slice()); }
    close() { this.readyState = 3; }
    deliver(bytes) { this.onmessage({ data: bytes.slice().buffer }); }
  }
  const c = new MqttClient('wss://broker.test/', { clientId: 'v1', username: 'v1', password: 'pw', WebSocketImpl: FakeSocket });
  const connecting = c.connect(2000);
  const sub = c.subscribe(['pppp/p/CAM-1']);  // before the socket is even open
  await new Promise((r) => setTimeout(r, 10));
  const ws = sockets[0];
  eq([ws.protocol, ws.sent[0][0], ws.sent[1][0]], ['mqtt', 0x10, 0x82], 'CONNECT over the mqtt subprotocol, SUBSCRIBE after it');
  ws.deliver(Uint8Array.of(0x20, 2, 0, 0));
  eq(await connecting, null, 'connected');
  ws.deliver(Uint8Array.of(0x90, 3, ws.sent[1][2], ws.sent[1][3], 1));
  eq(await sub, [1], 'granted QoS 1');
  const seen = [];
  c.onMessage = (t, p) => seen.push([t, new TextDecoder().decode(p)]);
  ws.deliver(encodePacket(3, 0x02, cat(hex('0003782f79'), hex('1234'), Uint8Array.of(0x31))));
  eq(seen, [['x/y', '1']], 'message delivered');
  eq(ws.sent[2], Uint8Array.of(0x40, 2, 0x12, 0x34), 'PUBACK');
  let closed = null;
  c.onClose = (t) => { closed = t; };
  ws.deliver(Uint8Array.of(0x30, 0xff, 0xff, 0xff, 0xff, 0x01));
  ok(/protocol/.test(closed), 'a broken stream closes the client');

  const refused = new MqttClient('wss://broker.test/', { clientId: 'v1', username: 'v1', password: 'no', WebSocketImpl: FakeSocket });
  const refusing = refused.connect(2000);
  await new Promise((r) => setTimeout(r, 10));
  sockets[1].deliver(Uint8Array.of(0x20, 2, 0, 4));
  eq(await refusing, 'wrong viewer name or password', 'bad credentials named');

  // A socket opened ahead is taken over by the next client to its broker, once.
  warmUp('wss://broker.test/', FakeSocket);
  await new Promise((r) => setTimeout(r, 10));
  const early = new MqttClient('wss://broker.test/', { clientId: 'v1', username: 'v1', password: 'pw', WebSocketImpl: FakeSocket });
  early.connect(2000);
  eq([sockets.length, sockets[2].sent.length, sockets[2].sent[0][0]], [3, 1, 0x10], 'CONNECT at once on the open socket');
  new MqttClient('wss://broker.test/', { WebSocketImpl: FakeSocket }).connect(2000);
  eq(sockets.length, 4, 'the next client opens its own');
});

test('signalling messages are checked and candidates filtered', () => {
  const enc = (o) => new TextEncoder().encode(typeof o === 'string' ? o : JSON.stringify(o));
  ok(parseSignal(enc({ type: 'offer', sid: 'ab', sdp: 'v=0', ice: [] })), 'offer read');
  for (const bad of ['[1]', 'null', '{"type":"offer","sid":"ab"}', '{"type":"answer","sdp":"x"}', '{"type":"x","sid":"a"}',
                     '{"type":"offer","sid":"a","sdp":"v","ice":{}}', 'not json']) {
    ok(parseSignal(enc(bad)) === null, `dropped: ${bad}`);
  }
  ok(parseSignal(new Uint8Array(70000).fill(32)) === null, 'too large');
  eq(iceServersOf({ ice: [{ urls: 'stun:a:3478' }, { urls: ['turn:b:3478?transport=udp', 'http://x'], username: 'u', credential: 'c' }, 5, { urls: 'x:y' }] }),
     [{ urls: ['stun:a:3478'] }, { urls: ['turn:b:3478?transport=udp'], username: 'u', credential: 'c' }], 'ICE servers');
  ok(shouldSignal('candidate:1 1 udp 2122260223 203.0.113.5 50000 typ host generation 0'), 'public host');
  ok(shouldSignal('candidate:2 1 udp 1686052607 198.51.100.7 40000 typ srflx raddr 10.0.0.2 rport 5000'), 'reflexive');
  ok(shouldSignal('candidate:3 1 udp 41885439 198.51.100.9 3478 typ relay raddr 0.0.0.0 rport 0'), 'relay');
  for (const bad of ['candidate:1 1 udp 2122260223 192.168.1.5 50000 typ host', 'candidate:1 1 udp 2122260223 10.1.2.3 5 typ host',
                     'candidate:1 1 udp 2122260223 127.0.0.1 5 typ host', 'candidate:1 1 udp 2122260223 169.254.3.3 5 typ host',
                     'candidate:1 1 udp 2122260223 0b0d2a5e-1c2b.local 5 typ host', 'candidate:1 1 tcp 1518280447 203.0.113.5 9 typ host tcptype active',
                     'candidate:2 1 udp 1686052607 192.168.1.2 40000 typ srflx raddr 0.0.0.0 rport 0',
                     'candidate:3 1 udp 41885439 10.0.0.2 3478 typ relay raddr 203.0.113.1 rport 5',
                     'candidate:2 1 udp 1686052607 ::ffff:127.0.0.1 4 typ prflx', 'candidate:2 1 udp 1 fe90::1 4 typ srflx',
                     'candidate:2 1 udp 1 rv.example.org 4 typ srflx', 'garbage']) {
    ok(!shouldSignal(bad), `not signalled: ${bad}`);
  }
  ok(shouldSignal('candidate:1 1 udp 1 2001:db8::7 4 typ host'), 'public IPv6');
  ok(isValidViewerName('alice.1') && !isValidViewerName('CAM-1') && !isValidViewerName('123') && !isValidViewerName('a/b'), 'viewer names');
});

test('the page answers one challenge per session', async () => {
  const sent = [];
  const dc = { readyState: 'open', send: (b) => sent.push(new Uint8Array(b)), close() {} };
  const states = [];
  const v = new Viewer({}, (st) => states.push(st));
  const run = v.run = {};
  v.startSession(run, { dc, pc: {} }, 'CAM-1', 'a-password');
  const challenge = encodeFrame(FRAME_DATA, 0, buildPacket({ command: CMD_CHALLENGE }, new Uint8Array(16).fill(7)));
  const welcome = encodeFrame(FRAME_WELCOME, 0, Uint8Array.of(0x5a, 0x4c, 0x54, 0x50, 3, 0, 0x28, 0x23, 0, 0));
  const answers = () => {
    const out = [];
    new FrameReader((t, c) => { if (t === FRAME_DATA && c === 0) out.push(c); }).push(cat(...sent));
    return out.length;
  };
  dc.onmessage({ data: cat(welcome, challenge).buffer });
  for (let i = 0; i < 100 && answers() === 0; i++) await new Promise((r) => setTimeout(r, 20));
  eq(answers(), 1, 'the first challenge is answered');
  dc.onmessage({ data: challenge.slice().buffer });
  for (let i = 0; i < 100 && v.state.status !== 'error'; i++) await new Promise((r) => setTimeout(r, 20));
  eq([answers(), v.state.status, v.state.message], [1, 'error', MESSAGES.secondChallenge], 'a second one ends the session unanswered');
});

test('the page reaches only its own broker, and without TLS only this computer', () => {
  const policy = "default-src 'self'; script-src 'self'; connect-src 'self' ws://127.0.0.1:* ws://localhost:* wss://rv.example.org:8884";
  eq(connectSources(policy), ["'self'", 'ws://127.0.0.1:*', 'ws://localhost:*', 'wss://rv.example.org:8884'], 'sources');
  const https = new URL('https://rv.example.org/viewer/');
  for (const url of ['wss://rv.example.org/', 'wss://rv.example.org:8884/mqtt', 'ws://127.0.0.1:9001/', 'ws://localhost:1/']) {
    eq(brokerProblem(url, https, policy), null, url);
  }
  const refusals = [
    ['ws://rv.example.org/', /not be encrypted/], ['ws://203.0.113.5:8080/', /not be encrypted/],
    ['mqtt://rv.example.org:1883', /WebSocket only/], ['mqtts://rv.example.org:8883', /WebSocket only/],
    ['wss://evil.example/', /only the broker its operator set up \(wss:\/\/rv.example.org\/\)/],
    ['wss://rv.example.org:8885/', /operator/], ['wss://a:b@rv.example.org/', /no name or password/],
    ['https://rv.example.org/', /starts with wss/], ['rv.example.org', /not a broker address/],
  ];
  for (const [url, re] of refusals) ok(re.test(brokerProblem(url, https, policy) || ''), `refused: ${url}`);
  // A plain http page on this computer: its own origin over ws: is fine, another host's ws: is not.
  const local = new URL('http://127.0.0.1:8000/');
  eq(brokerProblem('ws://127.0.0.1:8000/', local, "connect-src 'self'"), null, 'own origin over ws:');
  ok(/operator/.test(brokerProblem('ws://127.0.0.1:9000/', local, "connect-src 'self'")), 'another port is not self');
});

(async () => {
  for (const t of tests) {
    try {
      await t.fn();
      results.passed++;
    } catch (e) {
      results.failures.push(`${t.name}: ${e instanceof Failure ? e.message : e.stack || e}`);
    }
  }
  results.done = true;
  document.body.textContent = JSON.stringify(results, null, 1);
})();
