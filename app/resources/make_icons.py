#!/usr/bin/python3
"""Draws the program's icon, a sealed envelope, at 16x16 and 32x32 and writes
tallwyn-16.png and tallwyn-32.png beside this script. Standard library only."""
import os
import struct
import zlib

PAPER = (255, 248, 225, 255)
INK = (31, 58, 104, 255)
FLAP = (236, 224, 190, 255)
SEAL = (200, 40, 40, 255)
CLEAR = (0, 0, 0, 0)


def line(img, x0, y0, x1, y1, colour):
    dx, dy = abs(x1 - x0), -abs(y1 - y0)
    sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
    err = dx + dy
    while True:
        img[y0][x0] = colour
        if x0 == x1 and y0 == y1:
            return
        e2 = 2 * err
        if e2 >= dy:
            err += dy
            x0 += sx
        if e2 <= dx:
            err += dx
            y0 += sy


def envelope(size):
    img = [[CLEAR] * size for _ in range(size)]
    s = size / 32
    left, right = round(2 * s), size - 1 - round(2 * s)
    top, bottom = round(7 * s), size - 1 - round(7 * s)
    tip_x, tip_y = size // 2, round(18 * s)
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            img[y][x] = PAPER
    # The flap: the triangle from the top corners down to the tip, a shade darker.
    for y in range(top, tip_y + 1):
        reach = (y - top) * (tip_x - left) / max(tip_y - top, 1)
        for x in range(left, right + 1):
            if x - left >= reach and right - x >= reach:
                img[y][x] = FLAP
    line(img, left, top, tip_x, tip_y, INK)
    line(img, right, top, tip_x, tip_y, INK)
    if size >= 24:  # too crowded at 16 pixels
        line(img, left, bottom, tip_x - round(3 * s), tip_y - round(1 * s), INK)
        line(img, right, bottom, tip_x + round(3 * s), tip_y - round(1 * s), INK)
    for x in range(left, right + 1):
        img[top][x] = INK
        img[bottom][x] = INK
    for y in range(top, bottom + 1):
        img[y][left] = INK
        img[y][right] = INK
    # A round seal on the tip of the flap; a 2x2 dot at 16 pixels.
    if size < 24:
        for y in (tip_y - 1, tip_y):
            for x in (tip_x - 1, tip_x):
                img[y][x] = SEAL
        return img
    r = round(2.5 * s)
    for y in range(tip_y - r, tip_y + r + 1):
        for x in range(tip_x - r, tip_x + r + 1):
            if (x - tip_x) ** 2 + (y - tip_y) ** 2 <= r * r + r // 2:
                img[y][x] = SEAL
    return img


def png(img):
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in img)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    size = len(img)
    head = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


here = os.path.dirname(os.path.abspath(__file__))
for size in (16, 32):
    with open(os.path.join(here, f"tallwyn-{size}.png"), "wb") as f:
        f.write(png(envelope(size)))
