#!/usr/bin/env python3
"""Draws the program's icons and writes them as .ico files.

    python3 res/make_icons.py            # writes res/app.ico and res/about.ico

Only the standard library is used, and the output is the same on every run.

app.ico   (resource 101): 256 (PNG-compressed), 64, 48, 40, 32, 24, 20 and 16 px,
          32-bit: the sizes Windows asks for at 100 to 200 % scaling.
about.ico (resource 102): one 128 px 32-bit image.

The picture: three file cards of different ages fall into one tray, and the
newest (front, brightest) is the one that lands - the program's idea of
keeping the newest copy of every file.  Shapes are described in a 0..1 square
and rendered with 4x4 supersampling, so each size is drawn, not scaled.
"""

import math
import os
import struct
import zlib

# Colours (r, g, b).
BADGE_TOP = (38, 110, 196)
BADGE_BOTTOM = (18, 52, 120)
TRAY = (250, 250, 252)
TRAY_SHADE = (206, 214, 228)
CARD_OLD = (150, 164, 190)
CARD_MID = (214, 186, 90)
CARD_NEW = (255, 214, 64)
CARD_LINES = (120, 96, 30)
ARROW = (255, 255, 255)


def rounded_rect(x0, y0, x1, y1, r):
    """Inside test for a rectangle with rounded corners."""

    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    return inside


def polygon(points):
    """Inside test for a simple polygon (even-odd rule)."""

    def inside(x, y):
        result = False
        n = len(points)
        for i in range(n):
            xa, ya = points[i]
            xb, yb = points[(i + 1) % n]
            if (ya > y) != (yb > y):
                if x < xa + (y - ya) * (xb - xa) / (yb - ya):
                    result = not result
        return result

    return inside


def rotated(shape, angle, cx, cy):
    """The shape turned by `angle` degrees about (cx, cy)."""
    c, s = math.cos(math.radians(angle)), math.sin(math.radians(angle))

    def inside(x, y):
        dx, dy = x - cx, y - cy
        return shape(cx + dx * c + dy * s, cy - dx * s + dy * c)

    return inside


def card(x0, y0, w, h, angle):
    body = rounded_rect(x0, y0, x0 + w, y0 + h, 0.02)
    return rotated(body, angle, x0 + w / 2, y0 + h / 2)


def card_lines(x0, y0, w, h, angle):
    bars = [rounded_rect(x0 + w * 0.18, y0 + h * f, x0 + w * 0.82, y0 + h * f + h * 0.07, 0.006)
            for f in (0.28, 0.46, 0.64)]
    return rotated(lambda x, y: any(b(x, y) for b in bars), angle, x0 + w / 2, y0 + h / 2)


def layers(detail):
    """Back to front: (inside test, colour function).  `detail` drops the
    small strokes that only blur at 16 and 32 px."""
    out = []
    badge = rounded_rect(0.04, 0.04, 0.96, 0.96, 0.18)

    def badge_colour(x, y):
        t = min(max((y - 0.04) / 0.92, 0.0), 1.0)
        return tuple(int(BADGE_TOP[i] + (BADGE_BOTTOM[i] - BADGE_TOP[i]) * t) for i in range(3))

    out.append((badge, badge_colour))
    # Three cards, oldest at the back.
    cards = [(0.16, 0.14, 0.30, 0.38, -16, CARD_OLD), (0.50, 0.12, 0.30, 0.38, 14, CARD_MID),
             (0.33, 0.20, 0.34, 0.42, 0, CARD_NEW)]
    for x0, y0, w, h, angle, colour in cards:
        out.append((card(x0, y0, w, h, angle), lambda x, y, c=colour: c))
    if detail:
        out.append((card_lines(0.33, 0.20, 0.34, 0.42, 0), lambda x, y: CARD_LINES))
    # The tray the newest card drops into.
    tray_back = polygon([(0.14, 0.58), (0.86, 0.58), (0.80, 0.86), (0.20, 0.86)])
    out.append((tray_back, lambda x, y: TRAY_SHADE))
    tray_front = polygon([(0.10, 0.64), (0.90, 0.64), (0.82, 0.88), (0.18, 0.88)])
    out.append((tray_front, lambda x, y: TRAY))
    # A down arrow on the tray.
    arrow = polygon([(0.45, 0.655), (0.55, 0.655), (0.55, 0.72), (0.60, 0.72), (0.50, 0.83),
                     (0.40, 0.72), (0.45, 0.72)])
    out.append((arrow, lambda x, y: BADGE_TOP))
    return out


def render(size, inset=0.0):
    """RGBA rows, top row first.  `inset` leaves a transparent border (as a
    share of the size) on every side."""
    samples = 4
    shapes = layers(detail=size >= 48)
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    u = (px + (sx + 0.5) / samples) / size
                    v = (py + (sy + 0.5) / samples) / size
                    x = (u - inset) / (1 - 2 * inset)
                    y = (v - inset) / (1 - 2 * inset)
                    colour = None
                    for inside, paint in shapes:
                        if inside(x, y):
                            colour = paint(x, y)
                    if colour is not None:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            n = samples * samples
            if acc[3]:
                # Colour averaged over the covered samples (straight alpha).
                row += bytes((int(acc[0] / acc[3] + 0.5), int(acc[1] / acc[3] + 0.5),
                              int(acc[2] / acc[3] + 0.5), int(255 * acc[3] / n + 0.5)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + r for r in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def dib(size, rows):
    """BITMAPINFOHEADER, bottom-up BGRA pixels and the AND mask (set where
    fully transparent, for systems that ignore the alpha channel)."""
    pixels = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for r in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(size):
            red, green, blue, alpha = r[4 * x:4 * x + 4]
            pixels += bytes((blue, green, red, alpha))
            if alpha == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0,
                         0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def ico(images):
    """images: list of (size, encoded image)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        blobs += data
    return out + entries + blobs


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    app = [(256, png(256, render(256)))]
    app += [(s, dib(s, render(s))) for s in (64, 48, 40, 32, 24, 20, 16)]
    with open(os.path.join(here, "app.ico"), "wb") as f:
        f.write(ico(app))
    # The About picture keeps a border, so that a dialog smaller than
    # 128 px in height cuts off nothing but transparency.
    with open(os.path.join(here, "about.ico"), "wb") as f:
        f.write(ico([(128, dib(128, render(128, inset=0.06)))]))


if __name__ == "__main__":
    main()
