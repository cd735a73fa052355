#!/usr/bin/env python3
"""Draws the program icon and writes resources/zarvik.ico.

The glyph is a white "Z" on a rounded blue tile; from 48 pixels up, the foot
of the Z breaks into blocks that fade out, for an archive consumed block by
block. Each size is drawn large and scaled down, so edges are smooth. Sizes up
to 128 are stored as 32-bit bitmaps with an AND mask, 256 as PNG, as the
system expects. Needs Pillow (Debian: python3-pil). The .ico is committed, so
builds do not need this script.
"""
import io
import struct
from pathlib import Path

from PIL import Image, ImageDraw

SIZES = [16, 24, 32, 48, 64, 128, 256]
CANVAS = 1024
TOP_COLOR = (46, 120, 214)
BOTTOM_COLOR = (20, 64, 140)
OUTPUT = Path(__file__).with_name("zarvik.ico")


def gradient_tile(margin, radius):
    column = Image.new("RGBA", (1, 256))
    for y in range(256):
        t = y / 255
        column.putpixel((0, y), tuple(round(a + (b - a) * t) for a, b in zip(TOP_COLOR, BOTTOM_COLOR)) + (255,))
    tile = column.resize((CANVAS, CANVAS), Image.BILINEAR)
    mask = Image.new("L", (CANVAS, CANVAS), 0)
    ImageDraw.Draw(mask).rounded_rectangle(
        (margin, margin, CANVAS - 1 - margin, CANVAS - 1 - margin), radius=radius, fill=255)
    tile.putalpha(mask)
    return tile


def scaled(points):
    return [(x * CANVAS, y * CANVAS) for x, y in points]


def draw_glyph(size):
    small = size < 48
    tile = gradient_tile(margin=0 if small else CANVAS // 32, radius=CANVAS // 5)
    draw = ImageDraw.Draw(tile)
    bar = 0.15 if small else 0.13
    left, right, top, bottom = (0.23, 0.77, 0.22, 0.78) if small else (0.16, 0.72, 0.22, 0.78)
    white = (255, 255, 255, 255)
    # Top bar and diagonal as one polygon.
    draw.polygon(scaled([(left, top), (right, top), (right, top + bar), (left + 0.2, bottom - bar),
                         (left, bottom - bar), (right - 0.2, top + bar), (left, top + bar)]), fill=white)
    if small:
        draw.rectangle(scaled([(left, bottom - bar), (right, bottom)]), fill=white)
        return tile
    # The foot: solid on the left, then blocks that fade out.
    draw.rectangle(scaled([(left, bottom - bar), (0.46, bottom)]), fill=white)
    block, gap = 0.11, 0.035
    x = 0.46 + gap
    for alpha in (210, 140, 75):
        draw.rectangle(scaled([(x, bottom - bar), (x + block, bottom)]), fill=(255, 255, 255, alpha))
        x += block + gap
    return tile


def bitmap_entry(image):
    """A 32-bit bottom-up DIB with its AND mask, as icon resources store it."""
    size = image.width
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):
        row = bytearray()
        for x in range(size):
            r, g, b, a = image.getpixel((x, y))
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(mask_stride)
        for x in range(size):
            if image.getpixel((x, y))[3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + b"".join(rows) + bytes(mask)


def png_entry(image):
    buffer = io.BytesIO()
    image.save(buffer, format="PNG", optimize=True)
    return buffer.getvalue()


def main():
    entries = []
    for size in SIZES:
        image = draw_glyph(size).resize((size, size), Image.LANCZOS)
        entries.append((size, png_entry(image) if size == 256 else bitmap_entry(image)))
    offset = 6 + 16 * len(entries)
    directory = struct.pack("<HHH", 0, 1, len(entries))
    for size, data in entries:
        side = 0 if size == 256 else size  # 0 stands for 256
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    OUTPUT.write_bytes(directory + b"".join(data for _, data in entries))
    print(f"wrote {OUTPUT} ({', '.join(str(s) for s in SIZES)} px)")


if __name__ == "__main__":
    main()
