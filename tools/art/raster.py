"""Picture files for the installer's artwork, written with the standard library
only: PNG (RGBA, zlib) and baseline JPEG (YCbCr 4:2:0, Huffman tables built
from the picture's own symbol counts). Both writers are deterministic: the
same pixels give the same bytes on every run.

Pixels are given as a list of rows; each row is a bytes-like object of
width * channels values (RGB for JPEG, RGBA for PNG)."""
import heapq
import math
import struct
import zlib


def clamp8(v):
    return 0 if v <= 0 else 255 if v >= 255 else int(v + 0.5)


# ---------------------------------------------------------------- PNG

def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def encode_png(width, height, rows):
    """RGBA rows -> PNG bytes (8 bits per channel, no filtering)."""
    assert len(rows) == height and all(len(r) == width * 4 for r in rows)
    raw = b"".join(b"\x00" + bytes(r) for r in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + _chunk(b"IDAT", zlib.compress(raw, 9))
            + _chunk(b"IEND", b""))


# ---------------------------------------------------------------- JPEG

# Quantisation tables of the JPEG standard's example (natural order).
_LUMA_Q = [
    16, 11, 10, 16, 24, 40, 51, 61,
    12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56,
    14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77,
    24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101,
    72, 92, 95, 98, 112, 100, 103, 99]
_CHROMA_Q = [
    17, 18, 24, 47, 99, 99, 99, 99,
    18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99,
    47, 66, 99, 99, 99, 99, 99, 99] + [99] * 32


def _zigzag():
    """Natural index of each zig-zag position."""
    order = []
    for s in range(15):
        cells = [(i, s - i) for i in range(8) if 0 <= s - i < 8]
        # Even diagonals run upwards (row decreasing), odd ones downwards.
        if s % 2 == 0:
            cells.reverse()
        order += [r * 8 + c for r, c in cells]
    return order


ZIGZAG = _zigzag()
_AAN = [1.0, 1.387039845, 1.306562965, 1.175875602, 1.0, 0.785694958, 0.541196100, 0.275899379]


def _scaled_table(base, quality):
    scale = 5000 / quality if quality < 50 else 200 - quality * 2
    return [min(255, max(1, (q * scale + 50) // 100)) for q in base]


def _divisors(table):
    return [1.0 / (table[i] * _AAN[i // 8] * _AAN[i % 8] * 8.0) for i in range(64)]


def _fdct(block):
    """Float AAN forward DCT in place on 64 level-shifted samples (rows, then columns)."""
    for base in range(0, 64, 8):
        _dct8(block, base, 1)
    for base in range(8):
        _dct8(block, base, 8)


def _dct8(d, o, s):
    i0, i1, i2, i3, i4, i5, i6, i7 = (o, o + s, o + 2 * s, o + 3 * s, o + 4 * s, o + 5 * s, o + 6 * s, o + 7 * s)
    t0 = d[i0] + d[i7]
    t7 = d[i0] - d[i7]
    t1 = d[i1] + d[i6]
    t6 = d[i1] - d[i6]
    t2 = d[i2] + d[i5]
    t5 = d[i2] - d[i5]
    t3 = d[i3] + d[i4]
    t4 = d[i3] - d[i4]
    t10 = t0 + t3
    t13 = t0 - t3
    t11 = t1 + t2
    t12 = t1 - t2
    d[i0] = t10 + t11
    d[i4] = t10 - t11
    z1 = (t12 + t13) * 0.707106781
    d[i2] = t13 + z1
    d[i6] = t13 - z1
    t10 = t4 + t5
    t11 = t5 + t6
    t12 = t6 + t7
    z5 = (t10 - t12) * 0.382683433
    z2 = 0.541196100 * t10 + z5
    z4 = 1.306562965 * t12 + z5
    z3 = t11 * 0.707106781
    z11 = t7 + z3
    z13 = t7 - z3
    d[i5] = z13 + z2
    d[i3] = z13 - z2
    d[i1] = z11 + z4
    d[i7] = z11 - z4


def _category(v):
    v = -v if v < 0 else v
    n = 0
    while v:
        n += 1
        v >>= 1
    return n


def _block_symbols(coefs, previous_dc, out):
    """Appends (table, symbol, extra bit count, extra bits) for one quantised
    block in zig-zag order; returns the block's DC value."""
    kind = out[0]
    symbols = out[1]
    dc = coefs[0]
    diff = dc - previous_dc
    n = _category(diff)
    symbols.append((kind, n, n, diff if diff >= 0 else diff + (1 << n) - 1))
    run = 0
    for k in range(1, 64):
        v = coefs[k]
        if v == 0:
            run += 1
            continue
        while run > 15:
            symbols.append((kind + 1, 0xF0, 0, 0))
            run -= 16
        n = _category(v)
        symbols.append((kind + 1, (run << 4) | n, n, v if v >= 0 else v + (1 << n) - 1))
        run = 0
    if run:
        symbols.append((kind + 1, 0x00, 0, 0))
    return dc


def _huffman_table(counts):
    """(bits[1..16], values) of a length-limited Huffman code for the counted
    symbols, built the way the JPEG standard's Annex K describes: one reserved
    code point keeps any code from being all ones."""
    freq = dict(counts)
    freq[256] = 1
    heap = [(f, s, [s]) for s, f in sorted(freq.items())]
    heapq.heapify(heap)
    size = {s: 0 for s in freq}
    tick = 257
    while len(heap) > 1:
        f1, _, a = heapq.heappop(heap)
        f2, _, b = heapq.heappop(heap)
        for s in a + b:
            size[s] += 1
        heapq.heappush(heap, (f1 + f2, tick, a + b))
        tick += 1
    if len(freq) == 1:
        size[256] = 1
    bits = [0] * 33
    for s, n in size.items():
        bits[n] += 1
    for i in range(32, 16, -1):
        while bits[i] > 0:
            j = i - 2
            while bits[j] == 0:
                j -= 1
            bits[i] -= 2
            bits[i - 1] += 1
            bits[j + 1] += 2
            bits[j] -= 1
    i = 16
    while bits[i] == 0:
        i -= 1
    bits[i] -= 1  # drop the reserved code point (it has the longest code)
    values = [s for s in sorted(freq, key=lambda s: (size[s], s)) if s != 256]
    return bits[1:17], values


def _codes(bits, values):
    table = {}
    code = 0
    k = 0
    for length in range(1, 17):
        for _ in range(bits[length - 1]):
            table[values[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return table


class _BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, length):
        self.acc = (self.acc << length) | (value & ((1 << length) - 1))
        self.n += length
        while self.n >= 8:
            self.n -= 8
            byte = (self.acc >> self.n) & 0xFF
            self.out.append(byte)
            if byte == 0xFF:
                self.out.append(0)
        self.acc &= (1 << self.n) - 1

    def flush(self):
        if self.n:
            self.put((1 << (8 - self.n)) - 1, 8 - self.n)


def encode_jpeg(width, height, rows, quality=92):
    """RGB rows -> baseline JPEG bytes (JFIF, YCbCr with 2x2 chroma subsampling)."""
    assert len(rows) == height and all(len(r) == width * 3 for r in rows)
    luma_q = _scaled_table(_LUMA_Q, quality)
    chroma_q = _scaled_table(_CHROMA_Q, quality)
    luma_div = _divisors(luma_q)
    chroma_div = _divisors(chroma_q)
    mcu_w = (width + 15) // 16
    mcu_h = (height + 15) // 16

    symbols = []
    out = [0, symbols]
    dc = [0, 0, 0]

    def quantised(samples, div):
        _fdct(samples)
        return [int(round(samples[z] * div[z])) for z in ZIGZAG]

    # Colour conversion through per-channel lookup tables.
    y_r = [0.299 * v for v in range(256)]
    y_g = [0.587 * v for v in range(256)]
    y_b = [0.114 * v - 128.0 for v in range(256)]
    cb_r = [-0.168736 * v for v in range(256)]
    cb_g = [-0.331264 * v for v in range(256)]
    cr_g = [-0.418688 * v for v in range(256)]
    cr_b = [-0.081312 * v for v in range(256)]
    half = [0.5 * v for v in range(256)]
    padded = mcu_w * 16

    def convert(row):
        reds, greens, blues = row[0::3], row[1::3], row[2::3]
        ys = [y_r[r] + y_g[g] + y_b[b] for r, g, b in zip(reds, greens, blues)]
        cbs = [cb_r[r] + cb_g[g] + half[b] for r, g, b in zip(reds, greens, blues)]
        crs = [half[r] + cr_g[g] + cr_b[b] for r, g, b in zip(reds, greens, blues)]
        extra = padded - width
        return ys + ys[-1:] * extra, cbs + cbs[-1:] * extra, crs + crs[-1:] * extra

    def downsample(a, b):
        # The mean of each 2x2 square of two full-resolution rows.
        return [(a[k] + a[k + 1] + b[k] + b[k + 1]) * 0.25 for k in range(0, padded, 2)]

    for my in range(mcu_h):
        converted = [convert(rows[min(my * 16 + dy, height - 1)]) for dy in range(16)]
        ys = [c[0] for c in converted]
        cbs = [downsample(converted[2 * j][1], converted[2 * j + 1][1]) for j in range(8)]
        crs = [downsample(converted[2 * j][2], converted[2 * j + 1][2]) for j in range(8)]
        for mx in range(mcu_w):
            x0 = mx * 16
            out[0] = 0
            for by, bx in ((0, 0), (0, 8), (8, 0), (8, 8)):
                samples = []
                for j in range(8):
                    samples += ys[by + j][x0 + bx:x0 + bx + 8]
                dc[0] = _block_symbols(quantised(samples, luma_div), dc[0], out)
            c0 = mx * 8
            out[0] = 2
            for c, plane in ((1, cbs), (2, crs)):
                samples = []
                for j in range(8):
                    samples += plane[j][c0:c0 + 8]
                dc[c] = _block_symbols(quantised(samples, chroma_div), dc[c], out)

    # Tables 0/1 are luminance DC/AC, 2/3 chrominance DC/AC.
    counts = [dict() for _ in range(4)]
    for kind, sym, _, _ in symbols:
        counts[kind][sym] = counts[kind].get(sym, 0) + 1
    tables = [_huffman_table(c) for c in counts]
    codes = [_codes(*t) for t in tables]

    writer = _BitWriter()
    for kind, sym, n, extra in symbols:
        code, length = codes[kind][sym]
        writer.put(code, length)
        if n:
            writer.put(extra, n)
    writer.flush()

    def segment(marker, payload):
        return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload

    data = bytearray(b"\xff\xd8")
    data += segment(0xE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
    data += segment(0xDB, bytes([0]) + bytes(luma_q[z] for z in ZIGZAG)
                    + bytes([1]) + bytes(chroma_q[z] for z in ZIGZAG))
    data += segment(0xC0, struct.pack(">BHHB", 8, height, width, 3)
                    + bytes([1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1]))
    dht = bytearray()
    for index, (cls, ident) in enumerate(((0, 0), (1, 0), (0, 1), (1, 1))):
        bits, values = tables[index]
        dht += bytes([(cls << 4) | ident]) + bytes(bits) + bytes(values)
    data += segment(0xC4, bytes(dht))
    data += segment(0xDA, bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]))
    data += writer.out
    data += b"\xff\xd9"
    return bytes(data)


# ---------------------------------------------------------------- drawing helpers

def smoothstep(e0, e1, x):
    t = (x - e0) / (e1 - e0)
    t = 0.0 if t < 0 else 1.0 if t > 1 else t
    return t * t * (3 - 2 * t)


def mix(a, b, t):
    return (a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, a[2] + (b[2] - a[2]) * t)


def hex_colour(text):
    return (int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16))


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = 0.0 if t < 0 else 1.0 if t > 1 else t
    ex, ey = px - ax - dx * t, py - ay - dy * t
    return math.sqrt(ex * ex + ey * ey)
