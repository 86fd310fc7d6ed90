// A WebSocket endpoint (on the tests' own HTTP server) that joins each
// connection to a TCP session port: the stand-in device page hands the data
// channel's bytes to it, so the browser reaches a real service over its TCP
// route. Minimal server side of RFC 6455: binary messages, close, ping.
import { createHash } from 'node:crypto';
import { connect } from 'node:net';

const GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';

function frame(opcode, payload) {
  const n = payload.length;
  const head = n < 126 ? Buffer.from([0x80 | opcode, n])
    : n < 65536 ? Buffer.from([0x80 | opcode, 126, n >> 8, n & 0xff])
      : Buffer.concat([Buffer.from([0x80 | opcode, 127, 0, 0, 0, 0]), Buffer.from([n >>> 24, (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff])]);
  return Buffer.concat([head, payload]);
}

// Adds the bridge to `server` at `path`; each connection opens a TCP
// connection to 127.0.0.1:`port()`.
export function addBridge(server, path, port, log = () => {}) {
  server.on('upgrade', (req, socket) => {
    if (new URL(req.url, 'http://x').pathname !== path || !req.headers['sec-websocket-key']) { socket.destroy(); return; }
    const accept = createHash('sha1').update(req.headers['sec-websocket-key'] + GUID).digest('base64');
    socket.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
    const tcp = connect(port(), '127.0.0.1');
    let buffered = Buffer.alloc(0);
    const end = () => { tcp.destroy(); socket.destroy(); };
    tcp.on('data', (d) => {
      for (let i = 0; i < d.length; i += 16384) socket.write(frame(2, d.subarray(i, i + 16384)));
    });
    tcp.on('close', () => { log('bridge: the device closed the session\n'); end(); });
    tcp.on('error', end);
    socket.on('error', end);
    socket.on('close', end);
    socket.on('data', (d) => {
      buffered = Buffer.concat([buffered, d]);
      for (;;) {
        if (buffered.length < 2) return;
        const opcode = buffered[0] & 0x0f;
        let n = buffered[1] & 0x7f, at = 2;
        if (n === 126) { if (buffered.length < 4) return; n = buffered.readUInt16BE(2); at = 4; }
        else if (n === 127) { if (buffered.length < 10) return; n = Number(buffered.readBigUInt64BE(2)); at = 10; }
        if (n > 1 << 20) { end(); return; }
        if (buffered.length < at + 4 + n) return;
        const mask = buffered.subarray(at, at + 4);
        const payload = Buffer.from(buffered.subarray(at + 4, at + 4 + n));
        for (let i = 0; i < n; i++) payload[i] ^= mask[i & 3];
        buffered = buffered.subarray(at + 4 + n);
        if (opcode === 2 || opcode === 0) tcp.write(payload);
        else if (opcode === 8) { end(); return; }
        else if (opcode === 9) socket.write(frame(10, payload));
      }
    });
  });
}
