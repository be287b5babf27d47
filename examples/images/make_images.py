#!/usr/bin/env python3
"""Draws the demo's two bundled pictures as uncompressed TGA files (run from this folder):

landscape.tga  320 x 200, 24-bit: a sky, a sun and rolling hills.
balloon.tga     96 x 96,  24-bit: a balloon in front of a pure green (0, 255, 0) backdrop, for chromakey.
"""
import math
import struct


def write_tga(path, width, height, pixel):
    """pixel(x, y) -> (r, g, b) with y = 0 the top row; written bottom row first."""
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, width, height, 24, 0)
    rows = []
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        rows.append(bytes(row))
    with open(path, "wb") as f:
        f.write(header + b"".join(rows))


def clamp(v):
    return max(0, min(255, int(v)))


def landscape(x, y):
    w, h = 320, 200
    # Sky: deep blue at the top to a pale haze at the horizon.
    t = y / h
    r, g, b = 40 + 170 * t, 90 + 130 * t, 190 + 50 * t
    # Sun with a soft glow.
    d = math.hypot(x - 236, y - 52)
    if d < 22:
        r, g, b = 255, 236, 150
    elif d < 60:
        k = (60 - d) / 38 * 0.6
        r, g, b = r + (255 - r) * k, g + (230 - g) * k, b + (160 - b) * k
    # Two ranges of hills, the nearer one darker.
    far = 120 + 18 * math.sin(x / 37.0) + 9 * math.sin(x / 11.0 + 1.3)
    near = 150 + 22 * math.sin(x / 53.0 + 2.0) + 6 * math.sin(x / 7.0)
    if y > near:
        stripe = 10 * math.sin((x + 2 * y) / 5.0)
        r, g, b = 46 + stripe, 120 + stripe + (y - near) * 0.4, 48
    elif y > far:
        r, g, b = 96, 150 + (y - far) * 0.5, 110
    return clamp(r), clamp(g), clamp(b)


def balloon(x, y):
    cx, cy, radius = 48, 40, 30
    d = math.hypot(x - cx, (y - cy) * 1.1)
    if d < radius:
        shade = 1.0 - 0.5 * math.hypot(x - cx + 10, y - cy + 12) / radius
        return clamp(230 * shade + 25), clamp(60 * shade), clamp(40 * shade)
    if 70 <= y < 88 and abs(x - cx) <= 7:   # the basket
        return (120, 80, 40) if (x + y) % 4 else (90, 60, 30)
    if y >= 66 and y < 70 and abs(x - cx) <= 1:  # the rope
        return (60, 50, 40)
    return (0, 255, 0)


write_tga("landscape.tga", 320, 200, landscape)
write_tga("balloon.tga", 96, 96, balloon)
