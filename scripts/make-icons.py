#!/usr/bin/env python3
"""Draws the program icon (resource 128): a globe over a modem, in flat colours.

Writes data/icons/countryset.svg and data/icons/hicolor/<n>x<n>/apps/countryset.png for
n in 16, 32, 48, 64, 128, 256. Only the standard library: the PNGs come from a small
supersampling rasteriser of the same shapes the SVG holds.

Usage: scripts/make-icons.py [output folder]   (default: data/icons beside this script)
"""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64, 128, 256)

OCEAN = "#2f80d1"
RIM = "#1b5e9e"
GRID = "#a9d3ff"
CASE = "#37474f"
FACE = "#546e7a"
LED_ON = "#5ee06e"
LED_WAIT = "#ffc94a"

# The globe, in the 256-unit view box.
GX, GY, GR = 128.0, 104.0, 88.0
GRID_W = 7.0
RIM_W = 7.0
# The modem case.
MX, MY, MW, MH, MR = 36.0, 164.0, 184.0, 64.0, 14.0
LEDS = ((76.0, 196.0, LED_ON), (108.0, 196.0, LED_ON), (140.0, 196.0, LED_WAIT))
LED_R = 9.0


def rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def in_globe(x, y):
    return (x - GX) ** 2 + (y - GY) ** 2 <= GR ** 2


def near_ellipse(x, y, rx, ry, width):
    # Distance to the ellipse outline, to first order: |f| / |grad f|.
    dx, dy = x - GX, y - GY
    f = (dx / rx) ** 2 + (dy / ry) ** 2 - 1.0
    g = math.hypot(2 * dx / rx ** 2, 2 * dy / ry ** 2)
    return g > 0 and abs(f) / g <= width / 2


def grid(x, y):
    if not in_globe(x, y):
        return False
    if abs(x - GX) <= GRID_W / 2:
        return True
    if near_ellipse(x, y, GR * 0.45, GR, GRID_W):
        return True
    for lat in (-0.5, 0.0, 0.5):
        if abs(y - (GY + lat * GR)) <= GRID_W / 2:
            return True
    return False


def rim(x, y):
    return abs(math.hypot(x - GX, y - GY) - GR) <= RIM_W / 2


def rounded_rect(x, y, rx0, ry0, w, h, r):
    if not (rx0 <= x <= rx0 + w and ry0 <= y <= ry0 + h):
        return False
    cx = min(max(x, rx0 + r), rx0 + w - r)
    cy = min(max(y, ry0 + r), ry0 + h - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def modem(x, y):
    return rounded_rect(x, y, MX, MY, MW, MH, MR)


def face(x, y):
    return rounded_rect(x, y, MX + 8, MY + 8, MW - 16, MH - 16, MR - 6)


def led(cx, cy):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= LED_R ** 2


def slot(x, y):
    return rounded_rect(x, y, 164.0, 190.0, 40.0, 12.0, 6.0)


LAYERS = [
    (OCEAN, in_globe),
    (GRID, grid),
    (RIM, rim),
    (CASE, modem),
    (FACE, face),
    (CASE, slot),
] + [(colour, led(cx, cy)) for cx, cy, colour in LEDS]


def svg():
    leds = "\n".join(
        f'  <circle cx="{cx:g}" cy="{cy:g}" r="{LED_R:g}" fill="{c}"/>' for cx, cy, c in LEDS)
    lats = "\n".join(
        f'    <line x1="{GX - GR:g}" y1="{GY + k * GR:g}" x2="{GX + GR:g}" y2="{GY + k * GR:g}"/>'
        for k in (-0.5, 0.0, 0.5))
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <title>countryset</title>
  <defs>
    <clipPath id="globe"><circle cx="{GX:g}" cy="{GY:g}" r="{GR:g}"/></clipPath>
  </defs>
  <circle cx="{GX:g}" cy="{GY:g}" r="{GR:g}" fill="{OCEAN}"/>
  <g clip-path="url(#globe)" stroke="{GRID}" stroke-width="{GRID_W:g}" fill="none">
    <line x1="{GX:g}" y1="{GY - GR:g}" x2="{GX:g}" y2="{GY + GR:g}"/>
    <ellipse cx="{GX:g}" cy="{GY:g}" rx="{GR * 0.45:g}" ry="{GR:g}"/>
{lats}
  </g>
  <circle cx="{GX:g}" cy="{GY:g}" r="{GR:g}" fill="none" stroke="{RIM}" stroke-width="{RIM_W:g}"/>
  <rect x="{MX:g}" y="{MY:g}" width="{MW:g}" height="{MH:g}" rx="{MR:g}" fill="{CASE}"/>
  <rect x="{MX + 8:g}" y="{MY + 8:g}" width="{MW - 16:g}" height="{MH - 16:g}" rx="{MR - 6:g}" fill="{FACE}"/>
  <rect x="164" y="190" width="40" height="12" rx="6" fill="{CASE}"/>
{leds}
</svg>
"""


def rasterise(n):
    ss = 4 if n <= 64 else 3
    scale = 256.0 / n
    layers = [(rgb(c), f) for c, f in LAYERS]
    rows = []
    for py in range(n):
        row = bytearray([0])  # filter: none
        for px in range(n):
            r = g = b = a = 0.0
            for sy in range(ss):
                for sx in range(ss):
                    x = (px + (sx + 0.5) / ss) * scale
                    y = (py + (sy + 0.5) / ss) * scale
                    colour = None
                    for c, inside in reversed(layers):
                        if inside(x, y):
                            colour = c
                            break
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            if a:
                row += bytes((round(r / a), round(g / a), round(b / a), round(255 * a / ss / ss)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return png(n, b"".join(rows))


def png(n, raw):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "data", "icons")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "countryset.svg"), "w", encoding="utf-8") as f:
        f.write(svg())
    for n in SIZES:
        folder = os.path.join(out, "hicolor", f"{n}x{n}", "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "countryset.png"), "wb") as f:
            f.write(rasterise(n))


if __name__ == "__main__":
    main()
