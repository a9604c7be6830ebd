#!/usr/bin/env python3
"""Draws the installer's background picture (resource 101): a dusk landscape
with a golden moon, layered mountain ranges, a castle on a crag and drifting
embers, and writes it as a baseline JPEG of 1965 x 822 pixels.

The window shows the left 1345 columns of the picture at about two thirds of
its size and darkens everything right of its middle, so the moon, the castle
and the light sit in the left half; the lower left stays dark, because the
slogan is drawn there. Deterministic, standard library only.

Usage: make_background.py OUTPUT.jpg"""
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import raster  # noqa: E402
from raster import hex_colour, mix, smoothstep  # noqa: E402

W, H = 1965, 822
MOON = (430.0, 215.0, 66.0)  # centre x, centre y, radius

SKY = [(0.00, hex_colour("0b0c1e")), (0.30, hex_colour("1a1842")), (0.50, hex_colour("3a2968")),
       (0.62, hex_colour("8a4a78")), (0.70, hex_colour("d88a5e")), (0.76, hex_colour("f0b26a")),
       (1.00, hex_colour("f6c27a"))]


def gradient(stops, t):
    for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
        if t <= t1:
            return mix(c0, c1, (t - t0) / (t1 - t0))
    return stops[-1][1]


def ridge(x, base, waves, peaks=()):
    """Height (image y) of a mountain range at column x: a base line lifted by
    sine waves (sharpened into ridges) and by a few gaussian peaks."""
    h = 0.0
    for amp, freq, phase in waves:
        s = math.sin(x * freq + phase)
        h += amp * (1.0 - abs(s)) if amp > 0 else -amp * s
    for px, width, height in peaks:
        d = (x - px) / width
        h += height * math.exp(-d * d)
    return base - h


# Far to near: (colour at the ridge, colour deep in the layer, mist colour, heights per column).
LAYERS = [
    (hex_colour("6d4f8e"), hex_colour("8a5e8a"), hex_colour("c98a86"),
     [ridge(x, 505, [(70, 0.0061, 0.4), (28, 0.019, 1.7), (9, 0.061, 0.3)], [(900, 140, 90), (1500, 180, 60)])
      for x in range(W)]),
    (hex_colour("3d2e63"), hex_colour("54396f"), hex_colour("9a5f7c"),
     [ridge(x, 560, [(55, 0.0083, 2.1), (22, 0.027, 0.9), (7, 0.083, 2.4)], [(120, 90, 70), (1180, 120, 80)])
      for x in range(W)]),
    (hex_colour("221b40"), hex_colour("2c2049"), hex_colour("5b3b68"),
     [ridge(x, 640, [(40, 0.0102, 0.2), (16, 0.034, 2.9), (6, 0.11, 1.1)], [(250, 75, 185), (700, 160, 70)])
      for x in range(W)]),
    (hex_colour("0f0c1f"), hex_colour("0a0916"), hex_colour("1d1530"),
     [ridge(x, 720, [(34, 0.0071, 1.3), (14, 0.041, 0.6), (5, 0.13, 2.2)], [(1100, 260, 60)])
      for x in range(W)]),
]

# The castle stands on a mesa cut into the crag of the third layer (peak at x 250).
CASTLE_LAYER = 2


def raise_mesa(heights):
    plateau = heights[250] + 14
    for x in range(W):
        shoulder = max(0, 192 - x, x - 362)
        heights[x] = min(heights[x], plateau + 0.018 * shoulder * shoulder)
    return plateau


MESA = raise_mesa(LAYERS[CASTLE_LAYER][3])


def castle_shapes():
    """Rectangles and roofs (triangles) of the castle silhouette, image pixels."""
    top = MESA - 12
    rects = [
        (196, top - 80, 34, 100),   # left tower
        (226, top - 44, 60, 64),    # hall
        (262, top - 138, 30, 158),  # keep
        (292, top - 62, 26, 82),    # right tower
        (318, top - 26, 40, 46),    # wall
    ]
    # Battlements along the wall and the hall.
    for i in range(4):
        rects.append((320 + i * 10, top - 33, 6, 8))
    for i in range(3):
        rects.append((230 + i * 11, top - 51, 6, 8))
    roofs = [
        (190, top - 80, 236, top - 80, 213, top - 128),
        (258, top - 138, 296, top - 138, 277, top - 205),
        (288, top - 62, 322, top - 62, 305, top - 100),
    ]
    # Lit windows: (x, y, width, height).
    windows = [(208, top - 62, 6, 10), (272, top - 118, 7, 12), (272, top - 84, 7, 12),
               (246, top - 30, 6, 9), (301, top - 46, 6, 9)]
    return rects, roofs, windows


def inside_triangle(x, y, tri):
    ax, ay, bx, by, cx, cy = tri
    d1 = (x - bx) * (ay - by) - (ax - bx) * (y - by)
    d2 = (x - cx) * (by - cy) - (bx - cx) * (y - cy)
    d3 = (x - ax) * (cy - ay) - (cx - ax) * (y - ay)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def castle_coverage():
    """{(x, y): (coverage, window light)} over the castle's bounding box, 4x4 supersampled."""
    rects, roofs, windows = castle_shapes()
    x0 = min(r[0] for r in rects) - 10
    x1 = max(r[0] + r[2] for r in rects) + 10
    y0 = int(min(t[5] for t in roofs)) - 4
    y1 = int(max(r[1] + r[3] for r in rects)) + 2
    cover = {}
    for y in range(y0, y1):
        for x in range(x0, x1):
            hits = lights = 0
            for sy in range(4):
                for sx in range(4):
                    px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
                    if any(rx <= px < rx + rw and ry <= py < ry + rh for rx, ry, rw, rh in windows):
                        lights += 1
                        hits += 1
                    elif (any(rx <= px < rx + rw and ry <= py < ry + rh for rx, ry, rw, rh in rects)
                          or any(inside_triangle(px, py, t) for t in roofs)):
                        hits += 1
            if hits:
                cover[(x, y)] = (hits / 16.0, lights / 16.0)
    return cover


def hash01(n):
    n = (n ^ 61) ^ (n >> 16)
    n = (n + (n << 3)) & 0xFFFFFFFF
    n ^= n >> 4
    n = (n * 0x27D4EB2D) & 0xFFFFFFFF
    n ^= n >> 15
    return n / 4294967295.0


def sprites():
    """Additive light splats: stars in the sky and embers above the valley.
    Returns {(x, y): (r, g, b)} of light to add."""
    light = {}

    def splat(cx, cy, radius, colour, strength):
        r = int(radius * 3) + 1
        for y in range(int(cy) - r, int(cy) + r + 1):
            for x in range(int(cx) - r, int(cx) + r + 1):
                if not (0 <= x < W and 0 <= y < H):
                    continue
                d2 = ((x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2) / (radius * radius)
                k = strength * math.exp(-d2)
                if k < 0.01:
                    continue
                old = light.get((x, y), (0.0, 0.0, 0.0))
                light[(x, y)] = (old[0] + colour[0] * k, old[1] + colour[1] * k, old[2] + colour[2] * k)

    for i in range(900):
        x = hash01(i * 3 + 1) * W
        y = hash01(i * 3 + 2) ** 1.6 * H * 0.6
        if (x - MOON[0]) ** 2 + (y - MOON[1]) ** 2 < (MOON[2] * 2.2) ** 2:
            continue
        b = hash01(i * 3 + 3)
        fade = 1.0 - smoothstep(0.25, 0.58, y / H)
        tint = (255, 244, 228) if b > 0.3 else (200, 210, 255)
        splat(x, y, 0.55 + 1.1 * b ** 4, tint, (0.35 + 0.65 * b) * fade)
    # Embers drifting up from the valley below the castle, warm and soft.
    for i in range(70):
        x = 60 + hash01(5000 + i * 2) * 900
        y = 430 + hash01(5001 + i * 2) * 300
        b = hash01(7000 + i)
        splat(x, y, 1.0 + 2.2 * b, (255, 190, 96), 0.45 + 0.5 * b)
    return light


def render():
    cover = castle_coverage()
    light = sprites()
    mx, my, mr = MOON
    rows = []
    for y in range(H):
        sky = gradient(SKY, y / H)
        row = bytearray(W * 3)
        vy = 1.0 - 0.35 * smoothstep(0.55, 1.0, abs(y / H - 0.45) * 2)
        for x in range(W):
            r, g, b = sky
            # Moon glow with faint rays, and the moon disc itself.
            dx, dy = x + 0.5 - mx, y + 0.5 - my
            d = math.sqrt(dx * dx + dy * dy)
            if d < 900:
                rays = 1.0 + 0.18 * math.sin(math.atan2(dy, dx) * 9.0 + 0.7) * smoothstep(mr, mr * 3, d)
                glow = math.exp(-((d - mr) / 260.0) ** 2) * 0.55 * rays if d > mr else 0.55
                glow += math.exp(-max(d - mr, 0) / 40.0) * 0.45
                r += (255 - r) * glow * 0.85
                g += (205 - g) * glow * 0.80
                b += (130 - b) * glow * 0.55
                if d < mr + 1.0:
                    t = min(1.0, mr + 0.5 - d + 0.5) if d > mr - 1.0 else 1.0
                    # A little shading across the disc and two soft craters.
                    shade = 0.9 + 0.1 * (-(dx + dy) / (mr * 1.414))
                    crater = 0.06 * math.exp(-((dx + 18) ** 2 + (dy - 12) ** 2) / 300.0)
                    crater += 0.05 * math.exp(-((dx - 22) ** 2 + (dy + 20) ** 2) / 200.0)
                    disc = (255 * shade - 40 * crater * 10, 238 * shade - 50 * crater * 10, 196 * shade - 60 * crater * 10)
                    r, g, b = r + (disc[0] - r) * t, g + (disc[1] - g) * t, b + (disc[2] - b) * t
            # Mountain layers, far to near, each with a rim light and valley mist.
            for index, (top_colour, deep_colour, mist_colour, heights) in enumerate(LAYERS):
                depth = y + 0.5 - heights[x]
                if depth >= -0.5:
                    a = 1.0 if depth >= 0.5 else depth + 0.5
                    c = mix(top_colour, deep_colour, smoothstep(0, 160, depth))
                    c = mix(c, mist_colour, smoothstep(40, 220, depth) * 0.55)
                    rim = math.exp(-depth / 3.0) * 0.5 * math.exp(-((x - mx) / 520.0) ** 2)
                    c = mix(c, (255, 196, 120), rim)
                    r, g, b = r + (c[0] - r) * a, g + (c[1] - g) * a, b + (c[2] - b) * a
                if index == CASTLE_LAYER:
                    hit = cover.get((x, y))
                    if hit:
                        k, lit = hit
                        castle = mix((22, 17, 40), (255, 206, 112), lit / k)
                        r, g, b = r + (castle[0] - r) * k, g + (castle[1] - g) * k, b + (castle[2] - b) * k
            add = light.get((x, y))
            if add:
                r, g, b = r + add[0], g + add[1], b + add[2]
            # Vignette and a little noise so the JPEG shows no bands.
            v = vy * (1.0 - 0.3 * smoothstep(0.6, 1.0, abs(x / W - 0.35) * 1.6))
            n = (hash01(y * W + x) - 0.5) * 3.0
            i = x * 3
            row[i] = raster.clamp8(r * v + n)
            row[i + 1] = raster.clamp8(g * v + n)
            row[i + 2] = raster.clamp8(b * v + n)
        rows.append(bytes(row))
    return rows


def main(out):
    rows = render()
    with open(out, "wb") as f:
        f.write(raster.encode_jpeg(W, H, rows, quality=92))


if __name__ == "__main__":
    main(sys.argv[1])
