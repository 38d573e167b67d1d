#!/usr/bin/env python3
"""Writes kestrup.ico: one 32 x 32 image in 24-bit colour with its transparency mask.

A blue disc with a white K and an orange arrow pointing down into a board: the image goes down
into the chip. Run it from anywhere; it writes beside itself. Needs only Python 3.
"""
import struct
from pathlib import Path

SIZE = 32
BLUE = (0x1F, 0x4E, 0x8C)
RIM = (0x12, 0x30, 0x5A)
WHITE = (0xFF, 0xFF, 0xFF)
ORANGE = (0xF0, 0x8A, 0x24)
GREEN = (0x2E, 0x8B, 0x57)

# The K, 7 wide and 11 high, drawn at 2x.
K = [
    "X....X.",
    "X...X..",
    "X..X...",
    "X.X....",
    "XX.....",
    "XX.....",
    "X.X....",
    "X..X...",
    "X...X..",
    "X....X.",
    "X.....X",
]


def pixel(x, y):
    """The colour at (x, y), top-left origin, or None where the icon is transparent."""
    cx, cy = 15.5, 15.5
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if d2 > 15.5 ** 2:
        return None
    colour = RIM if d2 > 13.6 ** 2 else BLUE
    kx, ky = (x - 6) // 2, (y - 5) // 2
    if 0 <= kx < 7 and 0 <= ky < 11 and (x - 6) >= 0 and (y - 5) >= 0 and K[ky][kx] == "X":
        colour = WHITE
    # The arrow: a shaft and a head, right of the K.
    if 21 <= x <= 23 and 6 <= y <= 15:
        colour = ORANGE
    if 16 <= y <= 20 and abs(x - 22) <= 20 - y:
        colour = ORANGE
    # The board it points into.
    if 22 <= y <= 24 and 17 <= x <= 27:
        colour = GREEN
    return colour


def icon_bytes():
    rows_colour = []
    rows_mask = []
    for y in reversed(range(SIZE)):  # bitmaps are stored bottom-up
        row = bytearray()
        mask = 0
        for x in range(SIZE):
            c = pixel(x, y)
            if c is None:
                row += b"\x00\x00\x00"
                mask |= 1 << (SIZE - 1 - x)
            else:
                r, g, b = c
                row += bytes((b, g, r))
        rows_colour.append(bytes(row))  # 96 bytes: already a multiple of 4
        rows_mask.append(struct.pack(">I", mask))
    colour = b"".join(rows_colour)
    mask = b"".join(rows_mask)
    # The header's height counts the colour image and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = Path(__file__).resolve().with_name("kestrup.ico")
    out.write_bytes(icon_bytes())
    print(f"wrote {out} ({out.stat().st_size} bytes)")
