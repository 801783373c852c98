#!/usr/bin/env python3
"""Draws the setup's icon: 32 by 32 pixels, 16 colours, a box with a downward arrow."""
import struct
import sys

# The standard 16-colour palette (B, G, R, 0).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, GREY, SILVER, BLUE, TEAL, YELLOW, WHITE = 0, 4, 8, 7, 12, 6, 11, 15


def draw():
    px = [[None] * 32 for _ in range(32)]  # None is transparent
    # The carton: a silver box with a dark outline and a teal band.
    for y in range(14, 31):
        for x in range(3, 29):
            edge = y in (14, 30) or x in (3, 28)
            px[y][x] = BLACK if edge else (TEAL if 19 <= y <= 21 else SILVER)
    for x in range(4, 28):
        px[15][x] = WHITE
    # The arrow: a blue shaft and head pointing into the box.
    for y in range(1, 12):
        for x in range(13, 19):
            px[y][x] = BLACK if x in (13, 18) or y == 1 else BLUE
    for row, y in enumerate(range(11, 20)):
        for x in range(7 + row, 25 - row):
            edge = x in (7 + row, 24 - row) or y == 11 and not 13 < x < 18
            px[y][x] = BLACK if edge else BLUE
    px[18][15] = px[18][16] = YELLOW
    return px


def encode(px):
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, 32 * 16 + 32 * 4, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor, mask = b'', b''
    for y in reversed(range(32)):  # bottom-up rows
        row = [px[y][x] if px[y][x] is not None else 0 for x in range(32)]
        xor += bytes((row[x] << 4) | row[x + 1] for x in range(0, 32, 2))
        bits = 0
        for x in range(32):
            bits = (bits << 1) | (1 if px[y][x] is None else 0)
        mask += struct.pack('>I', bits)
    image = header + palette + xor + mask
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == '__main__':
    with open(sys.argv[1], 'wb') as out:
        out.write(encode(draw()))
