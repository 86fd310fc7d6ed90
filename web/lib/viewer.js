// One viewing: the route, the transport session over its data channel, the
// login, and the video into a WebCodecs decoder. The page only shows what
// this reports through onState.
import { openRoute, routeOf } from './route.js';
import { TransportSession, END_LOCALLY, END_TIMEOUT, GREETING_HELD, GREETING_UNANSWERED } from './framing.js';
import {
  PacketReader, ViewerProtocol, CHANNEL_CONTROL, CHANNEL_VIDEO, REFUSED_NO_PASSWORD, REFUSED_OTHER_CHANNEL, isKeyFrame,
} from './packet.js';

export const MESSAGES = {
  wrongPassword: 'Wrong device password.',
  wrongPasswordOrIntercepted: 'Wrong device password, or the connection may be intercepted.',
  intercepted: 'The connection may be intercepted: the login did not hold over it (someone between you and the ' +
               'device, such as whoever runs the rendezvous, may be trying to read it). Nothing was shown.',
  noPassword: 'The device has no password, so it admits no viewer over the internet. Its owner must set one first.',
  notFound: 'Device not found: no device with this DID is online.',
  busy: 'The device is busy: eight viewers are watching it already. Try again later.',
  crowded: 'The device is busy answering other viewers. Try again in a moment.',
  lost: 'The connection to the device was lost.',
  noWebCodecs: 'This browser cannot decode the video (it has no WebCodecs). Use a current Chrome, Edge or Firefox.',
  version: 'The device speaks an older protocol than this page.',
  denied: 'This viewer account is not granted this device. Ask the rendezvous\'s operator for a grant.',
  timeout: 'The device did not answer in time.',
  decoder: 'The browser could not decode the video.',
  loginFailed: 'The browser could not compute the login over this connection, so the session was ended.',
  secondChallenge: 'The device asked for the password a second time in one session; the page stopped without answering.',
};

export function hasWebCodecs() {
  return typeof globalThis.VideoDecoder === 'function' && typeof globalThis.EncodedVideoChunk === 'function';
}

// The codec string of an Annex-B key frame from its sequence parameter set.
export function codecOf(frame) {
  if (frame.length < 8) return null;
  const hex = (b) => b.toString(16).padStart(2, '0');
  return `avc1.${hex(frame[5])}${hex(frame[6])}${hex(frame[7])}`;
}

const LOGIN_LIMIT_MS = 12000;
// A device answers a greeting that reached it within milliseconds; one still
// unanswered this long never arrived, and a fresh connection is tried (once),
// which has the whole handshake time.
const EARLY_RETRY_MS = 2500;
const MAX_DECODE_QUEUE = 20;

export class Viewer {
  // canvas: where frames are drawn; onState(state) after every change.
  constructor(canvas, onState) {
    this.canvas = canvas;
    this.onState = onState;
    this.state = { status: 'idle', message: '', fps: 0, route: '', viewers: 0, mode: null,
                   framesDecoded: 0, decodeErrors: 0, width: 0, height: 0, timings: {} };
    this.running = false;
  }

  // When each status and step of the way was first reached, in ms from the
  // Watch press: the tests' and the benchmark's trace of where the time goes.
  mark(step) {
    if (this.startedAt !== undefined && !(step in this.state.timings)) {
      this.state.timings[step] = Math.round(performance.now() - this.startedAt);
    }
  }

  set(change) {
    if (change.status && change.status !== this.state.status) this.mark(change.status);
    Object.assign(this.state, change);
    this.onState({ ...this.state });
  }

  // `again`: the second try of a start whose greeting never left the browser.
  async start(args, again = false) {
    const { broker, viewer, viewerPassword, did, devicePassword } = args;
    if (!hasWebCodecs()) { this.set({ status: 'error', message: MESSAGES.noWebCodecs }); return; }
    this.stop();
    this.startArgs = args;
    this.again = again;
    this.running = true;
    const run = this.run = {};
    // A second try runs on the first one's clock: the figures count from the Watch press.
    if (again) {
      this.mark('again');
    } else {
      this.startedAt = performance.now();
      this.state.timings = {};
    }
    this.set({ status: 'finding', message: '', fps: 0, route: '', viewers: 0, mode: null,
               framesDecoded: 0, decodeErrors: 0 });
    const opened = await openRoute({ broker, viewer, password: viewerPassword, did,
                                     onStatus: (s) => { if (this.run === run) this.set({ status: s }); },
                                     onStep: (s) => { if (this.run === run) this.mark(s); } });
    if (this.run !== run) { if (!opened.error) { opened.dc.close(); opened.pc.close(); opened.bye(); } return; }
    if (opened.error) {
      const byError = { notfound: MESSAGES.notFound, busy: MESSAGES.crowded, denied: MESSAGES.denied, version: MESSAGES.version,
                        timeout: MESSAGES.timeout };
      // The time really spent: an absent device is told at once, a blocked path only at the limit.
      const waited = ((performance.now() - this.startedAt) / 1000).toFixed(1);
      const text = byError[opened.error] || `Cannot connect: ${opened.text}.`;
      this.finish(text.replace(/\.$/, ` (after ${waited} s).`));
      return;
    }
    this.route = opened;
    this.startSession(run, opened, did, devicePassword);
  }

  startSession(run, { dc, pc, binding }, did, devicePassword) {
    const session = new TransportSession({
      send: (b) => { if (dc.readyState === 'open') dc.send(b); },
      close: () => dc.close(),
      held: () => dc.bufferedAmount,
    }, did, { earlyMs: this.again ? 0 : EARLY_RETRY_MS });
    this.session = session;
    const protocol = new ViewerProtocol(devicePassword);
    if (binding) protocol.bindToChannel(binding);
    this.protocol = protocol;
    let loggedIn = false;
    let challenged = false;
    const readers = [
      new PacketReader((kind, body) => this.onPacket(CHANNEL_CONTROL, kind, body)),
      new PacketReader((kind, body) => this.onPacket(CHANNEL_VIDEO, kind, body)),
    ];
    dc.onmessage = (ev) => {
      if (!(ev.data instanceof ArrayBuffer)) { session.end(11, 'text message'); return; }
      session.receive(new Uint8Array(ev.data));
    };
    dc.onclose = () => session.linkClosed();
    session.onRefused = (reason) => { this.refusal = reason; };
    session.onOpen = () => { this.mark('welcome'); this.set({ status: 'logging in' }); };
    session.onData = (channel, bytes) => {
      if (channel > CHANNEL_VIDEO) return;  // nothing is sent there; read and let go
      try {
        if (!readers[channel].push(bytes)) session.end(11, 'bad packet length');
      } catch (e) {
        // Whatever the device sent, the page stops cleanly and says so.
        session.end(11, `unreadable data: ${e.message}`);
      }
    };
    session.onEnd = (reason, detail) => {
      console.info(`session ended at ${Math.round(performance.now() - this.startedAt)} ms: ${detail} ` +
                   `(channel ${dc.readyState}, ${dc.bufferedAmount} bytes buffered)`);
      if (this.run !== run || this.session !== session) return;
      // The greeting never reached the device (the browser kept it queued, or it left and was lost):
      // once, a fresh connection.
      if ((detail === GREETING_HELD || detail === GREETING_UNANSWERED) && !this.again && this.startArgs) {
        this.start(this.startArgs, true);
        return;
      }
      let message = MESSAGES.lost;
      if (this.refusal === 2) message = MESSAGES.busy;
      else if (this.refusal === 3) message = MESSAGES.version;
      else if (this.refusal !== undefined) message = `The device refused the session (${this.refusal}).`;
      // A device with eight viewers logged in ends a new session before its challenge.
      else if (!challenged && reason !== END_LOCALLY && detail !== 'no welcome' && session.peerVersion) message = MESSAGES.busy;
      else if (reason === END_TIMEOUT && !loggedIn) message = MESSAGES.timeout;
      this.finish(reason === END_LOCALLY ? '' : message);
    };
    this.onPacket = (channel, kind, body) => {
      const m = protocol.open(channel, kind, body);
      if (m.error) {
        // A packet that does not open is the peer's fault: the stream cannot be trusted after it.
        session.end(11, `packet ${m.error}`);
        return;
      }
      const current = () => this.run === run && this.session === session;
      if (m.type === 'challenge') {
        // One answer per session: a second challenge would only be someone
        // collecting answers to test passwords against.
        if (challenged) { this.finish(MESSAGES.secondChallenge); return; }
        challenged = true;
        this.mark('challenge');
        if (!protocol.binding) { session.write(CHANNEL_CONTROL, protocol.buildAuthResponse(m.payload)); return; }
        protocol.buildBoundAuthResponse(m.payload).then((p) => { if (current()) { this.mark('answered'); session.write(CHANNEL_CONTROL, p); } },
                                                        (e) => { if (current()) this.finish(`${MESSAGES.loginFailed} (${e && e.message})`); });
      } else if (m.type === 'accepted') {
        const loggedInNow = () => {
          loggedIn = true;
          this.mark('accepted');
          clearTimeout(this.loginTimer);
          this.set({ status: 'waiting for a key frame' });
          session.write(CHANNEL_CONTROL, protocol.buildVideoStart());
        };
        if (!protocol.binding) {
          if (!protocol.acceptSessionKey(m.payload)) { session.end(11, 'bad session key'); return; }
          loggedInNow();
          return;
        }
        protocol.acceptBoundSessionKey(m.payload).then((accepted) => {
          if (!current()) return;
          if (accepted) loggedInNow(); else this.finish(MESSAGES.intercepted);
        }, (e) => { if (current()) this.finish(`${MESSAGES.loginFailed} (${e && e.message})`); });
      } else if (m.type === 'refused') {
        const reason = m.payload.length === 1 ? m.payload[0] : 0;
        if (!challenged && reason === REFUSED_NO_PASSWORD) this.finish(MESSAGES.noPassword);
        else if (reason === REFUSED_OTHER_CHANNEL) this.finish(MESSAGES.intercepted);
        else this.finish(protocol.binding ? MESSAGES.wrongPasswordOrIntercepted : MESSAGES.wrongPassword);
      } else if (m.type === 'mode') {
        this.set({ mode: m.mode });
      } else if (m.type === 'frame') {
        this.onFrame(m);
      }
    };
    this.loginTimer = setTimeout(() => { if (!loggedIn) session.end(END_TIMEOUT, 'login'); }, LOGIN_LIMIT_MS);
    this.refusal = undefined;
    this.fpsCount = 0;
    this.fpsTimer = setInterval(() => {
      this.set({ fps: this.fpsCount });
      this.fpsCount = 0;
      routeOf(pc).then((r) => { if (r && this.run === run) this.set({ route: r.text }); });
    }, 1000);
    this.set({ status: 'logging in' });
    session.start();
    this.mark('hello');
    // For the tests' console capture: whether the greeting left and how the session ends.
    console.info(`hello sent at ${Math.round(performance.now() - this.startedAt)} ms (channel ${dc.readyState}, ` +
                 `${dc.bufferedAmount} bytes buffered)`);
  }

  // Asks the camera for a mode; the device answers every watcher with a mode report.
  setMode(mode) {
    if (!this.session || !this.protocol || !this.protocol.sessionKey) return false;
    return this.session.write(CHANNEL_CONTROL, this.protocol.buildVideoStart(mode));
  }

  onFrame(m) {
    if (m.viewerCount !== this.state.viewers) this.set({ viewers: m.viewerCount });
    const key = isKeyFrame(m.payload);
    if (key) this.mark('key frame');
    if (!this.decoder || this.decoder.state === 'closed') {
      if (!key || !this.openDecoder(codecOf(m.payload))) return;
    }
    if (this.needKey && !key) return;
    if (this.decoder.decodeQueueSize > MAX_DECODE_QUEUE) { this.needKey = true; return; }
    this.needKey = false;
    try {
      this.decoder.decode(new EncodedVideoChunk({ type: key ? 'key' : 'delta', timestamp: m.timestampMs * 1000,
                                                  data: m.payload }));
    } catch {
      this.needKey = true;
    }
  }

  openDecoder(codec) {
    if (!codec) return false;
    const ctx = this.canvas.getContext('2d');
    this.decoder = new VideoDecoder({
      output: (frame) => {
        if (this.canvas.width !== frame.displayWidth || this.canvas.height !== frame.displayHeight) {
          this.canvas.width = frame.displayWidth;
          this.canvas.height = frame.displayHeight;
        }
        ctx.drawImage(frame, 0, 0);
        frame.close();
        this.fpsCount++;
        this.state.framesDecoded++;
        if (this.state.status !== 'live') this.set({ status: 'live', width: this.canvas.width, height: this.canvas.height });
      },
      error: (e) => {
        // The decoder closes itself; the next key frame opens a new one.
        this.set({ decodeErrors: this.state.decodeErrors + 1, message: `${MESSAGES.decoder} (${e.message})` });
        this.decoder = null;
      },
    });
    try {
      this.decoder.configure({ codec, optimizeForLatency: true });
    } catch (e) {
      this.set({ decodeErrors: this.state.decodeErrors + 1, message: `${MESSAGES.decoder} (${e.message})` });
      this.decoder = null;
      return false;
    }
    this.needKey = false;
    this.mark('decoder');
    return true;
  }

  finish(message) {
    const run = this.run;
    this.teardown();
    if (run === this.run) this.set({ status: message ? 'error' : 'idle', message, fps: 0 });
  }

  teardown() {
    this.running = false;
    clearTimeout(this.loginTimer);
    clearInterval(this.fpsTimer);
    if (this.session) { const s = this.session; this.session = null; s.close(); }
    if (this.decoder && this.decoder.state !== 'closed') { try { this.decoder.close(); } catch {} }
    this.decoder = null;
    if (this.route) {
      const r = this.route;
      this.route = null;
      try { r.dc.close(); } catch {}
      try { r.pc.close(); } catch {}
      r.bye();
    }
    this.protocol = null;
    this.startArgs = null;  // (the passwords with it)
  }

  stop() {
    if (!this.run) return;
    this.teardown();
    this.run = null;
    this.set({ status: 'idle', message: '', fps: 0 });
  }
}
