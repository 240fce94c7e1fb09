# SPDX-License-Identifier: GPL-3.0-or-later
# Draws Bitoner's icon as a PNG, indexed (at most 256 colours) where that suffices; run once as
#   python3 assets/make_icon.py assets/bitoner.png            the 32x32 window icon
#   python3 assets/make_icon.py assets/icons/48.png 48        the same design at another size
# The design is drawn on a 32-unit square; assets/bitoner.svg is the same drawing as a vector.
import math, struct, zlib, sys
N = int(sys.argv[2]) if len(sys.argv) > 2 else 32; SS = 4; SCALE = 32 / N
BG = (192, 192, 255); BORDER = (40, 40, 120); WAVE = (20, 20, 90); DOT = (200, 40, 40); DASH = (30, 120, 40)
def sample(x, y):
    # rounded square
    r = 5.0; lo, hi = 0.5, 32 - 0.5
    cx = min(max(x, lo + r), hi - r); cy = min(max(y, lo + r), hi - r)
    d = math.hypot(x - cx, y - cy)
    if d > r: return None
    if d > r - 1.6: return BORDER
    # two-frequency tone track: slow wave on the left half, fast on the right
    f = 1.5 if x < 16 else 3.0
    wy = 12 + 5 * math.sin(2 * math.pi * f * (x - 2) / 16)
    if 2.5 < x < 29.5 and abs(y - wy) < 1.1: return WAVE
    # a dot and a dash underneath
    if math.hypot(x - 8.5, y - 24.5) < 2.6: return DOT
    if 14 < x < 27 and 22.3 < y < 26.7: return DASH
    return BG
px = []
for j in range(N):
    row = []
    for i in range(N):
        acc = [0, 0, 0, 0]
        for sj in range(SS):
            for si in range(SS):
                c = sample((i + (si + 0.5) / SS) * SCALE, (j + (sj + 0.5) / SS) * SCALE)
                if c is not None:
                    acc[0] += c[0]; acc[1] += c[1]; acc[2] += c[2]; acc[3] += 255
        n = SS * SS
        a = acc[3] // n
        if a == 0:
            row.append((0, 0, 0, 0))
        else:
            k = acc[3] // 255
            # quantise to keep the palette small
            q = lambda v: min(255, (v // k + 4) // 8 * 8)
            row.append((q(acc[0]), q(acc[1]), q(acc[2]), min(255, (a + 16) // 32 * 32)))
    px.append(row)
pal = sorted(set(p for r in px for p in r))
def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
png = b'\x89PNG\r\n\x1a\n'
if len(pal) <= 256:
    idx = {p: i for i, p in enumerate(pal)}
    raw = b''.join(b'\0' + bytes(idx[p] for p in r) for r in px)
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', N, N, 8, 3, 0, 0, 0))
    png += chunk(b'PLTE', b''.join(bytes(p[:3]) for p in pal))
    png += chunk(b'tRNS', bytes(p[3] for p in pal))
else:
    raw = b''.join(b'\0' + b''.join(bytes(p) for p in r) for r in px)
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', N, N, 8, 6, 0, 0, 0))
png += chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')
open(sys.argv[1], 'wb').write(png)
print(len(pal), 'colours')
