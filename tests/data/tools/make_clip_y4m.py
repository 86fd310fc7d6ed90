# Writes a synthetic 320x240 4:2:0 clip: a drifting gradient with a square that
# moves across it, so every frame differs a little from the one before.
import sys
W, H, N, FPS = 320, 240, int(sys.argv[2]), 25
out = open(sys.argv[1], "wb")
out.write(b"YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n" % (W, H, FPS))
for n in range(N):
    y = bytearray(W * H)
    for r in range(H):
        base = (r + 2 * n) & 0xFF
        row = bytes(((c + base) // 2 + 16) & 0xFF for c in range(W))
        y[r * W:(r + 1) * W] = row
    sx, sy = (8 * n) % (W - 48), 96 + int(40 * ((n % 50) / 50.0))
    for r in range(sy, sy + 48):
        y[r * W + sx:r * W + sx + 48] = b"\xeb" * 48
    u = bytes([(128 + n) & 0xFF]) * (W * H // 4)
    v = bytes([(160 - n) & 0xFF]) * (W * H // 4)
    out.write(b"FRAME\n" + bytes(y) + u + v)
