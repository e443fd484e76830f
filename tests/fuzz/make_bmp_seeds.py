#!/usr/bin/env python3
"""Writes the BMP seed corpus of the frame-loader fuzzer: one small file per layout capture drivers
write. Run by hand after changing it; the files it writes are kept in the repository."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "bmp")


def bmp(width, height, bits, rows, info_size=40, compression=0, masks=b"", palette=b"", colours_used=0):
    """rows: bytes of each stored row, unpadded; height < 0 means top-down."""
    stride = (width * bits + 31) // 32 * 4
    pixels = b"".join(r.ljust(stride, b"\0") for r in rows)
    info = struct.pack("<IiiHHIIiiII", info_size, width, height, 1, bits, compression, len(pixels),
                       2835, 2835, colours_used, 0)
    extra = masks if info_size > 40 else b""
    info = (info + extra).ljust(info_size, b"\0")
    after_info = b"" if info_size > 40 else masks
    offset = 14 + info_size + len(after_info) + len(palette)
    head = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return head + info + after_info + palette + pixels


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


os.makedirs(OUT, exist_ok=True)
grey4 = b"".join(struct.pack("<I", v * 0x111111) for v in range(16))
write("rgb24-bottom-up.bmp", bmp(3, 2, 24, [b"\x00\x00\xff" * 3, b"\xff\x00\x00\x00\xff\x00\xff\xff\xff"]))
write("rgb24-top-down.bmp", bmp(2, -2, 24, [b"\x00\x00\xff\x00\xff\x00", b"\xff\x00\x00\x00\x00\x00"]))
write("rgb555.bmp", bmp(3, 2, 16, [struct.pack("<3H", 0x7C00, 0x03E0, 0x001F), struct.pack("<3H", 0x7FFF, 0, 0x4210)]))
write("bitfields565-info40.bmp", bmp(2, 2, 16, [struct.pack("<2H", 0xF800, 0x07E0), struct.pack("<2H", 0x001F, 0xFFFF)],
                                     compression=3, masks=struct.pack("<3I", 0xF800, 0x07E0, 0x001F)))
write("bitfields32-v5.bmp", bmp(2, 1, 32, [struct.pack("<2I", 0xFF000000, 0x00FF0000)], info_size=124,
                                compression=3, masks=struct.pack("<3I", 0xFF000000, 0x00FF0000, 0x0000FF00)))
write("rgb32-v4.bmp", bmp(1, 2, 32, [b"\x10\x20\x30\x00", b"\xff\xff\xff\x00"], info_size=108))
write("pal1.bmp", bmp(9, 2, 1, [b"\xaa\x80", b"\x55\x00"], palette=struct.pack("<2I", 0, 0xFFFFFF)))
write("pal4-52.bmp", bmp(3, 1, 4, [b"\x0f\x70"], info_size=52, palette=grey4))
write("pal8-used3.bmp", bmp(4, 1, 8, [b"\x00\x01\x02\x01"], info_size=56, colours_used=3,
                            palette=struct.pack("<3I", 0xFF0000, 0x00FF00, 0x0000FF)))
write("empty.bmp", bmp(0, 0, 24, []))

# Hostile frame files, each one a reason to refuse; replayed through the parser and, as frame files,
# through the whole program (file: source). Kept in regressions/ so that both runs see them.
HOSTILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "regressions", "bmp")
os.makedirs(HOSTILE, exist_ok=True)
good = bmp(3, 2, 24, [b"\x00\x00\xff" * 3, b"\xff\x00\x00\x00\xff\x00\xff\xff\xff"])


def patch(data, offset, fmt, value):
    return data[:offset] + struct.pack(fmt, value) + data[offset + struct.calcsize(fmt):]


def hostile(name, data):
    with open(os.path.join(HOSTILE, "hostile-" + name), "wb") as f:
        f.write(data)


hostile("text.bmp", b"this is not a picture\n")
hostile("png-signature.bmp", b"\x89PNG\r\n\x1a\n" + b"\0" * 60)
hostile("magic-only.bmp", b"BM")
hostile("header-cut.bmp", good[:30])
hostile("pixels-cut.bmp", good[:-5])
hostile("info-size-12.bmp", patch(good, 14, "<I", 12))
hostile("info-size-huge.bmp", patch(good, 14, "<I", 0xFFFFFFF0))
hostile("width-negative.bmp", patch(good, 18, "<i", -3))
hostile("height-int-min.bmp", patch(good, 22, "<i", -2**31))
hostile("dimensions-huge.bmp", patch(patch(good, 18, "<i", 0x7FFFFFFF), 22, "<i", 0x7FFFFFFF))
hostile("dimensions-65536-square.bmp", patch(patch(good, 18, "<i", 65536), 22, "<i", 65536))
hostile("planes-zero.bmp", patch(good, 26, "<H", 0))
hostile("bits-zero.bmp", patch(good, 28, "<H", 0))
hostile("bits-7.bmp", patch(good, 28, "<H", 7))
hostile("bits-65535.bmp", patch(good, 28, "<H", 0xFFFF))
hostile("rle8.bmp", patch(patch(good, 28, "<H", 8), 30, "<I", 1))
hostile("embedded-jpeg.bmp", patch(good, 30, "<I", 4))
hostile("compression-huge.bmp", patch(good, 30, "<I", 0xFFFFFFFF))
hostile("pixel-offset-past-end.bmp", patch(good, 10, "<I", 0xFFFFFFFF))
hostile("pixel-offset-in-header.bmp", patch(good, 10, "<I", 2))
hostile("colour-table-too-many.bmp", bmp(4, 1, 8, [b"\0\1\2\3"], colours_used=257, palette=b"\0" * 1028))
hostile("colour-table-cut.bmp", bmp(4, 1, 8, [b"\0\1\2\3"], colours_used=0, palette=b"\0" * 16))
hostile("colour-table-count-huge.bmp", bmp(4, 1, 8, [b"\0\1\2\3"], colours_used=0xFFFFFFFF, palette=b"\0" * 16))
hostile("bitfields-zero-mask.bmp", bmp(2, 1, 16, [b"\0" * 4], compression=3, masks=struct.pack("<3I", 0xF800, 0, 0x1F)))
hostile("bitfields-overlap.bmp", bmp(2, 1, 16, [b"\0" * 4], compression=3, masks=struct.pack("<3I", 0xFC00, 0x07E0, 0x1F)))
hostile("bitfields-gappy.bmp", bmp(2, 1, 16, [b"\0" * 4], compression=3, masks=struct.pack("<3I", 0xA800, 0x07E0, 0x1F)))
hostile("bitfields-wider-than-pixel.bmp", bmp(2, 1, 16, [b"\0" * 4], compression=3, masks=struct.pack("<3I", 0xF8000, 0x07E0, 0x1F)))
hostile("bitfields-masks-cut.bmp", bmp(2, 1, 16, [b"\0" * 4], compression=3)[:14 + 40 + 6])
hostile("bitfields-24-bit.bmp", bmp(2, 1, 24, [b"\0" * 6], compression=3, masks=struct.pack("<3I", 0xFF0000, 0xFF00, 0xFF)))
