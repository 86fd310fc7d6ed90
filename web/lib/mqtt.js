// A small MQTT 3.1.1 client over WebSocket: what signalling needs and no more
// (CONNECT with a username and password, SUBSCRIBE, PUBLISH with QoS 0 or 1,
// PUBACK, PINGREQ). Every byte from the broker is checked before it is used.

const CONNECT = 1, CONNACK = 2, PUBLISH = 3, PUBACK = 4, SUBSCRIBE = 8, SUBACK = 9;
const PINGREQ = 12, PINGRESP = 13, DISCONNECT = 14;

// Messages here are small JSON objects; anything much larger is not ours.
export const MAX_INCOMING_PACKET = 65536 + 1024;

const CONNACK_TEXT = {
  1: 'the broker does not speak MQTT 3.1.1',
  2: 'the broker refused the client id',
  3: 'the broker is unavailable',
  4: 'wrong viewer name or password',
  5: 'not authorised',
};

const utf8 = (s) => new TextEncoder().encode(s);

function encodeLength(n) {
  const out = [];
  do {
    let b = n % 128;
    n = Math.floor(n / 128);
    if (n > 0) b |= 0x80;
    out.push(b);
  } while (n > 0);
  return out;
}

function withString(parts, bytes) {
  parts.push(bytes.length >> 8, bytes.length & 0xff, ...bytes);
}

export function encodePacket(type, flags, body) {
  const head = [(type << 4) | flags, ...encodeLength(body.length)];
  const p = new Uint8Array(head.length + body.length);
  p.set(head);
  p.set(body, head.length);
  return p;
}

export function encodeConnect(clientId, username, password, keepaliveS) {
  const body = [];
  withString(body, utf8('MQTT'));
  body.push(4);  // protocol level 3.1.1
  let flags = 0x02;  // clean session
  if (username !== undefined) flags |= 0x80;
  if (password !== undefined) flags |= 0x40;
  body.push(flags, keepaliveS >> 8, keepaliveS & 0xff);
  withString(body, utf8(clientId));
  if (username !== undefined) withString(body, utf8(username));
  if (password !== undefined) withString(body, utf8(password));
  return encodePacket(CONNECT, 0, Uint8Array.from(body));
}

export function encodePublish(topic, payload, qos, packetId, retain = false) {
  const body = [];
  withString(body, utf8(topic));
  if (qos > 0) body.push(packetId >> 8, packetId & 0xff);
  const head = Uint8Array.from(body);
  const all = new Uint8Array(head.length + payload.length);
  all.set(head);
  all.set(payload, head.length);
  return encodePacket(PUBLISH, (qos << 1) | (retain ? 1 : 0), all);
}

export function encodeSubscribe(packetId, topics, qos = 1) {
  const body = [packetId >> 8, packetId & 0xff];
  for (const t of topics) {
    withString(body, utf8(t));
    body.push(qos);
  }
  return encodePacket(SUBSCRIBE, 0x02, Uint8Array.from(body));
}

// Splits the broker's byte stream into packets { type, flags, body }; null
// from push() means the stream broke the protocol.
export class MqttReader {
  constructor(maxPacket = MAX_INCOMING_PACKET) {
    this.maxPacket = maxPacket;
    this.buffer = new Uint8Array(0);
  }

  push(bytes) {
    const joined = new Uint8Array(this.buffer.length + bytes.length);
    joined.set(this.buffer);
    joined.set(bytes, this.buffer.length);
    const packets = [];
    let i = 0;
    for (;;) {
      if (joined.length - i < 2) break;
      let length = 0, mult = 1, j = i + 1, complete = false;
      for (let k = 0; k < 4 && j < joined.length; k++, j++) {
        length += (joined[j] & 0x7f) * mult;
        mult *= 128;
        if (!(joined[j] & 0x80)) { complete = true; j++; break; }
        if (k === 3) return null;  // a fifth length byte
      }
      if (!complete) break;
      if (length > this.maxPacket) return null;
      if (joined.length - j < length) break;
      packets.push({ type: joined[i] >> 4, flags: joined[i] & 0x0f, body: joined.subarray(j, j + length) });
      i = j + length;
    }
    this.buffer = joined.slice(i);
    return packets;
  }
}

// Reads a PUBLISH body: { topic, payload, qos, packetId } or null.
export function parsePublish(flags, body) {
  const qos = (flags >> 1) & 3;
  if (qos === 3 || body.length < 2) return null;
  const n = (body[0] << 8) | body[1];
  let i = 2 + n;
  if (i > body.length) return null;
  let topic;
  try {
    topic = new TextDecoder('utf-8', { fatal: true }).decode(body.subarray(2, i));
  } catch {
    return null;
  }
  let packetId = 0;
  if (qos > 0) {
    if (i + 2 > body.length) return null;
    packetId = (body[i] << 8) | body[i + 1];
    i += 2;
  }
  return { topic, payload: body.subarray(i), qos, packetId, retain: (flags & 1) === 1 };
}

// A WebSocket to the broker opened before it is needed. A broker's WebSocket
// handshake can take long (mosquitto 2.0 answers it after 150-190 ms even
// over loopback); a socket that has not sent CONNECT logs nobody in and
// reaches no device, so the page opens one ahead (when it loads, when the
// user fills in the form, after each viewing) and the next client takes it
// over. One per page; let go after WARM_MS unused.
export const WARM_MS = 5 * 60 * 1000;
let warm = null;  // { url, impl, ws, timer }

function dropWarm() {
  if (!warm) return;
  clearTimeout(warm.timer);
  try { warm.ws.close(); } catch {}
  warm = null;
}

export function warmUp(url, WebSocketImpl = globalThis.WebSocket) {
  if (warm && warm.url === url && warm.impl === WebSocketImpl && warm.ws.readyState <= 1) return;
  dropWarm();
  let ws;
  try { ws = new WebSocketImpl(url, 'mqtt'); } catch { return; }
  const entry = warm = { url, impl: WebSocketImpl, ws, timer: setTimeout(() => { if (warm === entry) dropWarm(); }, WARM_MS) };
  ws.binaryType = 'arraybuffer';
  // Before CONNECT a broker has nothing to say.
  ws.onmessage = () => { if (warm === entry) dropWarm(); };
  ws.onclose = ws.onerror = () => { if (warm === entry) { clearTimeout(entry.timer); warm = null; } };
}

// Whether a socket to `url` waits: 'open', 'opening' or ''.
export function warmState(url) {
  if (!warm || warm.url !== url) return '';
  return ['opening', 'open'][warm.ws.readyState] || '';
}

// The warm socket to `url` when it is open or opening (it is then no longer the page's to keep).
function takeWarm(url, impl) {
  if (!warm || warm.url !== url || warm.impl !== impl || warm.ws.readyState > 1) { dropWarm(); return null; }
  const { ws, timer } = warm;
  clearTimeout(timer);
  warm = null;
  ws.onmessage = ws.onclose = ws.onerror = null;
  return ws;
}

// The client. connect() resolves to null when connected, else to a message.
// Packets may be sent before the broker answers CONNECT (MQTT allows it: a
// broker that refuses the login processes nothing after it); they leave right
// after CONNECT. onMessage(topic, payload, retain) for each message; onClose(text) once.
export class MqttClient {
  constructor(url, { clientId, username, password, keepaliveS = 30, WebSocketImpl = globalThis.WebSocket } = {}) {
    this.url = url;
    this.clientId = clientId;
    this.username = username;
    this.password = password;
    this.keepaliveS = keepaliveS;
    this.WebSocketImpl = WebSocketImpl;
    this.reader = new MqttReader();
    this.nextId = 1;
    this.waiting = new Map();  // packet id -> resolve
    this.queued = [];  // sent before CONNECT could leave
    this.onMessage = () => {};
    this.onClose = () => {};
    this.closed = false;
  }

  packetId() {
    const id = this.nextId;
    this.nextId = this.nextId >= 65535 ? 1 : this.nextId + 1;
    return id;
  }

  connect(timeoutMs = 10000) {
    return new Promise((resolve) => {
      let settled = false;
      const settle = (text) => { if (!settled) { settled = true; clearTimeout(timer); resolve(text); } };
      const timer = setTimeout(() => { settle('the broker did not answer'); this.close(); }, timeoutMs);
      let ws = takeWarm(this.url, this.WebSocketImpl);
      try {
        if (!ws) ws = new this.WebSocketImpl(this.url, 'mqtt');
      } catch (e) {
        settle(`bad broker address: ${this.url}`);
        return;
      }
      this.ws = ws;
      ws.binaryType = 'arraybuffer';
      ws.onopen = () => {
        ws.send(encodeConnect(this.clientId, this.username, this.password, this.keepaliveS));
        for (const p of this.queued.splice(0)) ws.send(p);
      };
      if (ws.readyState === 1) ws.onopen();
      ws.onerror = () => settle('cannot reach the broker');
      ws.onclose = () => {
        settle('cannot reach the broker');
        this.shutDown('the connection to the broker was lost');
      };
      ws.onmessage = (ev) => {
        if (!(ev.data instanceof ArrayBuffer)) { this.fail('the broker sent text'); return; }
        const packets = this.reader.push(new Uint8Array(ev.data));
        if (!packets) { this.fail('the broker broke the protocol'); return; }
        for (const p of packets) {
          if (this.closed) return;
          if (p.type === CONNACK) {
            if (p.body.length !== 2) { this.fail('the broker broke the protocol'); return; }
            const code = p.body[1];
            if (code === 0) {
              this.ping = setInterval(() => this.sendRaw(encodePacket(PINGREQ, 0, new Uint8Array(0))),
                                      this.keepaliveS * 500);
              settle(null);
            } else {
              settle(CONNACK_TEXT[code] || `the broker refused (${code})`);
              this.close();
            }
          } else {
            this.handle(p);
          }
        }
      };
    });
  }

  handle(p) {
    if (p.type === PUBLISH) {
      const m = parsePublish(p.flags, p.body);
      if (!m) { this.fail('the broker broke the protocol'); return; }
      if (m.qos === 1) this.sendRaw(encodePacket(PUBACK, 0, Uint8Array.of(m.packetId >> 8, m.packetId & 0xff)));
      // QoS 2 is never asked for; a broker that sends it anyway is not followed.
      if (m.qos <= 1) this.onMessage(m.topic, m.payload, m.retain);
    } else if (p.type === PUBACK || p.type === SUBACK) {
      if (p.body.length < 2) { this.fail('the broker broke the protocol'); return; }
      const id = (p.body[0] << 8) | p.body[1];
      const done = this.waiting.get(id);
      this.waiting.delete(id);
      if (done) done(p.type === SUBACK ? Array.from(p.body.subarray(2)) : true);
    }
    // PINGRESP and anything else: nothing to do.
  }

  sendRaw(bytes) {
    if (this.closed) return;
    if (this.ws && this.ws.readyState === 1) this.ws.send(bytes);
    else if (!this.ws || this.ws.readyState === 0) this.queued.push(bytes);
  }

  // Resolves to the granted QoS per topic (0x80 = refused), or null when closed first.
  subscribe(topics, qos = 1) {
    const id = this.packetId();
    return new Promise((resolve) => {
      this.waiting.set(id, resolve);
      this.sendRaw(encodeSubscribe(id, topics, qos));
    });
  }

  // QoS 1: resolves to true when the broker has it, null when closed first.
  publish(topic, text, qos = 1, retain = false) {
    const payload = utf8(text);
    if (qos === 0) { this.sendRaw(encodePublish(topic, payload, 0, 0, retain)); return Promise.resolve(true); }
    const id = this.packetId();
    return new Promise((resolve) => {
      this.waiting.set(id, resolve);
      this.sendRaw(encodePublish(topic, payload, 1, id, retain));
    });
  }

  fail(text) {
    this.shutDown(text);
    try { this.ws.close(); } catch {}
  }

  shutDown(text) {
    if (this.closed) return;
    this.closed = true;
    this.queued = [];
    clearInterval(this.ping);
    for (const done of this.waiting.values()) done(null);
    this.waiting.clear();
    this.onClose(text);
  }

  close() {
    if (this.closed) return;
    this.sendRaw(encodePacket(DISCONNECT, 0, new Uint8Array(0)));
    this.shutDown(null);
    try { this.ws.close(); } catch {}
  }
}
