#!/usr/bin/env python3
"""Writes the applier's icon images from the picture drawn below.

The picture is 16 x 16 characters, one character per pixel, each character
an index into the standard 16-colour palette ('.' is transparent). The
32 x 32 image is the same picture with every pixel doubled. Run it from any
folder; it writes beside itself app.ico (to look at) and the two raw images
icon32.bin and icon16.bin, which the resource script shares between both
icon groups so that the program carries each image once.
"""
import os
import struct

PALETTE = [  # (r, g, b) of the 16 standard colours, index 0..15
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
KEY = "0123456789abcdef"

# A box with a band across it and a gear-like seal: the program's own icon.
APP = [
    "................",
    "..8888888888888.",
    ".8ffffffffffff80",
    ".8f7777777777f80",
    ".8f7cccccccc7f80",
    ".8f7cccccccc7f80",
    ".8f7777777777f80",
    ".8f79999999977f0",
    ".8f799bbbb9977f0",
    ".8f79bb99bb977f0",
    ".8f79bb99bb977f0",
    ".8f799bbbb9977f0",
    ".8f79999999977f0",
    ".8f7777777777f80",
    ".88888888888888.",
    "..000000000000..",
]

def image(rows, scale):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colours, AND mask."""
    size = 16 * scale
    pixels = [[rows[y // scale][x // scale] for x in range(size)] for y in range(size)]
    head = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # bitmaps are stored bottom-up
        row = pixels[y]
        for x in range(0, size, 2):
            hi = 0 if row[x] == "." else KEY.index(row[x])
            lo = 0 if row[x + 1] == "." else KEY.index(row[x + 1])
            xor.append(hi << 4 | lo)
        bits = bytearray((size + 31) // 32 * 4)
        for x in range(size):
            if row[x] == ".":
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return head + pal + bytes(xor) + bytes(mask)


def icon_file(rows):
    images = [(32, image(rows, 2)), (16, image(rows, 1))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    assert len(APP) == 16 and all(len(r) == 16 for r in APP)
    outputs = {
        "app.ico": icon_file(APP),
        "icon32.bin": image(APP, 2),
        "icon16.bin": image(APP, 1),
    }
    for name, data in outputs.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
