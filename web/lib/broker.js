// Which broker addresses the page may use. The page's Content-Security-Policy
// (its connect-src) is the one place that names them: the page's own origin,
// whose web server passes WebSocket requests on to the broker, and whatever its
// operator adds there. Links without TLS only reach this computer.

const LOOPBACK_NAMES = new Set(['localhost', '[::1]']);

export function isLoopbackHost(hostname) {
  const h = hostname.toLowerCase();
  return LOOPBACK_NAMES.has(h) || h.endsWith('.localhost') || /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(h);
}

// The connect-src sources of a policy text, or null when it has none.
export function connectSources(policy) {
  let fallback = null;
  for (const part of String(policy).split(';')) {
    const [name, ...values] = part.trim().split(/\s+/);
    if (name === 'connect-src') return values;
    if (name === 'default-src') fallback = values;
  }
  return fallback;
}

const defaultPort = (scheme) => (scheme === 'wss:' || scheme === 'https:' ? '443' : '80');

// Whether one source expression allows the WebSocket URL u from a page at page.
function sourceAllows(source, u, page) {
  if (source === "'self'") {
    if (u.host !== page.host) return false;
    return u.protocol === 'wss:' || (u.protocol === 'ws:' && page.protocol === 'http:');
  }
  const m = source.match(/^([a-z][a-z0-9+.-]*:)\/\/(\*\.)?([^/:]+|\[[0-9a-f:.]+\])(?::(\d+|\*))?(\/.*)?$/i);
  if (!m) return false;
  const [, scheme, wildcard, host, port] = m;
  if (scheme.toLowerCase() !== u.protocol) return false;
  const h = host.toLowerCase();
  if (wildcard ? !u.hostname.endsWith(`.${h}`) : u.hostname !== h) return false;
  return port === '*' || (port || defaultPort(u.protocol)) === (u.port || defaultPort(u.protocol));
}

// Null when the page may use url as its broker, else what the user is told.
// page: the page's location; policy: the text of its Content-Security-Policy.
export function brokerProblem(url, page, policy) {
  let u;
  try {
    u = new URL(url);
  } catch {
    return `"${url}" is not a broker address; it looks like wss://host:port/.`;
  }
  if (u.protocol === 'mqtt:' || u.protocol === 'mqtts:') {
    return 'The page reaches the broker over WebSocket only: give its wss:// address, not an mqtt:// one.';
  }
  if (u.protocol !== 'wss:' && u.protocol !== 'ws:') return 'A broker address starts with wss://.';
  if (u.username || u.password) return 'A broker address carries no name or password: type them in their own boxes.';
  if (u.protocol === 'ws:' && !isLoopbackHost(u.hostname)) {
    return `The link to ${u.host} would not be encrypted, so the passwords and the call could be read on the way. ` +
           'Only a broker on this computer may be reached without TLS: use wss://.';
  }
  const sources = connectSources(policy);
  if (sources && !sources.some((s) => sourceAllows(s, u, page))) {
    return `This page may reach only the broker its operator set up (${page.protocol === 'http:' ? 'ws' : 'wss'}://${page.host}/), ` +
           `not ${u.host}. A broker elsewhere must be added to the page's Content-Security-Policy by its operator.`;
  }
  return null;
}
