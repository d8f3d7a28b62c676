#!/usr/bin/env python3
"""Renders the program's XPM icon as hicolor PNGs (whole-number scales keep the pixel art
sharp) and as an SVG of the same pixels.

usage: make-icons.py ICON.xpm OUTDIR SIZE...
writes OUTDIR/<N>x<N>/apps/kelvo.png for each SIZE and OUTDIR/scalable/apps/kelvo.svg
"""
import os
import re
import struct
import sys
import zlib


def read_xpm(path):
    rows = re.findall(r'"([^"]*)"', open(path, encoding="ascii").read())
    width, height, ncolors, cpp = map(int, rows[0].split()[:4])
    colors = {}
    for line in rows[1:1 + ncolors]:
        key, value = line[:cpp], line[cpp:].split()
        spec = value[value.index("c") + 1]
        colors[key] = None if spec.lower() == "none" else tuple(int(spec[i:i + 2], 16) for i in (1, 3, 5))
    pixels = [[colors[r[x * cpp:(x + 1) * cpp]] for x in range(width)] for r in rows[1 + ncolors:1 + ncolors + height]]
    return width, height, pixels


def write_png(path, size, width, pixels):
    scale = size // width
    raw = bytearray()
    for row in pixels:
        line = bytearray([0])
        for c in row:
            line += bytes(c + (255,) if c else (0, 0, 0, 0)) * scale
        raw += bytes(line) * scale

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_svg(path, width, height, pixels):
    rects = []
    for y, row in enumerate(pixels):
        x = 0
        while x < width:
            c, run = row[x], 1
            while x + run < width and row[x + run] == c:
                run += 1
            if c:
                rects.append('<rect x="%d" y="%d" width="%d" height="1" fill="#%02x%02x%02x"/>' % ((x, y, run) + c))
            x += run
    with open(path, "w", encoding="ascii") as f:
        f.write('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
                'shape-rendering="crispEdges">\n%s\n</svg>\n' % (width, height, width, height, "\n".join(rects)))


def main():
    source, out, sizes = sys.argv[1], sys.argv[2], [int(s) for s in sys.argv[3:]]
    width, height, pixels = read_xpm(source)
    for size in sizes:
        if size % width or width != height:
            sys.exit("make-icons: %d is not a whole multiple of the %dx%d icon" % (size, width, height))
        folder = os.path.join(out, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, "kelvo.png"), size, width, pixels)
    folder = os.path.join(out, "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    write_svg(os.path.join(folder, "kelvo.svg"), width, height, pixels)


main()
