#!/usr/bin/env python3
"""Draws the installer's logo (resource 102): a golden ring emblem, the same
mark as the icon, beside the word "orvo" in geometric letters, on a
transparent ground, and writes it as a 211 x 98 RGBA PNG.

The window stretches the logo into 84 x 34 units, which squeezes it
vertically by a seventh; the shapes are drawn in a space stretched by the same
factor, so that the ring and the letters look round on screen.
Deterministic, standard library only.

Usage: make_logo.py OUTPUT.png"""
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import raster  # noqa: E402
from raster import hex_colour, mix, segment_distance  # noqa: E402

W, H = 211, 98
# Display aspect of the target rectangle over the picture's own aspect.
STRETCH = (84 / 34) / (W / H)
GOLD_TOP, GOLD_BOTTOM = hex_colour("f8d27a"), hex_colour("d8993c")
LETTER_TOP, LETTER_BOTTOM = hex_colour("ffffff"), hex_colour("e2d6fb")
SS = 4

EMBLEM = (36.0, 42.7, 20.5, 30.5)  # centre u, centre v, inner and outer radius
STROKE = 3.6                       # half the letter stroke width
X_TOP, BASE = 28.5, 56.5           # x-height top and baseline (v)
R = (BASE - X_TOP) / 2 - STROKE    # radius of the bowl centre lines


def in_emblem(u, v):
    cu, cv, inner, outer = EMBLEM
    du, dv = u - cu, v - cv
    d = math.hypot(du, dv)
    angle = math.degrees(math.atan2(-dv, du))  # 0 right, 90 up
    if inner <= d <= outer and not (8 < angle < 72):
        return True
    # The accent dot sits in the ring's gap.
    gu, gv = cu + math.cos(math.radians(40)) * (inner + outer) / 2, cv - math.sin(math.radians(40)) * (inner + outer) / 2
    return math.hypot(u - gu, v - gv) <= 5.2


def bowl(u, v, cu):
    return abs(math.hypot(u - cu, v - (X_TOP + BASE) / 2) - R) <= STROKE


def arc_r(u, v, stem):
    # The shoulder of the r: the upper left quarter of a bowl, starting at the stem.
    cu, cv = stem + R, (X_TOP + BASE) / 2
    angle = math.degrees(math.atan2(-(v - cv), u - cu))
    if 35 <= angle <= 180:
        return abs(math.hypot(u - cu, v - cv) - R) <= STROKE
    end = (cu + R * math.cos(math.radians(35)), cv - R * math.sin(math.radians(35)))
    return math.hypot(u - end[0], v - end[1]) <= STROKE


def in_word(u, v):
    o1 = 80.0 + R + STROKE
    stem = o1 + R + STROKE + 5.5 + STROKE
    v0 = stem + R * 1.82 + STROKE + 4.5
    o2 = v0 + 28.5 + 5.5 + R + STROKE
    if bowl(u, v, o1) or bowl(u, v, o2):
        return True
    if abs(u - stem) <= STROKE and X_TOP + R * 0.6 <= v <= BASE + STROKE:
        return True
    if arc_r(u, v, stem):
        return True
    left, right, bottom = v0, v0 + 28.5, (v0 + v0 + 28.5) / 2
    top = X_TOP - STROKE + 1.0
    d = min(segment_distance(u, v, left + STROKE, top + STROKE, bottom, BASE),
            segment_distance(u, v, right - STROKE, top + STROKE, bottom, BASE))
    return d <= STROKE


def render():
    rows = []
    for y in range(H):
        row = bytearray()
        for x in range(W):
            gold = word = 0
            for sy in range(SS):
                for sx in range(SS):
                    u = x + (sx + 0.5) / SS
                    v = (y + (sy + 0.5) / SS) / STRETCH
                    if in_emblem(u, v):
                        gold += 1
                    elif in_word(u, v):
                        word += 1
            total = gold + word
            if total == 0:
                row += b"\x00\x00\x00\x00"
                continue
            t = y / (H - 1)
            colour = mix(mix(LETTER_TOP, LETTER_BOTTOM, t), mix(GOLD_TOP, GOLD_BOTTOM, t), gold / total)
            alpha = total / (SS * SS)
            row += bytes([raster.clamp8(colour[0]), raster.clamp8(colour[1]), raster.clamp8(colour[2]),
                          raster.clamp8(alpha * 255)])
        rows.append(bytes(row))
    return rows


def main(out):
    with open(out, "wb") as f:
        f.write(raster.encode_png(W, H, render()))


if __name__ == "__main__":
    main(sys.argv[1])
