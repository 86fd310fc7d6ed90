#!/usr/bin/env python3
"""A tiny TURN client over UDP, TCP or TLS: allocates with the given credentials,
asks for a permission to each peer address, releases the allocation, and prints
one line per step with the server's answer as a number (200 for success, else
the error code), e.g. "allocate 200", "permission 10.0.0.1 403".

    turn_probe.py [--tcp | --tls CA] HOST PORT USERNAME PASSWORD [PEER...]
    turn_probe.py --held N HOST PORT NAME SECRET
        N allocations held at once, each under "<expiry>:NAME" with an expiry of
        its own, credentials made from SECRET: "allocate 200 200 ... 486".
"""
import base64
import time
import hashlib
import hmac
import os
import socket
import ssl
import struct
import sys

MAGIC = 0x2112A442
ALLOCATE, REFRESH, CREATE_PERMISSION = 0x0003, 0x0004, 0x0008
USERNAME, INTEGRITY, ERROR_CODE, LIFETIME = 0x0006, 0x0008, 0x0009, 0x000D
PEER, REALM, NONCE, TRANSPORT = 0x0012, 0x0014, 0x0015, 0x0019


def attribute(kind, value):
    return struct.pack("!HH", kind, len(value)) + value + b"\0" * (-len(value) % 4)


def request(method, attributes, key=None):
    body = b"".join(attributes)
    txid = os.urandom(12)
    header = lambda length: struct.pack("!HHI12s", method, length, MAGIC, txid)
    if key is None:
        return txid, header(len(body)) + body
    # The integrity covers the message with its length already counting itself.
    mac = hmac.new(key, header(len(body) + 24) + body, hashlib.sha1).digest()
    return txid, header(len(body) + 24) + body + attribute(INTEGRITY, mac)


def receive(sock, stream):
    if not stream:
        return sock.recv(2048)
    # Over a stream, messages follow each other: the header says how long each is.
    data = b""
    while len(data) < 20 or len(data) < 20 + struct.unpack_from("!H", data, 2)[0]:
        more = sock.recv(2048)
        if not more:
            sys.exit("the TURN server closed the connection")
        data += more
    return data


def exchange(sock, method, attributes, key=None, stream=False):
    txid, message = request(method, attributes, key)
    for _ in range(1 if stream else 3):
        sock.sendall(message)
        try:
            while True:
                reply = receive(sock, stream)
                if len(reply) >= 20 and reply[8:20] == txid:
                    return parse(reply)
        except socket.timeout:
            continue
    sys.exit("no answer from the TURN server")


def parse(reply):
    kind, length = struct.unpack_from("!HH", reply)
    found, at = {}, 20
    while at + 4 <= min(len(reply), 20 + length):
        attr, size = struct.unpack_from("!HH", reply, at)
        found.setdefault(attr, reply[at + 4:at + 4 + size])
        at += 4 + size + (-size % 4)
    code = 200
    if kind & 0x0110 == 0x0110:
        value = found.get(ERROR_CODE, b"\0\0\0\0")
        code = (value[2] & 7) * 100 + value[3]
    return code, found


def xor_peer(address):
    packed = struct.unpack("!I", socket.inet_aton(address))[0] ^ MAGIC
    return attribute(PEER, struct.pack("!BBHI", 0, 1, 3478 ^ (MAGIC >> 16), packed))


def allocate(host, port, user, password):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(2)
    sock.connect((host, port))
    udp = attribute(TRANSPORT, bytes([17, 0, 0, 0]))
    code, found = exchange(sock, ALLOCATE, [udp])
    realm, nonce = found[REALM], found[NONCE]
    key = hashlib.md5(user.encode() + b":" + realm + b":" + password.encode()).digest()
    auth = [attribute(USERNAME, user.encode()), attribute(REALM, realm), attribute(NONCE, nonce)]
    return sock, exchange(sock, ALLOCATE, [udp] + auth, key)[0]


def held(count, host, port, name, secret):
    codes, socks = [], []
    for i in range(count):
        user = f"{int(time.time()) + 600 + i}:{name}"
        password = base64.b64encode(hmac.new(secret.encode(), user.encode(), hashlib.sha1).digest()).decode()
        sock, code = allocate(host, port, user, password)
        socks.append(sock)
        codes.append(str(code))
    print("allocate", " ".join(codes), flush=True)


def main():
    args, transport, ca = sys.argv[1:], "udp", None
    if args[0] == "--held":
        return held(int(args[1]), args[2], int(args[3]), args[4], args[5])
    if args[0] == "--tcp":
        transport, args = "tcp", args[1:]
    elif args[0] == "--tls":
        transport, ca, args = "tls", args[1], args[2:]
    host, port, user, password, peers = args[0], int(args[1]), args[2], args[3], args[4:]
    stream = transport != "udp"
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM if stream else socket.SOCK_DGRAM)
    sock.settimeout(2)
    sock.connect((host, port))
    if transport == "tls":
        sock = ssl.create_default_context(cafile=ca).wrap_socket(sock, server_hostname=host)
    call = lambda *a: exchange(sock, *a, stream=stream)
    udp = attribute(TRANSPORT, bytes([17, 0, 0, 0]))
    code, found = call(ALLOCATE, [udp])
    if code != 401 or REALM not in found or NONCE not in found:
        sys.exit(f"an allocation without credentials got {code}, not a challenge")
    realm, nonce = found[REALM], found[NONCE]
    key = hashlib.md5(user.encode() + b":" + realm + b":" + password.encode()).digest()
    auth = [attribute(USERNAME, user.encode()), attribute(REALM, realm), attribute(NONCE, nonce)]
    code, _ = call(ALLOCATE, [udp] + auth, key)
    print("allocate", code, flush=True)
    if code != 200:
        return
    for peer in peers:
        code, _ = call(CREATE_PERMISSION, [xor_peer(peer)] + auth, key)
        print("permission", peer, code, flush=True)
    call(REFRESH, [attribute(LIFETIME, struct.pack("!I", 0))] + auth, key)


main()
