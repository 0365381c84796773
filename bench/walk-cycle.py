#!/usr/bin/env python3
"""Draws a walk cycle as a sprite sheet: a palette PNG of FRAMES frames of SIZE x SIZE pixels,
COLUMNS to a row, in the manner of pixel art (flat colours of a small palette, a dark outline, a
transparent background, no anti-aliasing). tintabrel-cli reads it into an animation:

    bench/walk-cycle.py --frames 64 --size 128 sheet.png
    tintabrel-cli convert --frames 128,128 --delay 80 sheet.png walk.gif

Only the standard library: the PNG is written with zlib.
"""
import argparse
import math
import struct
import zlib

# Index 0 is transparent; the figure's red tunic, its shade and highlight are what a team colour
# changes, the skin, hair, trousers, belt and boots have hues of their own.
PALETTE = [
    (0, 0, 0),        # 0 transparent
    (20, 12, 28),     # 1 outline
    (210, 170, 153),  # 2 skin
    (133, 76, 48),    # 3 hair
    (208, 70, 72),    # 4 tunic
    (140, 40, 50),    # 5 tunic shade
    (235, 120, 110),  # 6 tunic light
    (89, 125, 206),   # 7 trousers
    (48, 52, 109),    # 8 trousers shade
    (78, 74, 78),     # 9 boots
    (218, 212, 94),   # 10 belt
    (222, 238, 214),  # 11 eye white
]


def capsule(canvas, size, a, b, radius, colour):
    """Fills the pixels within radius of the segment a-b."""
    (ax, ay), (bx, by) = a, b
    x0 = max(0, int(min(ax, bx) - radius - 1))
    x1 = min(size - 1, int(max(ax, bx) + radius + 1))
    y0 = max(0, int(min(ay, by) - radius - 1))
    y1 = min(size - 1, int(max(ay, by) + radius + 1))
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy or 1e-9
    r2 = radius * radius
    for y in range(y0, y1 + 1):
        row = canvas[y]
        py = y + 0.5
        for x in range(x0, x1 + 1):
            px = x + 0.5
            t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
            qx, qy = ax + t * dx - px, ay + t * dy - py
            if qx * qx + qy * qy <= r2:
                row[x] = colour


def box(canvas, size, x0, y0, x1, y1, colour):
    for y in range(max(0, int(y0)), min(size, int(y1))):
        for x in range(max(0, int(x0)), min(size, int(x1))):
            canvas[y][x] = colour


def frame(index, frames, size):
    s = size / 128.0
    t = 2 * math.pi * index / frames
    swing = math.sin(t)
    bob = -abs(math.cos(t)) * 3 * s
    canvas = [[0] * size for _ in range(size)]
    cx = size / 2
    hip = (cx, 74 * s + bob)
    shoulder = (cx, 44 * s + bob)
    leg, arm = 26 * s, 22 * s

    def limb(origin, length, angle, bend):
        knee = (origin[0] + math.sin(angle) * length / 2, origin[1] + math.cos(angle) * length / 2)
        foot = (knee[0] + math.sin(angle + bend) * length / 2, knee[1] + math.cos(angle + bend) * length / 2)
        return knee, foot

    # The far leg and arm first, in the shade colours; then the body; then the near ones.
    for side, trousers, sleeve in ((-1, 8, 5), (1, 7, 4)):
        angle = side * swing * 0.7
        knee, foot = limb(hip, leg, angle, max(0.0, -side * swing) * 0.6)
        capsule(canvas, size, hip, knee, 5.5 * s, trousers)
        capsule(canvas, size, knee, foot, 5 * s, trousers)
        capsule(canvas, size, foot, (foot[0] + 5 * s, foot[1]), 4 * s, 9)
        if side == -1:
            a_knee, hand = limb(shoulder, arm, -angle * 1.2, 0.3)
            capsule(canvas, size, shoulder, a_knee, 4.5 * s, sleeve)
            capsule(canvas, size, a_knee, hand, 4 * s, sleeve)
            capsule(canvas, size, hand, hand, 3.5 * s, 2)
        else:
            # The body between the legs and the near arm.
            box(canvas, size, cx - 12 * s, 40 * s + bob, cx + 12 * s, 76 * s + bob, 4)
            box(canvas, size, cx - 12 * s, 40 * s + bob, cx - 6 * s, 76 * s + bob, 5)
            box(canvas, size, cx + 5 * s, 42 * s + bob, cx + 9 * s, 60 * s + bob, 6)
            box(canvas, size, cx - 12 * s, 66 * s + bob, cx + 12 * s, 70 * s + bob, 10)
            capsule(canvas, size, (cx, 30 * s + bob), (cx, 30 * s + bob), 12 * s, 2)
            capsule(canvas, size, (cx - 2 * s, 24 * s + bob), (cx + 3 * s, 22 * s + bob), 10 * s, 3)
            box(canvas, size, cx + 4 * s, 28 * s + bob, cx + 8 * s, 32 * s + bob, 11)
            box(canvas, size, cx + 6 * s, 29 * s + bob, cx + 8 * s, 32 * s + bob, 1)
            a_knee, hand = limb(shoulder, arm, -angle * 1.2, 0.3)
            capsule(canvas, size, shoulder, a_knee, 4.5 * s, sleeve)
            capsule(canvas, size, a_knee, hand, 4 * s, sleeve)
            capsule(canvas, size, hand, hand, 3.5 * s, 2)
    # The outline: every clear pixel beside the figure.
    out = [row[:] for row in canvas]
    for y in range(size):
        for x in range(size):
            if canvas[y][x]:
                continue
            for nx, ny in ((x - 1, y), (x + 1, y), (x, y - 1), (x, y + 1)):
                if 0 <= nx < size and 0 <= ny < size and canvas[ny][nx] not in (0, 1):
                    out[y][x] = 1
                    break
    return out


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=64)
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--columns", type=int, default=8)
    parser.add_argument("output")
    a = parser.parse_args()
    rows = (a.frames + a.columns - 1) // a.columns
    width, height = a.columns * a.size, rows * a.size
    sheet = [bytearray(width) for _ in range(height)]
    for i in range(a.frames):
        ox, oy = i % a.columns * a.size, i // a.columns * a.size
        for y, row in enumerate(frame(i, a.frames, a.size)):
            sheet[oy + y][ox:ox + a.size] = bytes(row)
    raw = b"".join(b"\0" + bytes(row) for row in sheet)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0))
    png += chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
    png += chunk(b"tRNS", b"\0")
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(a.output, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
