#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico file.

    make-icon.py OUTPUT.ico

The drawing: a green card with gold contacts along its lower edge and a
white arrow pointing up into it, the update. It is described once, in
coordinates from 0 to 1, and painted at 16, 32 and 48 pixels, each in 4-bit
colour (the 16 standard colours, which every Windows shows) and in 8-bit
colour (a palette with a shaded card); Windows 98 and 2000 pick among these
by screen depth. Outside the drawing the icon is transparent.

Only the standard library: the bytes of the file are written here.
"""
import struct
import sys

SIZES = (16, 32, 48)

# The 16 standard colours, in their usual order; the 4-bit images use these.
STANDARD = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# Each part of the drawing in 4-bit colour (a standard colour) and in 8-bit
# colour (its own shade).
COLOURS = {
    "outline": ((0, 0, 0), (16, 40, 16)),
    "card": ((0, 128, 0), (34, 139, 34)),
    "card-light": ((0, 128, 0), (60, 179, 60)),
    "chip": ((0, 0, 0), (40, 40, 48)),
    "contact": ((255, 255, 0), (230, 190, 40)),
    "arrow": ((255, 255, 255), (255, 255, 255)),
    "arrow-edge": ((0, 0, 128), (20, 40, 120)),
}


def inside_arrow(x, y):
    """The up arrow: a head from y 0.08 to 0.42, a shaft below it to 0.62."""
    if 0.08 <= y <= 0.42:
        half = 0.30 * (y - 0.08) / 0.34
        return abs(x - 0.5) <= half
    return 0.42 < y <= 0.62 and abs(x - 0.5) <= 0.11


def part_at(x, y, pixel):
    """The part of the drawing at (x, y), both 0..1, or None (transparent).
    pixel is one pixel's width in these coordinates, for outlines."""
    edge = max(pixel, 0.04)
    if inside_arrow(x, y):
        near_edge = not all(inside_arrow(x + dx, y + dy)
                            for dx, dy in ((edge, 0), (-edge, 0), (0, edge), (0, -edge)))
        return "arrow-edge" if near_edge else "arrow"
    card = 0.06 <= x <= 0.94 and 0.30 <= y <= 0.86
    if not card:
        # The contacts hang below the card's edge.
        if 0.86 < y <= 0.95 and 0.14 <= x <= 0.86:
            slot = (x - 0.14) / 0.72 * 6
            return "contact" if slot - int(slot) < 0.6 else None
        return None
    if x - 0.06 < edge or 0.94 - x < edge or y - 0.30 < edge or 0.86 - y < edge:
        return "outline"
    if 0.62 <= x <= 0.86 and 0.66 <= y <= 0.80:
        return "chip"
    return "card-light" if y < 0.5 else "card"


def draw(size):
    """Rows of part names, top row first."""
    pixel = 1.0 / size
    return [[part_at((col + 0.5) * pixel, (row + 0.5) * pixel, pixel) for col in range(size)]
            for row in range(size)]


def palette(bits):
    if bits == 4:
        return list(STANDARD)
    shades = []
    for four, eight in COLOURS.values():
        if eight not in shades:
            shades.append(eight)
    return shades + [(0, 0, 0)] * (256 - len(shades))


def image(size, bits):
    """One icon image: BITMAPINFOHEADER, palette, colour rows, mask rows."""
    colours = palette(bits)
    choice = 0 if bits == 4 else 1
    rows = draw(size)
    colour_stride = (size * bits + 31) // 32 * 4
    mask_stride = (size + 31) // 32 * 4
    colour_data = bytearray()
    mask_data = bytearray()
    for row in reversed(rows):  # bottom-up, as bitmaps are stored
        indexes = [0 if part is None else colours.index(COLOURS[part][choice]) for part in row]
        line = bytearray(colour_stride)
        mask = bytearray(mask_stride)
        for col, index in enumerate(indexes):
            if bits == 4:
                line[col // 2] |= index << (4 if col % 2 == 0 else 0)
            else:
                line[col] = index
            if row[col] is None:
                mask[col // 8] |= 0x80 >> (col % 8)
        colour_data += line
        mask_data += mask
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0,
                         len(colour_data) + len(mask_data), 0, 0, 0, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)
    return header + table + bytes(colour_data) + bytes(mask_data)


def icon_file():
    images = [(size, bits, image(size, bits)) for size in SIZES for bits in (4, 8)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16 if bits == 4 else 0, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def main(argv):
    if len(argv) != 2:
        print("usage: make-icon.py OUTPUT.ico", file=sys.stderr)
        return 2
    with open(argv[1], "wb") as file:
        file.write(icon_file())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
