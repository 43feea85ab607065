#!/usr/bin/python3
"""Renders the app's icon (the same drawing as com.kelvaro.portweaver.controlapp.svg: a rounded
tile holding the tray icon's ring and dot) as PNG files for the hicolor theme's fixed sizes, for
desktops that do not read SVG icons.

  render-icon.py OUT-FOLDER SIZE...   writes OUT-FOLDER/<size>x<size>/apps/<name>.png"""

import math
import os
import struct
import sys
import zlib

NAME = "com.kelvaro.portweaver.controlapp"
# The SVG's geometry, on its 128-unit canvas.
TILE = (8.0, 8.0, 120.0, 120.0, 24.0)  # left, top, right, bottom, corner radius
TILE_FILL, TILE_EDGE, EDGE_WIDTH = (0xf4, 0xf4, 0xf4), (0xc8, 0xc8, 0xc8), 2.0
GREEN = (0x20, 0xa0, 0x40)
CENTRE, RING_RADIUS, RING_WIDTH, DOT_RADIUS = 64.0, 36.0, 10.0, 14.0


def rounded_box_distance(x, y):
    """Signed distance (negative inside) from the tile's rounded rectangle."""
    left, top, right, bottom, radius = TILE
    cx, cy = (left + right) / 2, (top + bottom) / 2
    qx = abs(x - cx) - ((right - left) / 2 - radius)
    qy = abs(y - cy) - ((bottom - top) / 2 - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def coverage(distance, pixel):
    """How much of a pixel (pixel = its size in canvas units) lies inside an edge at that distance."""
    return min(1.0, max(0.0, 0.5 - distance / pixel))


def over(base, colour, alpha):
    """colour with alpha painted over base (premultiplied-free RGBA floats)."""
    r, g, b, a = base
    out_a = alpha + a * (1 - alpha)
    if out_a == 0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = [(c * alpha + bc * a * (1 - alpha)) / out_a for c, bc in zip(colour, (r, g, b))]
    return (mix[0], mix[1], mix[2], out_a)


def pixel_colour(x, y, pixel):
    colour = (0.0, 0.0, 0.0, 0.0)
    box = rounded_box_distance(x, y)
    colour = over(colour, TILE_EDGE, coverage(box - EDGE_WIDTH / 2, pixel))
    colour = over(colour, TILE_FILL, coverage(box + EDGE_WIDTH / 2, pixel))
    centre = math.hypot(x - CENTRE, y - CENTRE)
    colour = over(colour, GREEN, coverage(abs(centre - RING_RADIUS) - RING_WIDTH / 2, pixel))
    return over(colour, GREEN, coverage(centre - DOT_RADIUS, pixel))


def png(size):
    pixel = 128.0 / size
    rows = bytearray()
    for row in range(size):
        rows.append(0)  # no filter
        for column in range(size):
            r, g, b, a = pixel_colour((column + 0.5) * pixel, (row + 0.5) * pixel, pixel)
            rows += bytes((round(r), round(g), round(b), round(a * 255)))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + \
        chunk(b"IEND", b"")


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    for size in map(int, sys.argv[2:]):
        folder = os.path.join(sys.argv[1], "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, NAME + ".png"), "wb") as f:
            f.write(png(size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
