#!/usr/bin/env python3
"""Draws ORVANE's pictures: the application icon (six images) and the four pictures
of the device screen, 240 x 320 pixels each, as the wizard's pages show them.

usage: draw_pictures.py OUTPUT_DIR
Writes orvane.ico, downloader_ready.bmp (135), downloader_receiving.bmp (136),
writing_os.bmp (137) and formatting_flash.bmp (138)."""

import os
import struct
import sys

SCREEN_W, SCREEN_H = 240, 320

# A 5 x 7 pixel font for the few characters the screens show.
GLYPHS = {
    'A': ".###.#...##...#######...##...##...#", 'B': "####.#...##...#####.#...##...#####.",
    'C': ".###.#...##....#....#....#...#.###.", 'D': "###..#..#.#...##...##...##..#.###..",
    'E': "######....#....####.#....#....#####", 'F': "######....#....####.#....#....#....",
    'G': ".###.#...##....#.####...##...#.####", 'H': "#...##...##...#######...##...##...#",
    'I': ".###...#....#....#....#....#...###.", 'J': "..###...#....#....#....##..#..##...",
    'K': "#...##..#.#.#..##...#.#..#..#.#...#", 'L': "#....#....#....#....#....#....#####",
    'M': "#...###.###.#.##.#.##...##...##...#", 'N': "#...##...###..##.#.##..###...##...#",
    'O': ".###.#...##...##...##...##...#.###.", 'P': "####.#...##...#####.#....#....#....",
    'Q': ".###.#...##...##...##.#.##..#..##.#", 'R': "####.#...##...#####.#.#..#..#.#...#",
    'S': ".#####....#.....###.....#....#####.", 'T': "#####..#....#....#....#....#....#..",
    'U': "#...##...##...##...##...##...#.###.", 'V': "#...##...##...##...##...#.#.#...#..",
    'W': "#...##...##...##.#.##.#.##.#.#.#.#.", 'X': "#...##...#.#.#...#...#.#.#...##...#",
    'Y': "#...##...#.#.#...#....#....#....#..", 'Z': "#####....#...#...#...#...#....#####",
    '0': ".###.#...##..###.#.###..##...#.###.", '1': "..#...##....#....#....#....#...###.",
    '2': ".###.#...#....#...#...#...#...#####", '3': "#####...#...#.....#.....##...#.###.",
    '4': "...#...##..#.#.#..#.#####...#....#.", '5': "######....####.....#....##...#.###.",
    '6': "..##..#...#....####.#...##...#.###.", '7': "#####....#...#...#...#....#....#...",
    '8': ".###.#...##...#.###.#...##...#.###.", '9': ".###.#...##...#.####....#...#..##..",
    '.': ".........................##...##...", ':': "......##...##.........##...##......",
    '%': "##...##..#...#...#...#...#..##...##", '-': "...............#####...............",
    ' ': "...................................",
}


class Canvas:
    """A picture of palette indices, row 0 at the top."""

    def __init__(self, width, height, fill=0):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def rect(self, x, y, w, h, colour):
        for row in range(max(y, 0), min(y + h, self.height)):
            for col in range(max(x, 0), min(x + w, self.width)):
                self.pixels[row][col] = colour

    def frame(self, x, y, w, h, colour):
        self.rect(x, y, w, 1, colour)
        self.rect(x, y + h - 1, w, 1, colour)
        self.rect(x, y, 1, h, colour)
        self.rect(x + w - 1, y, 1, h, colour)

    def text(self, x, y, text, colour, scale=2):
        for ch in text:
            glyph = GLYPHS[ch]
            for row in range(7):
                for col in range(5):
                    if glyph[row * 5 + col] == '#':
                        self.rect(x + col * scale, y + row * scale, scale, scale, colour)
            x += 6 * scale

    def centred_text(self, y, text, colour, scale=2):
        self.text((self.width - (len(text) * 6 - 1) * scale) // 2, y, text, colour, scale)


def bmp_bytes(canvas, palette, bits):
    """A Windows bitmap file: bottom-up rows padded to 4 bytes, with its palette."""
    stride = ((canvas.width * bits + 31) // 32) * 4
    rows = []
    for row in reversed(canvas.pixels):
        if bits == 8:
            data = bytes(row)
        else:  # 1 bit: the leftmost pixel in the top bit
            data = bytearray((canvas.width + 7) // 8)
            for col, value in enumerate(row):
                if value:
                    data[col // 8] |= 0x80 >> (col % 8)
            data = bytes(data)
        rows.append(data + b"\0" * (stride - len(data)))
    colours = 1 << bits
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    table += b"\0" * (colours * 4 - len(table))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, bits, 0, len(pixels), 2835, 2835, 0, 0)
    offset = 14 + len(info) + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + table + pixels


# The 256-colour screens: the downloader's colours, the rest of the palette unused.
BLACK, WHITE, NAVY, SKY, GREY, GREEN, DARK = range(7)
SCREEN_PALETTE = [(0, 0, 0), (255, 255, 255), (0, 32, 128), (160, 200, 255), (192, 192, 192), (0, 160, 64),
                  (64, 64, 64)]


def downloader_screen(lines):
    c = Canvas(SCREEN_W, SCREEN_H, WHITE)
    c.rect(0, 0, SCREEN_W, 36, NAVY)
    c.centred_text(11, "USB DOWNLOADER", WHITE)
    c.rect(0, 36, SCREEN_W, 2, SKY)
    y = 64
    for text, colour in lines:
        c.text(12, y, text, colour)
        y += 28
    c.rect(0, SCREEN_H - 24, SCREEN_W, 24, GREY)
    c.centred_text(SCREEN_H - 19, "V1.0", DARK)
    return c


def downloader_ready():
    c = downloader_screen([("USB HOST CONNECTED", GREEN), ("WAITING FOR", BLACK), ("DOWNLOAD...", BLACK)])
    # The USB plug.
    c.rect(104, 190, 32, 40, GREY)
    c.frame(104, 190, 32, 40, DARK)
    c.rect(112, 178, 6, 12, DARK)
    c.rect(122, 178, 6, 12, DARK)
    c.rect(116, 230, 8, 30, DARK)
    return c


def downloader_receiving():
    c = downloader_screen([("DOWNLOADING...", GREEN), ("DOWNLOAD SIZE:", BLACK), ("   32768 KB", NAVY),
                           ("RECEIVED SIZE:", BLACK), ("   12288 KB", NAVY)])
    c.frame(12, 220, 216, 20, DARK)
    c.rect(14, 222, 80, 16, GREEN)
    return c


# The black-and-white screens: index 0 black, 1 white.
MONO_PALETTE = [(0, 0, 0), (255, 255, 255)]


def mono_screen(lines, done):
    c = Canvas(SCREEN_W, SCREEN_H, 1)
    c.rect(0, 0, SCREEN_W, 36, 0)
    c.centred_text(11, "USB DOWNLOADER", 1)
    y = 60
    for text in lines:
        c.text(12, y, text, 0)
        y += 26
    c.frame(12, 250, 216, 20, 0)
    c.rect(14, 252, done * 212 // 100, 16, 0)
    c.centred_text(280, "%d%%" % done, 0)
    return c


def formatting_flash():
    return mono_screen(["FORMAT FLASH...", "         OK", "CREATE PARTITION", "         OK", "WRITE OS..."], 5)


def writing_os():
    return mono_screen(["WRITING OS", "TO FLASH...", "", "DO NOT REMOVE", "THE BATTERY"], 45)


# The icon: the handheld with a download arrow over its screen, in 16 and 256 colours.
ICON_PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
                (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
                (255, 0, 255), (0, 255, 255), (255, 255, 255)]
I_BLACK, I_DGREEN, I_SILVER, I_GREY, I_GREEN, I_CYAN, I_WHITE, I_TEAL = 0, 2, 7, 8, 10, 14, 15, 6


def icon_picture(size):
    """Palette indices and a transparency mask (True: transparent) for one size."""
    c = Canvas(size, size, I_WHITE)
    u = size / 16.0
    transparent = [[True] * size for _ in range(size)]

    def box(x, y, w, h, colour):
        x0, y0, x1, y1 = round(x * u), round(y * u), round((x + w) * u), round((y + h) * u)
        c.rect(x0, y0, x1 - x0, y1 - y0, colour)
        for row in range(y0, min(y1, size)):
            for col in range(x0, min(x1, size)):
                transparent[row][col] = False

    box(3, 0, 10, 16, I_BLACK)     # the case
    box(3.5, 0.5, 9, 15, I_GREY)
    box(4.5, 1.5, 7, 8.5, I_BLACK)  # the screen
    box(5, 2, 6, 7.5, I_CYAN)
    box(7, 2.5, 2, 3.5, I_DGREEN)   # the arrow
    box(6, 5.5, 4, 1, I_DGREEN)
    box(7, 6.5, 2, 1, I_DGREEN)
    box(6, 11, 4, 2.5, I_SILVER)   # the button
    box(7, 11.5, 2, 1.5, I_GREEN)
    return c, transparent


def icon_image(size, bits):
    c, transparent = icon_picture(size)
    colours = 1 << bits
    palette = ICON_PALETTE + [(0, 0, 0)] * (colours - len(ICON_PALETTE))
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    xor_stride = ((size * bits + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b"", b""
    for row in reversed(range(size)):
        line = bytearray(xor_stride)
        bits_line = bytearray(and_stride)
        for col in range(size):
            value = 0 if transparent[row][col] else c.pixels[row][col]
            if bits == 8:
                line[col] = value
            else:
                line[col // 2] |= value << (4 if col % 2 == 0 else 0)
            if transparent[row][col]:
                bits_line[col // 8] |= 0x80 >> (col % 8)
        xor += bytes(line)
        mask += bytes(bits_line)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + table + xor + mask


def ico_bytes():
    images = [(size, bits, icon_image(size, bits)) for bits in (4, 8) for size in (16, 32, 48)]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, bits, image in images:
        colour_count = 16 if bits == 4 else 0
        entries += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits, len(image), offset + len(data))
        data += image
    return header + entries + data


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: draw_pictures.py OUTPUT_DIR\n")
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    files = {
        "orvane.ico": ico_bytes(),
        "downloader_ready.bmp": bmp_bytes(downloader_ready(), SCREEN_PALETTE, 8),
        "downloader_receiving.bmp": bmp_bytes(downloader_receiving(), SCREEN_PALETTE, 8),
        "writing_os.bmp": bmp_bytes(writing_os(), MONO_PALETTE, 1),
        "formatting_flash.bmp": bmp_bytes(formatting_flash(), MONO_PALETTE, 1),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
