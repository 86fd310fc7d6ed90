// AES-128 on single 16-byte blocks, without chaining. The browser's own crypto
// offers no plain block operation, and the session protocol needs exactly that.

const SBOX = new Uint8Array(256);
const INV_SBOX = new Uint8Array(256);

function xtime(b) {
  return ((b << 1) ^ (b & 0x80 ? 0x1b : 0)) & 0xff;
}

function mul(a, b) {
  let r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

// The S-box from its definition: the inverse in GF(2^8), then the affine map.
(function buildTables() {
  let p = 1, q = 1;
  do {
    p ^= xtime(p);                 // p times 3
    q ^= q << 1; q ^= q << 2; q ^= q << 4; q &= 0xff;  // q divided by 3
    if (q & 0x80) q ^= 0x09;
    const s = q ^ ((q << 1) | (q >> 7)) ^ ((q << 2) | (q >> 6)) ^ ((q << 3) | (q >> 5)) ^ ((q << 4) | (q >> 4));
    SBOX[p] = (s ^ 0x63) & 0xff;
  } while (p !== 1);
  SBOX[0] = 0x63;
  for (let i = 0; i < 256; i++) INV_SBOX[SBOX[i]] = i;
})();

// The 176-byte schedule of a 16-byte key.
function expandKey(key) {
  const w = new Uint8Array(176);
  w.set(key.subarray(0, 16));
  let rcon = 1;
  for (let i = 16; i < 176; i += 4) {
    let t0 = w[i - 4], t1 = w[i - 3], t2 = w[i - 2], t3 = w[i - 1];
    if (i % 16 === 0) {
      const r = t0;
      t0 = SBOX[t1] ^ rcon; t1 = SBOX[t2]; t2 = SBOX[t3]; t3 = SBOX[r];
      rcon = xtime(rcon);
    }
    w[i] = w[i - 16] ^ t0; w[i + 1] = w[i - 15] ^ t1; w[i + 2] = w[i - 14] ^ t2; w[i + 3] = w[i - 13] ^ t3;
  }
  return w;
}

function addRoundKey(s, w, round) {
  for (let i = 0; i < 16; i++) s[i] ^= w[round * 16 + i];
}

// State bytes are column-major, as the block's bytes stand: s[r + 4c].
function shiftRows(s, inverse) {
  const t = s.slice();
  for (let r = 1; r < 4; r++) {
    for (let c = 0; c < 4; c++) {
      const from = inverse ? (c - r + 4) % 4 : (c + r) % 4;
      s[r + 4 * c] = t[r + 4 * from];
    }
  }
}

function mixColumns(s, inverse) {
  const m = inverse ? [14, 11, 13, 9] : [2, 3, 1, 1];
  for (let c = 0; c < 4; c++) {
    const a = s.slice(4 * c, 4 * c + 4);
    for (let r = 0; r < 4; r++) {
      s[4 * c + r] = mul(a[0], m[(4 - r) % 4]) ^ mul(a[1], m[(5 - r) % 4]) ^
                     mul(a[2], m[(6 - r) % 4]) ^ mul(a[3], m[(7 - r) % 4]);
    }
  }
}

function checkArgs(key, block) {
  if (!(key instanceof Uint8Array) || key.length < 16) return false;
  if (!(block instanceof Uint8Array) || block.length < 16) return false;
  return true;
}

// Encrypts the first 16 bytes of `block` under the first 16 bytes of `key`.
// Returns a new 16-byte array, or null for arguments that are not such arrays.
export function aesEncryptBlock(key, block) {
  if (!checkArgs(key, block)) return null;
  const w = expandKey(key);
  const s = block.slice(0, 16);
  addRoundKey(s, w, 0);
  for (let round = 1; round <= 10; round++) {
    for (let i = 0; i < 16; i++) s[i] = SBOX[s[i]];
    shiftRows(s, false);
    if (round !== 10) mixColumns(s, false);
    addRoundKey(s, w, round);
  }
  return s;
}

// The inverse of aesEncryptBlock.
export function aesDecryptBlock(key, block) {
  if (!checkArgs(key, block)) return null;
  const w = expandKey(key);
  const s = block.slice(0, 16);
  addRoundKey(s, w, 10);
  for (let round = 9; round >= 0; round--) {
    shiftRows(s, true);
    for (let i = 0; i < 16; i++) s[i] = INV_SBOX[s[i]];
    addRoundKey(s, w, round);
    if (round !== 0) mixColumns(s, true);
  }
  return s;
}
