// A stand-in for the device side of the internet route, for the page's
// end-to-end test while it runs without one: it meets viewers by DID on the
// broker as a device does, offers the data channel, and hands the channel's
// bytes to the test's bridge, which joins them to a real service's TCP session.
import { MqttClient } from '../lib/mqtt.js';
import { parseSignal } from '../lib/route.js';

const q = new URLSearchParams(location.search);
const did = q.get('did');
const status = (window.deviceStatus = { ready: false, sessions: 0, error: '', events: [] });
const mqtt = new MqttClient(q.get('broker'), { clientId: did, username: did, password: 'x' });
const attempts = new Map();

mqtt.onMessage = async (topic, payload) => {
  const viewer = topic.split('/')[3];
  const m = parseSignal(payload);
  if (!m || !viewer) return;
  status.events.push(`${m.type}${m.candidate ? ' ' + m.candidate : ''}`);
  const reply = (o) => mqtt.publish(`pppp/v/${viewer}/${did}`, JSON.stringify({ ...o, sid: m.sid }));
  if (m.type === 'call') {
    if (m.version !== 2) { reply({ type: 'refuse', reason: 'version' }); return; }
    const pc = new RTCPeerConnection({ iceServers: [] });
    attempts.set(m.sid, pc);
    const dc = pc.createDataChannel('pppp', { ordered: true });
    dc.binaryType = 'arraybuffer';
    pc.onconnectionstatechange = () => status.events.push(`pc ${pc.connectionState}`);
    pc.onicecandidate = (ev) => {
      status.events.push(`local ${ev.candidate && ev.candidate.candidate}`);
      if (ev.candidate && ev.candidate.candidate) reply({ type: 'candidate', candidate: ev.candidate.candidate, mline: 0 });
    };
    dc.onopen = () => {
      status.sessions++;
      const ws = new WebSocket(q.get('bridge'));
      ws.binaryType = 'arraybuffer';
      const early = [];
      dc.onmessage = (ev) => (ws.readyState === 1 ? ws.send(ev.data) : early.push(ev.data));
      ws.onopen = () => { for (const d of early.splice(0)) ws.send(d); };
      ws.onmessage = (ev) => {
        const b = new Uint8Array(ev.data);
        for (let i = 0; i < b.length; i += 16384) dc.send(b.subarray(i, i + 16384));
      };
      ws.onclose = () => { dc.close(); pc.close(); };
      dc.onclose = () => ws.close();
    };
    await pc.setLocalDescription(await pc.createOffer());
    reply({ type: 'offer', sdp: pc.localDescription.sdp, ice: [] });
  } else if (m.type === 'answer' && attempts.has(m.sid)) {
    attempts.get(m.sid).setRemoteDescription({ type: 'answer', sdp: m.sdp }).catch((e) => { status.error = String(e); });
  } else if (m.type === 'candidate' && attempts.has(m.sid)) {
    attempts.get(m.sid).addIceCandidate({ candidate: m.candidate, sdpMLineIndex: 0 }).catch(() => {});
  } else if (m.type === 'bye' && attempts.has(m.sid)) {
    attempts.get(m.sid).close();
    attempts.delete(m.sid);
  }
};

(async () => {
  const failed = await mqtt.connect();
  if (failed) { status.error = failed; return; }
  await mqtt.subscribe([`pppp/d/${did}/+`]);
  await mqtt.publish(`pppp/p/${did}`, '1', 1, true);
  status.ready = true;
})();
