// The viewer's session protocol: packets, sealing, the password key, login.
//
// A packet is a 4-byte header (body length in the low 24 bits, the kind in
// byte 3) and a body: a 16-byte control block, then the payload.
//
//   offset  width  field
//   4       2      command
//   6       2      payload length (kinds 1 and 4); video: byte 6 viewer count, byte 7 0 key / 1 other
//   8       1      scramble byte (sealed kinds with a payload)
//   9       3      reserved, 0
//   12      4      payload length (kinds 2 and 3)
//   16      4      video: timestamp, ms
//   20      n      payload
//
// All numbers little-endian. Kind 1 is clear; kinds 2, 3 and 4 are sealed: the
// payload XORed with the scramble byte, then the control block encrypted as
// one AES-128 block.
import { aesEncryptBlock, aesDecryptBlock } from './aes.js';
import { viewerProof, deviceProof, sameBytes, BINDING_SIZE, PROOF_SIZE } from './binding.js';

export const KIND_PLAIN = 1;
export const KIND_SEALED32 = 2;
export const KIND_SEALED32_ALT = 3;
export const KIND_SEALED16 = 4;

export const CHANNEL_CONTROL = 0;
export const CHANNEL_VIDEO = 1;

export const CMD_MODE_REPORT = 0;
export const CMD_CHALLENGE = 1;
export const CMD_AUTH_ACCEPTED = 3;
export const CMD_AUTH_REFUSED = 4;
// AuthRefused's one byte from a device without a password, in place of the challenge.
export const REFUSED_NO_PASSWORD = 1;
export const REFUSED_OTHER_CHANNEL = 2;  // the answer was made over other certificates than the device's
export const CMD_VIDEO_FRAME = 3;
export const CMD_AUTH_RESPONSE = 2;
export const CMD_VIDEO_START = 1;
export const CMD_VIDEO_STOP = 2;
export const CMD_MARK_SET = 3;
export const CMD_MARK_CLEAR = 4;

export const HEADER_SIZE = 4;
export const CONTROL_SIZE = 16;
export const OVERHEAD = 20;
// The largest body the service sends: its video packet buffer less the header.
export const MAX_BODY_FROM_SERVICE = 262144 - HEADER_SIZE;

const isSealed = (kind) => kind >= KIND_SEALED32 && kind <= KIND_SEALED16;
const hasLength32 = (kind) => kind === KIND_SEALED32 || kind === KIND_SEALED32_ALT;

// The password buffer: its UTF-8 bytes cut at a character boundary to at
// most 23, zero-filled to 24. The AES key is its first 16 bytes; a login
// bound to its channel keys its MAC with all 24.
export function passwordBuffer(password) {
  const bytes = new TextEncoder().encode(String(password));
  let n = Math.min(bytes.length, 23);
  while (n > 0 && n < bytes.length && (bytes[n] & 0xc0) === 0x80) n--;
  const buffer = new Uint8Array(24);
  buffer.set(bytes.subarray(0, n));
  return buffer;
}

export function passwordKey(password) {
  return passwordBuffer(password).subarray(0, 16).slice();
}

// A clear or unsealed packet around `payload`. Returns a Uint8Array, or null
// when the payload does not fit the kind's length field.
export function buildPacket({ kind = KIND_PLAIN, command = 0, viewerCount = 0, deltaFrame = 0, timestampMs = 0 },
                            payload = new Uint8Array(0)) {
  const n = payload.length;
  if (n > 0xffffff - CONTROL_SIZE) return null;
  if (!hasLength32(kind) && n > 0xffff) return null;
  const p = new Uint8Array(OVERHEAD + n);
  const v = new DataView(p.buffer);
  v.setUint32(0, CONTROL_SIZE + n, true);
  p[3] = kind;
  v.setUint16(4, command, true);
  if (hasLength32(kind)) {
    p[6] = viewerCount; p[7] = deltaFrame;
    v.setUint32(12, n, true);
  } else {
    v.setUint16(6, n, true);
  }
  v.setUint32(16, timestampMs >>> 0, true);
  p.set(payload, OVERHEAD);
  return p;
}

// Seals a whole packet in place with `scramble` as its scramble byte.
export function sealPacket(key, packet, scramble = 0) {
  if (packet.length < OVERHEAD || !isSealed(packet[3])) return false;
  if (packet.length > OVERHEAD) {
    packet[8] = scramble;
    for (let i = OVERHEAD; i < packet.length; i++) packet[i] ^= scramble;
  }
  const block = aesEncryptBlock(key, packet.subarray(4, 20));
  if (!block) return false;
  packet.set(block, 4);
  return true;
}

// Unseals a body (the packet without its header) in place. True when the
// decrypted length field agrees with the body's length.
export function unsealBody(key, kind, body) {
  if (!isSealed(kind) || body.length < CONTROL_SIZE) return false;
  const block = aesDecryptBlock(key, body.subarray(0, CONTROL_SIZE));
  if (!block) return false;
  body.set(block, 0);
  const v = new DataView(body.buffer, body.byteOffset, body.length);
  const announced = hasLength32(kind) ? v.getUint32(8, true) : v.getUint16(2, true);
  if (announced + CONTROL_SIZE !== body.length) return false;
  const s = body[4];
  if (s !== 0) for (let i = CONTROL_SIZE; i < body.length; i++) body[i] ^= s;
  return true;
}

// Splits one channel's byte stream into packets. push() takes bytes as they
// come; complete packets go to onPacket(kind, body). A body length of 0 or
// over `maxBody` is a protocol fault: push() then returns false and the
// stream is useless from there on.
export class PacketReader {
  constructor(onPacket, maxBody = MAX_BODY_FROM_SERVICE) {
    this.onPacket = onPacket;
    this.maxBody = maxBody;
    this.header = new Uint8Array(HEADER_SIZE);
    this.headerHave = 0;
    this.body = null;
    this.bodyHave = 0;
    this.kind = 0;
    this.broken = false;
  }

  push(bytes) {
    if (this.broken) return false;
    let i = 0;
    while (i < bytes.length) {
      if (!this.body) {
        const take = Math.min(HEADER_SIZE - this.headerHave, bytes.length - i);
        this.header.set(bytes.subarray(i, i + take), this.headerHave);
        this.headerHave += take;
        i += take;
        if (this.headerHave < HEADER_SIZE) break;
        const length = this.header[0] | (this.header[1] << 8) | (this.header[2] << 16);
        if (length === 0 || length > this.maxBody) { this.broken = true; return false; }
        this.kind = this.header[3];
        this.body = new Uint8Array(length);
        this.bodyHave = 0;
      }
      const take = Math.min(this.body.length - this.bodyHave, bytes.length - i);
      this.body.set(bytes.subarray(i, i + take), this.bodyHave);
      this.bodyHave += take;
      i += take;
      if (this.bodyHave === this.body.length) {
        const body = this.body;
        this.body = null;
        this.headerHave = 0;
        this.onPacket(this.kind, body);
      }
    }
    return true;
  }
}

// The viewer's half of a session: login, sealed commands, opening what the
// service sends.
export class ViewerProtocol {
  constructor(password) {
    this.passwordBuffer = passwordBuffer(password);
    this.passwordKey = passwordKey(password);
    this.binding = null;
    this.challenge = null;
    this.sessionKey = null;
    this.scramble = crypto.getRandomValues(new Uint8Array(1))[0];
  }

  buildAuthResponse(challenge) {
    const block = new Uint8Array(16);
    block.set(challenge.subarray(0, 16));
    return buildPacket({ kind: KIND_PLAIN, command: CMD_AUTH_RESPONSE }, aesEncryptBlock(this.passwordKey, block));
  }

  acceptSessionKey(payload) {
    if (payload.length !== 16) return false;
    this.sessionKey = aesDecryptBlock(this.passwordKey, payload);
    return true;
  }

  // The login bound to the channel (binding.js): the answer carries the proof
  // and the binding as we see it; the acceptance must carry the device's
  // proof over the same binding, else the key is not taken.
  bindToChannel(binding) { this.binding = binding; }

  async buildBoundAuthResponse(challenge) {
    const c = new Uint8Array(16);
    c.set(challenge.subarray(0, 16));
    this.challenge = c;
    const proof = await viewerProof(this.passwordBuffer, c, this.binding);
    const payload = new Uint8Array(PROOF_SIZE + BINDING_SIZE);
    payload.set(proof);
    payload.set(this.binding, PROOF_SIZE);
    return buildPacket({ kind: KIND_PLAIN, command: CMD_AUTH_RESPONSE }, payload);
  }

  async acceptBoundSessionKey(payload) {
    if (payload.length !== 16 + PROOF_SIZE || !this.challenge) return false;
    const wrapped = payload.subarray(0, 16);
    const expected = await deviceProof(this.passwordBuffer, this.challenge, this.binding, wrapped);
    if (!sameBytes(expected, payload.subarray(16))) return false;
    this.sessionKey = aesDecryptBlock(this.passwordKey, wrapped);
    return true;
  }

  // A sealed command; null before the login has given a session key.
  buildCommand(command, payload = new Uint8Array(0)) {
    if (!this.sessionKey) return null;
    const packet = buildPacket({ kind: KIND_SEALED16, command }, payload);
    if (!packet) return null;
    const s = this.scramble;
    sealPacket(this.sessionKey, packet, s);
    if (payload.length > 0) this.scramble = s ^ payload[0];
    return packet;
  }

  // VideoStart asking for camera mode 0-3, or without a mode.
  buildVideoStart(mode) {
    if (mode === undefined || mode === null) return this.buildCommand(CMD_VIDEO_START);
    const payload = new Uint8Array(8);
    new DataView(payload.buffer).setUint32(0, mode >>> 0, true);
    return this.buildCommand(CMD_VIDEO_START, payload);
  }

  buildVideoStop() { return this.buildCommand(CMD_VIDEO_STOP); }

  // Opens a body from `channel`. Returns { type, command, payload, ... } with
  // type one of 'challenge', 'accepted', 'refused', 'mode', 'frame',
  // 'unknown'; or { error: 'nokey' | 'malformed' | 'kind' }.
  open(channel, kind, body) {
    if (kind === KIND_PLAIN) {
      if (body.length < CONTROL_SIZE) return { error: 'malformed' };
      if ((body[2] | (body[3] << 8)) + CONTROL_SIZE !== body.length) return { error: 'malformed' };
    } else if (isSealed(kind)) {
      if (!this.sessionKey) return { error: 'nokey' };
      if (!unsealBody(this.sessionKey, kind, body)) return { error: 'malformed' };
    } else {
      return { error: 'kind' };
    }
    const v = new DataView(body.buffer, body.byteOffset, body.length);
    const command = v.getUint16(0, true);
    const payload = body.subarray(CONTROL_SIZE);
    const m = { type: 'unknown', kind, command, payload };
    if (channel === CHANNEL_CONTROL && kind === KIND_PLAIN) {
      if (command === CMD_CHALLENGE) m.type = 'challenge';
      else if (command === CMD_AUTH_ACCEPTED) m.type = 'accepted';
      else if (command === CMD_AUTH_REFUSED) m.type = 'refused';
    } else if (channel === CHANNEL_CONTROL && kind === KIND_SEALED16 && command === CMD_MODE_REPORT &&
               payload.length >= 4) {
      m.type = 'mode';
      m.mode = v.getUint32(CONTROL_SIZE, true);
    } else if (channel === CHANNEL_VIDEO && hasLength32(kind) && command === CMD_VIDEO_FRAME) {
      m.type = 'frame';
      m.viewerCount = body[2];
      m.deltaFrame = body[3];
      m.timestampMs = v.getUint32(12, true);
    }
    return m;
  }
}

// A key frame starts with a start code and a High-profile sequence parameter set.
export function isKeyFrame(data) {
  return data.length >= 6 && data[0] === 0 && data[1] === 0 && data[2] === 0 && data[3] === 1 &&
         data[4] === 0x67 && data[5] === 0x64;
}
