# Drops the SEI NAL units (type 6) from an Annex-B stream, keeping every other
# NAL unit with its own start code, so that key frames begin with the SPS.
import sys
data = open(sys.argv[1], "rb").read()
starts = []
i = 0
while True:
    j = data.find(b"\x00\x00\x01", i)
    if j < 0:
        break
    starts.append(j - 1 if j > 0 and data[j - 1] == 0 else j)
    i = j + 3
out = bytearray()
for k, s in enumerate(starts):
    e = starts[k + 1] if k + 1 < len(starts) else len(data)
    nal = data[s:e]
    header = nal[nal.index(b"\x00\x00\x01") + 3]
    if header & 0x1F != 6:
        out += nal
open(sys.argv[2], "wb").write(out)
