#!/usr/bin/env python3
"""Draws the setup's icon: 32 by 32 pixels in the 16 standard colours, a box with a downward arrow."""
import struct
import sys
import zlib

# The standard 16-colour palette (R, G, B).
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


def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def encode(px):
    # One PNG image, as an icon may hold since Vista: a fifth of the bitmap with its mask. Index 0 is the
    # transparent one; the others are the colours drawn, in palette order.
    used = sorted({c for row in px for c in row if c is not None})
    index = {c: i + 1 for i, c in enumerate(used)}
    rows = b''.join(b'\0' + bytes((index.get(row[x], 0) << 4) | index.get(row[x + 1], 0) for x in range(0, 32, 2))
                    for row in ([c if c is not None else -1 for c in r] for r in px))
    image = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 32, 32, 4, 3, 0, 0, 0))
             + chunk(b'PLTE', bytes(3) + b''.join(bytes(PALETTE[c]) for c in used)) + chunk(b'tRNS', bytes(1))
             + chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', 32, 32, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == '__main__':
    with open(sys.argv[1], 'wb') as out:
        out.write(encode(draw()))
