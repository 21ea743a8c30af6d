"""Writes the icon of one tool as a Windows .ico file, with the standard
library only: a letter on a rounded square, in the tool's own colours, at
16 x 16 and 32 x 32 pixels in 32-bit colour.

    python3 make_icon.py TOOL OUT.ico
"""

from __future__ import annotations

import struct
import sys

# Each tool's letter, background and letter colour (red, green, blue): the
# two map cleaners share a shape and differ in colour and letter.
TOOLS = {
    "pelloran": ("P", (0x2E, 0x7D, 0x32), (0xFF, 0xFF, 0xFF)),
    "dravimund": ("D", (0xE6, 0x51, 0x00), (0xFF, 0xFF, 0xFF)),
    "oskebar": ("O", (0x15, 0x65, 0xC0), (0xFF, 0xEB, 0x3B)),
    "halvard": ("H", (0x6A, 0x1B, 0x9A), (0xFF, 0xFF, 0xFF)),
}

# 5 x 7 letters, one string per row, "#" for a set pixel.
GLYPHS = {
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
}


def pixels(size: int, letter: str, back: tuple, fore: tuple) -> list:
    """Rows of (r, g, b, a), top row first."""
    glyph = GLYPHS[letter]
    scale = max(1, size // 10)
    left = (size - 5 * scale) // 2
    top = (size - 7 * scale) // 2
    corner = max(2, size // 6)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            # A rounded square: the corners outside a quarter circle are clear.
            dx = max(corner - x, x - (size - 1 - corner), 0)
            dy = max(corner - y, y - (size - 1 - corner), 0)
            if dx * dx + dy * dy > corner * corner:
                row.append((0, 0, 0, 0))
                continue
            gx, gy = (x - left) // scale, (y - top) // scale
            inside = 0 <= gx < 5 and 0 <= gy < 7 and x >= left and y >= top
            row.append((*(fore if inside and glyph[gy][gx] == "#" else back), 255))
        rows.append(row)
    return rows


def bitmap(size: int, rows: list) -> bytes:
    """One icon image: a BITMAPINFOHEADER, the BGRA pixels bottom-up, and
    the AND mask (unused with an alpha channel, but required)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + colour + mask


def icon(tool: str) -> bytes:
    letter, back, fore = TOOLS[tool]
    images = [(size, bitmap(size, pixels(size, letter, back, fore))) for size in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main() -> int:
    if len(sys.argv) != 3 or sys.argv[1] not in TOOLS:
        print(f"usage: make_icon.py {{{'|'.join(TOOLS)}}} OUT.ico", file=sys.stderr)
        return 2
    with open(sys.argv[2], "wb") as out:
        out.write(icon(sys.argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
