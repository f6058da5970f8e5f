#!/usr/bin/env python3
"""Draws the ZorimSlicer application icon.

Writes ZorimSlicer.png (256x256, 8-bit RGBA) and ZorimSlicer.ico, an icon file
whose single image is that PNG, as Windows has accepted for 256-pixel icons
since Vista. Both are committed; run this again only to change the picture:

    python3 launcher/resources/make_icon.py

The picture: a rounded tile in a blue gradient carrying a white "Z" that is
cut into printed layers, with a small orange nozzle laying down the top one.
Only the standard library is used; shapes are sampled 4x4 per pixel for
smooth edges.
"""

import math
import pathlib
import struct
import zlib

SIZE = 256
SAMPLES = 4
HERE = pathlib.Path(__file__).resolve().parent


def rounded_square(x, y, left, top, right, bottom, radius):
    """True inside the rectangle with rounded corners."""
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and left <= x <= right and top <= y <= bottom


def inside_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


# The "Z": top bar, diagonal, bottom bar, as one outline.
Z_LEFT, Z_RIGHT, Z_TOP, Z_BOTTOM, BAR = 62, 194, 64, 196, 30
Z_SHAPE = [
    (Z_LEFT, Z_TOP), (Z_RIGHT, Z_TOP), (Z_RIGHT, Z_TOP + BAR),
    (Z_LEFT + 46, Z_BOTTOM - BAR), (Z_RIGHT, Z_BOTTOM - BAR), (Z_RIGHT, Z_BOTTOM),
    (Z_LEFT, Z_BOTTOM), (Z_LEFT, Z_BOTTOM - BAR), (Z_RIGHT - 46, Z_TOP + BAR),
    (Z_LEFT, Z_TOP + BAR),
]
LAYER = 11   # height of one printed layer
GAP = 2      # the line between layers

# The nozzle above the top bar's right end.
NOZZLE = [(150, 32), (180, 32), (180, 46), (172, 46), (167, 62), (163, 62), (158, 46), (150, 46)]


def colour_at(x, y):
    """Straight (not premultiplied) RGBA of one sample point."""
    if not rounded_square(x, y, 8, 8, 248, 248, 52):
        return (0, 0, 0, 0)
    t = (y - 8) / 240.0
    background = (int(22 + 10 * t), int(58 + 100 * t), int(138 + 80 * t), 255)
    if inside_polygon(x, y, NOZZLE):
        return (249, 115, 22, 255)
    if inside_polygon(x, y, Z_SHAPE):
        if (y - Z_TOP) % LAYER >= LAYER - GAP:
            return (205, 225, 245, 255)
        return (255, 255, 255, 255)
    # A soft shadow under the letter, down and to the right.
    if inside_polygon(x - 5, y - 6, Z_SHAPE):
        return tuple(int(c * 0.72) for c in background[:3]) + (255,)
    return background


def render():
    rows = []
    step = 1.0 / SAMPLES
    for py in range(SIZE):
        row = bytearray([0])  # PNG filter type "none"
        for px in range(SIZE):
            totals = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = colour_at(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    totals[0] += r * a
                    totals[1] += g * a
                    totals[2] += b * a
                    totals[3] += a
            alpha = totals[3] / (SAMPLES * SAMPLES)
            if totals[3] > 0:
                rgb = [round(totals[i] / totals[3]) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.extend(rgb + [round(alpha)])
        rows.append(bytes(row))
    return b"".join(rows)


def png(pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def ico(png_bytes):
    # Width and height 0 mean 256; one image of 32 bits per pixel at offset 22.
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(png_bytes), 6 + 16)
    return directory + entry + png_bytes


def main():
    image = png(render())
    (HERE / "ZorimSlicer.png").write_bytes(image)
    (HERE / "ZorimSlicer.ico").write_bytes(ico(image))


if __name__ == "__main__":
    main()
