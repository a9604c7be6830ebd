#!/usr/bin/env python3
"""Draws the installer icon (a gold ring on a dusk-violet tile) and writes a
Windows .ico with 16, 32 and 48 px images as 32-bit bitmaps and a 256 px PNG.
Deterministic: the same bytes on every run, standard library only."""
import struct
import sys
import zlib


def render(size):
    """RGBA rows of the artwork at `size` px, 4x4 supersampled."""
    ss = 4
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    u = (x + (sx + 0.5) / ss) / size
                    v = (y + (sy + 0.5) / ss) / size
                    r, g, b, a = sample(u, v)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = ss * ss
            a = acc[3] / n
            if a > 0:
                px = [acc[0] / acc[3], acc[1] / acc[3], acc[2] / acc[3]]
            else:
                px = [0, 0, 0]
            row += bytes([round(px[0]), round(px[1]), round(px[2]), round(a * 255)])
        rows.append(bytes(row))
    return rows


def sample(u, v):
    # Rounded tile (radius 0.2) with a vertical violet gradient.
    m, r = 0.04, 0.2
    cx = min(max(u, m + r), 1 - m - r)
    cy = min(max(v, m + r), 1 - m - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0.0)
    top, bottom = (74, 52, 140), (28, 22, 52)
    col = [top[i] + (bottom[i] - top[i]) * v for i in range(3)]
    # Gold ring with a gap at the upper right, like a stylised "O".
    d = ((u - 0.5) ** 2 + (v - 0.52) ** 2) ** 0.5
    if 0.2 <= d <= 0.31 and not (u > 0.56 and v < 0.4):
        t = (d - 0.2) / 0.11
        gold = (246 - 40 * t, 200 - 40 * t, 98 - 30 * t)
        return (gold[0], gold[1], gold[2], 1.0)
    # A small accent dot in the gap.
    if (u - 0.73) ** 2 + (v - 0.27) ** 2 < 0.055 ** 2:
        return (255, 236, 170, 1.0)
    return (col[0], col[1], col[2], 1.0)


def png(size, rows):
    raw = b"".join(b"\x00" + r for r in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(p for i in range(0, len(r), 4) for p in (r[i + 2], r[i + 1], r[i], r[i + 3]))
                      for r in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for r in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(size):
            if r[x * 4 + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def main(out):
    images = []
    for size in (16, 32, 48, 256):
        rows = render(size)
        images.append((size, png(size, rows) if size == 256 else dib(size, rows)))
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, blob in images:
        dim = 0 if size == 256 else size
        data += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    data += b"".join(blob for _, blob in images)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
