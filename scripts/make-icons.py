#!/usr/bin/env python3
"""Draws the window icon (a smart card with its contact chip) and the combo box
arrow with ImageMagick, and writes them as Windows icon files whose entries
are all uncompressed 32-bit BGRA bitmaps:

    resources/Smartcard.ico   256, 48, 32, 24 and 16 pixels
    resources/arrow-down.ico  16 pixels

Usage: scripts/make-icons.py [output directory, default resources/]
ImageMagick's own ICO writer stores large entries as 16-bit PNG, hence the
small writer below.
"""
import os
import struct
import subprocess
import sys
import tempfile

CARD = [
    "-fill", "#00000030", "-draw", "roundrectangle 14,58 246,222 20,20",
    "-fill", "#1f5fa8", "-stroke", "#123c6e", "-strokewidth", "4",
    "-draw", "roundrectangle 10,46 240,210 20,20",
    "-stroke", "none", "-fill", "#3f86d6", "-draw", "roundrectangle 14,50 236,118 16,16",
    "-fill", "#1f5fa8", "-draw", "rectangle 14,100 236,118",
    # The contact chip.
    "-fill", "#e7bd4f", "-stroke", "#8a6516", "-strokewidth", "3",
    "-draw", "roundrectangle 36,98 104,150 8,8",
    "-draw", "line 36,115 60,115", "-draw", "line 80,115 104,115",
    "-draw", "line 36,133 60,133", "-draw", "line 80,133 104,133",
    "-draw", "line 70,98 70,108", "-draw", "line 70,140 70,150",
    "-fill", "none", "-draw", "roundrectangle 60,108 80,140 4,4",
    # Printed lines: holder and number.
    "-stroke", "none", "-fill", "#ffffff",
    "-draw", "roundrectangle 128,104 216,116 5,5",
    "-draw", "roundrectangle 128,128 200,140 5,5",
    "-fill", "#ffffffb0", "-draw", "roundrectangle 36,170 216,182 5,5",
]

ARROW = ["-fill", "#505050", "-stroke", "#505050", "-strokewidth", "1", "-draw", "polygon 4,6 12,6 8,11"]


def draw(size, commands, path):
    subprocess.run(["convert", "-size", f"{size}x{size}", "xc:none", *commands, path], check=True)


def rgba(path, size):
    """The image resampled to size x size, as 8-bit RGBA rows, top row first."""
    extra = ["-filter", "Lanczos", "-resize", f"{size}x{size}!"]
    if size < 64:
        extra += ["-unsharp", "0x0.6"]  # keeps the chip visible at 16 pixels
    out = subprocess.run(["convert", path, *extra, "-depth", "8", "rgba:-"], check=True, capture_output=True)
    assert len(out.stdout) == size * size * 4
    return out.stdout


def bitmap_entry(size, pixels):
    """BITMAPINFOHEADER (height doubled for the AND mask), BGRA rows bottom-up, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):
        row = bytearray()
        for x in range(size):
            r, g, b, a = pixels[(y * size + x) * 4:(y * size + x) * 4 + 4]
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # all opaque: the alpha channel decides
    return header + b"".join(rows) + mask


def write_ico(path, images):
    """images: list of (size, rgba bytes)."""
    entries = [(size, bitmap_entry(size, pixels)) for size, pixels in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for size, data in entries:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in entries:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    with tempfile.TemporaryDirectory() as work:
        card = os.path.join(work, "card.png")
        draw(256, CARD, card)
        write_ico(os.path.join(out_dir, "Smartcard.ico"), [(s, rgba(card, s)) for s in (256, 48, 32, 24, 16)])
        arrow = os.path.join(work, "arrow.png")
        draw(16, ARROW, arrow)
        write_ico(os.path.join(out_dir, "arrow-down.ico"), [(16, rgba(arrow, 16))])


if __name__ == "__main__":
    main()
