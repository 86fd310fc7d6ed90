// The login bound to the channel it runs on (as the device and ZELT2Viewer do
// it). Both ends derive one value from the two certificates the DTLS handshake
// actually used; the answer to the challenge and the device's acceptance are
// HMAC-SHA-256 proofs over it under the password buffer, cut to 16 bytes. A
// party in the middle that shows each end its own certificate leaves the two
// ends with different values, and the login fails on both.
//
//   binding    = SHA-256("ZLT channel binding" || SHA-256(device DER) || SHA-256(viewer DER))
//   answer     = HMAC(P, "ZLT viewer proof" || challenge || binding)[0..16]
//   acceptance = HMAC(P, "ZLT device proof" || challenge || binding || wrapped key)[0..16]

const text = (s) => new TextEncoder().encode(s);
const cat = (...parts) => {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let i = 0;
  for (const p of parts) { out.set(p, i); i += p.length; }
  return out;
};
const sha256 = async (bytes) => new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));

export const BINDING_SIZE = 32;
export const PROOF_SIZE = 16;

export async function bindingOf(deviceFingerprint, viewerFingerprint) {
  return sha256(cat(text('ZLT channel binding'), deviceFingerprint, viewerFingerprint));
}

// "AB:CD:..." as a browser gives a certificate's fingerprint.
export function fingerprintBytes(value) {
  const parts = String(value).split(':');
  if (parts.length !== 32 || parts.some((p) => !/^[0-9a-fA-F]{2}$/.test(p))) return null;
  return Uint8Array.from(parts, (p) => parseInt(p, 16));
}

// The binding of an open peer connection: the device's certificate as the
// DTLS handshake delivered it, and our own (the one certificate the
// connection was made with). null when the browser cannot tell. The channel's
// opening and the DTLS transport's may reach the page in either order: without
// the device's certificate yet, it waits for the transport's next state, at
// most waitMs.
export async function channelBinding(pc, certificate, waitMs = 3000) {
  const transport = pc.sctp && pc.sctp.transport;
  if (!transport || typeof transport.getRemoteCertificates !== 'function') return null;
  let remote = transport.getRemoteCertificates();
  if ((!remote || remote.length === 0) && transport.state !== 'failed' && transport.state !== 'closed') {
    await new Promise((resolve) => {
      const done = () => { clearTimeout(timer); transport.removeEventListener('statechange', changed); resolve(); };
      const changed = () => { if (transport.state !== 'new' && transport.state !== 'connecting') done(); };
      const timer = setTimeout(done, waitMs);
      transport.addEventListener('statechange', changed);
    });
    remote = transport.getRemoteCertificates();
  }
  if (!remote || remote.length === 0) return null;
  const own = certificate.getFingerprints().find((f) => String(f.algorithm).toLowerCase() === 'sha-256');
  const mine = own && fingerprintBytes(own.value);
  if (!mine) return null;
  return bindingOf(await sha256(remote[0]), mine);
}

async function proof(passwordBuffer, label, ...parts) {
  const key = await crypto.subtle.importKey('raw', passwordBuffer, { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
  const mac = new Uint8Array(await crypto.subtle.sign('HMAC', key, cat(text(label), ...parts)));
  return mac.subarray(0, PROOF_SIZE).slice();
}

export const viewerProof = (passwordBuffer, challenge, binding) =>
  proof(passwordBuffer, 'ZLT viewer proof', challenge, binding);
export const deviceProof = (passwordBuffer, challenge, binding, wrappedKey) =>
  proof(passwordBuffer, 'ZLT device proof', challenge, binding, wrappedKey);

// Compares without stopping at the first difference.
export function sameBytes(a, b) {
  if (a.length !== b.length) return false;
  let diff = 0;
  for (let i = 0; i < a.length; i++) diff |= a[i] ^ b[i];
  return diff === 0;
}
