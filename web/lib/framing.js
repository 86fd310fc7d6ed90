// The transport's session layer over a message link (the data channel): frames
// of a 6-byte header (type, channel, u32 LE length) and a payload; the
// greeting; keepalive; the dead-peer rule; acknowledgements; Goodbye.

export const FRAME_HELLO = 0x01;
export const FRAME_WELCOME = 0x02;
export const FRAME_REFUSE = 0x03;
export const FRAME_DATA = 0x10;
export const FRAME_KEEPALIVE = 0x11;
export const FRAME_GOODBYE = 0x12;
export const FRAME_ACK = 0x13;

export const FRAME_HEADER = 6;
export const MAX_FRAME_PAYLOAD = 1048576;
export const MAX_GREETING = 64;
export const CHANNELS = 8;
// 3: Acks, and the login bound to the channel's certificates (binding.js);
// the device must speak it too.
export const PROTOCOL_VERSION = 3;
// The largest message a data channel carries reliably everywhere.
export const MAX_MESSAGE = 16384;
export const ACK_EVERY = 16384;
export const ACK_DELAY_MS = 50;

const MAGIC = [0x5a, 0x4c, 0x54, 0x50];  // "ZLTP"
const DID_RE = /^[A-Z0-9_-]{1,20}$/;

export function isValidDid(did) {
  return typeof did === 'string' && DID_RE.test(did);
}

export function encodeFrame(type, channel, payload = new Uint8Array(0)) {
  const f = new Uint8Array(FRAME_HEADER + payload.length);
  f[0] = type;
  f[1] = type === FRAME_DATA ? channel : 0;
  new DataView(f.buffer).setUint32(2, payload.length, true);
  f.set(payload, FRAME_HEADER);
  return f;
}

// Hello's payload: magic, version, flags, our dead-peer time, the DID.
export function encodeHello(did, deadMs, version = PROTOCOL_VERSION) {
  if (!isValidDid(did)) return null;
  const p = new Uint8Array(11 + did.length);
  p.set(MAGIC);
  p[4] = version;
  p[5] = 0;
  new DataView(p.buffer).setUint32(6, deadMs >>> 0, true);
  p[10] = did.length;
  for (let i = 0; i < did.length; i++) p[11 + i] = did.charCodeAt(i);
  return encodeFrame(FRAME_HELLO, 0, p);
}

const hasMagic = (p) => p.length >= 4 && MAGIC.every((b, i) => p[i] === b);

// Reads the device's answer to Hello: { welcome, version, deadMs } or
// { refuse, reason }, or null for anything a viewer cannot read (a refusal).
export function parseGreeting(type, payload) {
  if (payload.length > MAX_GREETING) return null;
  if (type === FRAME_WELCOME) {
    if (payload.length < 10 || !hasMagic(payload) || payload[4] === 0) return null;
    return { welcome: true, version: payload[4],
             deadMs: new DataView(payload.buffer, payload.byteOffset, payload.length).getUint32(6, true) };
  }
  if (type === FRAME_REFUSE) {
    return { refuse: true, reason: payload.length >= 6 && hasMagic(payload) ? payload[5] : 0 };
  }
  return null;
}

// Splits a byte stream into frames. push() returns false on a frame that no
// peer may send (the session then ends); frames go to onFrame(type, channel, payload).
export class FrameReader {
  constructor(onFrame) {
    this.onFrame = onFrame;
    this.header = new Uint8Array(FRAME_HEADER);
    this.headerHave = 0;
    this.payload = null;
    this.have = 0;
  }

  push(bytes) {
    let i = 0;
    while (i < bytes.length || (this.payload && this.have === this.payload.length)) {
      if (!this.payload) {
        const take = Math.min(FRAME_HEADER - this.headerHave, bytes.length - i);
        this.header.set(bytes.subarray(i, i + take), this.headerHave);
        this.headerHave += take;
        i += take;
        if (this.headerHave < FRAME_HEADER) break;
        const length = new DataView(this.header.buffer).getUint32(2, true);
        if (length > MAX_FRAME_PAYLOAD) return false;
        this.payload = new Uint8Array(length);
        this.have = 0;
      }
      const take = Math.min(this.payload.length - this.have, bytes.length - i);
      this.payload.set(bytes.subarray(i, i + take), this.have);
      this.have += take;
      i += take;
      if (this.have === this.payload.length) {
        const payload = this.payload;
        this.payload = null;
        this.headerHave = 0;
        if (this.onFrame(this.header[0], this.header[1], payload) === false) return false;
      }
    }
    return true;
  }
}

// Why a session ended, as the C interface numbers it.
export const END_BY_PEER = 11;
export const END_TIMEOUT = 12;
export const END_LOCALLY = 13;

// Why a session with an early limit (earlyMs) ended before its Welcome: the
// link still held the greeting (a browser's data channel can keep a message
// queued and send nothing more), or it left and nothing came back. Either way
// the channel carries nothing: an owner may try a fresh connection.
export const GREETING_HELD = 'greeting held';
export const GREETING_UNANSWERED = 'greeting unanswered';

// One viewer session over `link`: { send(Uint8Array), close(), held() }, where
// held() (optional) counts the bytes sent that the link has not yet put on
// the network; the owner calls receive(bytes) for each message and
// linkClosed() when the link ends.
// Events: onOpen(welcome), onRefused(reason), onData(channel, bytes),
// onEnd(reason, detail). `now` and the timers are injectable for tests.
export class TransportSession {
  constructor(link, did, { deadMs = 9000, keepaliveMs = 2000, handshakeMs = 5000, earlyMs = 0,
                           timers = globalThis } = {}) {
    this.link = link;
    this.did = did;
    this.deadMs = deadMs;
    this.keepaliveMs = keepaliveMs;
    this.handshakeMs = handshakeMs;
    this.earlyMs = earlyMs;
    this.timers = timers;
    this.state = 'idle';  // idle, greeting, open, ended
    this.reader = new FrameReader((t, c, p) => this.onFrame(t, c, p));
    this.peerVersion = 0;
    this.sent = 0;          // payload bytes of Data frames sent
    this.acked = 0;         // the peer's last acknowledgement
    this.received = 0;      // payload bytes of Data frames received
    this.ackedToPeer = 0;   // what our last Ack said
    this.ackTimer = null;
    this.lastSent = 0;
    this.lastHeard = 0;
    this.tick = null;
    this.onOpen = () => {};
    this.onRefused = () => {};
    this.onData = () => {};
    this.onEnd = () => {};
  }

  now() { return this.timers.performance ? this.timers.performance.now() : Date.now(); }

  // Sends Hello; the Welcome must come within the handshake time.
  start() {
    const hello = encodeHello(this.did, this.deadMs);
    if (!hello) { this.end(END_LOCALLY, 'bad DID'); return; }
    this.state = 'greeting';
    this.greetedAt = this.lastHeard = this.now();
    this.sendRaw(hello);
    this.tick = this.timers.setInterval(() => this.onTick(), 100);
  }

  // Messages of at most MAX_MESSAGE bytes; their concatenation is the stream.
  sendRaw(bytes) {
    for (let i = 0; i < bytes.length; i += MAX_MESSAGE) {
      this.link.send(bytes.subarray(i, Math.min(bytes.length, i + MAX_MESSAGE)));
    }
    this.lastSent = this.now();
  }

  write(channel, bytes) {
    if (this.state !== 'open' || channel < 0 || channel >= CHANNELS || bytes.length > MAX_FRAME_PAYLOAD) return false;
    if (bytes.length === 0) return true;
    this.sendRaw(encodeFrame(FRAME_DATA, channel, bytes));
    this.sent += bytes.length;
    return true;
  }

  // Bytes written and not yet acknowledged by the peer.
  backlog() { return this.sent - this.acked; }

  receive(bytes) {
    if (this.state === 'ended') return;
    this.lastHeard = this.now();
    if (!this.reader.push(bytes) && this.state !== 'ended') this.end(END_BY_PEER, 'protocol');
  }

  onFrame(type, channel, payload) {
    if (this.state === 'ended') return false;
    if (this.state === 'greeting') {
      const g = parseGreeting(type, payload);
      if (!g) { this.end(END_BY_PEER, 'unreadable greeting'); return false; }
      if (g.refuse) { this.refused = g.reason; this.onRefused(g.reason); this.end(END_BY_PEER, 'refused'); return false; }
      this.peerVersion = g.version;
      // An older device would take a login that is not bound to the channel.
      if (g.version < PROTOCOL_VERSION) { this.refused = 3; this.onRefused(3); this.end(END_BY_PEER, 'old version'); return false; }
      this.state = 'open';
      if (g.deadMs > 0) {
        this.keepaliveMs = Math.min(this.keepaliveMs, Math.max(Math.floor(g.deadMs / 3), 100));
      }
      this.onOpen(g);
      return true;
    }
    switch (type) {
      case FRAME_DATA:
        if (channel >= CHANNELS) { this.end(END_BY_PEER, 'bad channel'); return false; }
        this.received += payload.length;
        this.noteReceived();
        if (payload.length > 0) this.onData(channel, payload);
        return this.state !== 'ended';
      case FRAME_KEEPALIVE:
        if (payload.length !== 0) { this.end(END_BY_PEER, 'keepalive with payload'); return false; }
        return true;
      case FRAME_ACK: {
        if (this.peerVersion < 2 || payload.length !== 8) { this.end(END_BY_PEER, 'bad ack'); return false; }
        const v = new DataView(payload.buffer, payload.byteOffset, 8);
        const count = v.getUint32(0, true) + v.getUint32(4, true) * 4294967296;
        if (count < this.acked || count > this.sent) { this.end(END_BY_PEER, 'bad ack'); return false; }
        this.acked = count;
        return true;
      }
      case FRAME_GOODBYE:
        this.end(END_BY_PEER, payload.length ? 'goodbye with payload' : 'goodbye');
        return false;
      default:
        this.end(END_BY_PEER, 'unexpected frame');
        return false;
    }
  }

  // Acknowledges at once after ACK_EVERY bytes, else within ACK_DELAY_MS.
  noteReceived() {
    if (this.peerVersion < 2) return;
    if (this.received - this.ackedToPeer >= ACK_EVERY) {
      this.sendAck();
    } else if (!this.ackTimer) {
      this.ackTimer = this.timers.setTimeout(() => { this.ackTimer = null; this.sendAck(); }, ACK_DELAY_MS);
    }
  }

  sendAck() {
    if (this.state !== 'open' || this.received === this.ackedToPeer) return;
    if (this.ackTimer) { this.timers.clearTimeout(this.ackTimer); this.ackTimer = null; }
    const p = new Uint8Array(8);
    const v = new DataView(p.buffer);
    v.setUint32(0, this.received % 4294967296, true);
    v.setUint32(4, Math.floor(this.received / 4294967296), true);
    this.ackedToPeer = this.received;
    this.sendRaw(encodeFrame(FRAME_ACK, 0, p));
  }

  onTick() {
    if (this.state === 'ended') return;
    const t = this.now();
    if (this.state === 'greeting' && this.earlyMs > 0 && t - this.greetedAt >= this.earlyMs) {
      this.end(END_TIMEOUT, this.link.held && this.link.held() > 0 ? GREETING_HELD : GREETING_UNANSWERED);
      return;
    }
    if (this.state === 'greeting' && t - this.lastHeard > this.handshakeMs) {
      this.end(END_TIMEOUT, 'no welcome');
      return;
    }
    if (t - this.lastHeard > this.deadMs) {
      this.end(END_TIMEOUT, 'peer silent');
      return;
    }
    if (this.state === 'open' && t - this.lastSent >= this.keepaliveMs) this.sendRaw(encodeFrame(FRAME_KEEPALIVE, 0));
  }

  // Closed here: Goodbye, then the link ends.
  close() {
    if (this.state === 'ended') return;
    if (this.state === 'open') {
      try { this.sendRaw(encodeFrame(FRAME_GOODBYE, 0)); } catch {}
    }
    this.end(END_LOCALLY, 'closed');
  }

  linkClosed() {
    if (this.state !== 'ended') this.end(END_BY_PEER, 'link closed');
  }

  end(reason, detail) {
    if (this.state === 'ended') return;
    this.state = 'ended';
    if (this.tick) this.timers.clearInterval(this.tick);
    if (this.ackTimer) this.timers.clearTimeout(this.ackTimer);
    this.tick = this.ackTimer = null;
    this.onEnd(reason, detail);
  }
}
