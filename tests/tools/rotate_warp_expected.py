#!/usr/bin/env python3
"""Writes tests/data/rotate_warp_expected.txt: what rotate and warp must make of a position image.

The mappings are worked out here pixel by pixel, from the description of the two verbs, apart from the
program: Python's floats are IEEE doubles and its math.sqrt, math.sin and math.cos are the C library's, so
the results are the very doubles the program must compute. The source image holds at pixel (x, y) the bytes
x mod 256, y mod 256, 17 + 16 (x div 256) + (y div 256), 200; a result pixel whose source falls outside the
frame is 0, 0, 0, 0. The 2048 x 2048 warps make the hash sensitive to the smallest change of a constant: a
swirl computed with the full-precision pi already moves a few of their pixels. Each line gives a verb,
its argument, the image size and the 64-bit FNV-1a hash of the result's bytes (row 0 first, then RGBA).

Run from the source tree: python3 tests/tools/rotate_warp_expected.py > tests/data/rotate_warp_expected.txt
"""

import math

PI = 3.14159265  # the shortened pi of both verbs
SWIRL_DEGREES = 50  # the swirl's angle at the distance of pixel (0, 0), in degrees


def fnv1a(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def render(w, h, source_of):
    """The result bytes, given source_of(i, j) -> (sx, sy) or None for a pixel left transparent."""
    out = bytearray()
    for j in range(h):
        for i in range(w):
            s = source_of(i, j)
            if s is not None and 0 <= s[0] < w and 0 <= s[1] < h:
                x, y = s
                out += bytes((x % 256, y % 256, 17 + 16 * (x // 256) + y // 256, 200))
            else:
                out += bytes(4)
    return out


def turned(cx, cy, i, j, theta):
    """Pixel (i, j) turned by theta about (cx, cy), truncated toward zero."""
    c = math.cos(theta)
    s = math.sin(theta)
    dx = float(i - cx)
    dy = float(j - cy)
    return cx + math.trunc(c * dx - s * dy), cy + math.trunc(s * dx + c * dy)


def rotate(w, h, degrees):
    theta = (float(degrees) * PI) / 180
    cx, cy = w // 2, h // 2
    return render(w, h, lambda i, j: turned(cx, cy, i, j, theta))


def warp(w, h, option):
    if w <= 1 and h <= 1:  # no distance to measure by: the one pixel (if any) stays
        return render(w, h, lambda i, j: (i, j))
    cx, cy = w // 2, h // 2
    radius = math.sqrt(float(cx * cx + cy * cy))

    def source_of(i, j):
        t = math.sqrt(float((cy - j) ** 2) + float((cx - i) ** 2)) / radius
        if option == 1:
            v = (t * t) / 3
            s = (math.trunc((1 - v) * i + v * cx), math.trunc((1 - v) * j + v * cy))
            assert 0 <= s[0] < w and 0 <= s[1] < h  # the pinch never samples outside
            return s
        return turned(cx, cy, i, j, (t * (SWIRL_DEGREES * PI)) / 180)

    return render(w, h, source_of)


def main():
    odd_sizes = [(2, 1), (1, 2), (7, 3), (3, 8), (16, 9), (33, 20), (64, 64), (2048, 2048)]
    sides = [1, 2, 3, 5, 8, 13, 21, 34, 40]
    warp_sizes = [(n, n) for n in range(1, 41)] + [(w, h) for w in sides for h in sides if w != h] + odd_sizes
    rotate_sizes = [(2, 2), (3, 3), (4, 4), (5, 5)] + odd_sizes[:-1]
    angles = [-720, -90, -45, -1, 1, 30, 45, 90, 137, 180, 270, 359, 360, 1000, 2**31 - 1, -(2**31)]
    for w, h in rotate_sizes:
        for degrees in angles:
            print(f"rotate {degrees} {w} {h} {fnv1a(rotate(w, h, degrees)):016x}")
    for w, h in warp_sizes:
        for option in (1, 2):
            print(f"warp {option} {w} {h} {fnv1a(warp(w, h, option)):016x}")


if __name__ == "__main__":
    main()
