#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: small DIBs and PNGs of every
layout the readers take, and a few broken ones. Run it from anywhere; it
rewrites tests/fuzz/corpus/dib and tests/fuzz/corpus/png beside it, keeping the
files named found-* (small inputs the fuzzers found that reach code the
written ones do not)."""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def colour(x, y):
    return ((x * 37 + y * 11) & 0xFF, (x * 5 + y * 71 + 3) & 0xFF, ((x ^ y) * 13 + 200) & 0xFF)


# --- DIBs ---------------------------------------------------------------------

def pad4(row):
    return row + b"\0" * (-len(row) % 4)


def dib(width, height, bits, rows, header_size=40, compression=0, masks=(), table=(),
        colours_used=0, planes=1, after_header=b"", trailing=b""):
    """rows: stored rows (bottom-up for a positive height), unpadded."""
    pixels = b"".join(pad4(r) for r in rows)
    if header_size == 12:
        header = struct.pack("<IHHHH", 12, width, height, planes, bits)
        entry = lambda c: bytes((c[2], c[1], c[0]))
    else:
        header = struct.pack("<IiiHHIIiiII", header_size, width, height, planes, bits, compression,
                             len(pixels), 2835, 2835, colours_used, 0)
        if header_size > 40:
            header += b"".join(struct.pack("<I", m) for m in masks)
            header = header.ljust(header_size, b"\0")
        else:
            header += b"".join(struct.pack("<I", m) for m in masks)
        entry = lambda c: bytes((c[2], c[1], c[0], 0))
    return header + after_header + b"".join(entry(c) for c in table) + pixels + trailing


def indexed_rows(width, height, bits):
    rows = []
    for y in range(height):
        value, count, row = 0, 0, bytearray()
        for x in range(width):
            value = (value << bits) | ((x + 3 * y) % (1 << bits))
            count += bits
            if count == 8:
                row.append(value)
                value, count = 0, 0
        if count:
            row.append(value << (8 - count))
        rows.append(bytes(row))
    return rows


def packed_rows(width, height, pack):
    return [b"".join(pack(*colour(x, y)) for x in range(width)) for y in range(height)]


def dibs():
    table = lambda n: [colour(i, 7 * i) for i in range(n)]
    rgb555 = lambda r, g, b: struct.pack("<H", (r >> 3) << 10 | (g >> 3) << 5 | b >> 3)
    rgb565 = lambda r, g, b: struct.pack("<H", (r >> 3) << 11 | (g >> 2) << 5 | b >> 3)
    bgr = lambda r, g, b: bytes((b, g, r))
    bgrx = lambda r, g, b: bytes((b, g, r, 0x80))
    std = (0xFF0000, 0xFF00, 0xFF)
    good = {
        "core-1bpp.dib": dib(5, 3, 1, indexed_rows(5, 3, 1), header_size=12, table=table(2)),
        "core-24bpp.dib": dib(3, 2, 24, packed_rows(3, 2, bgr), header_size=12),
        "info-1bpp.dib": dib(9, 2, 1, indexed_rows(9, 2, 1), table=table(2)),
        "info-4bpp-top-down.dib": dib(5, -3, 4, indexed_rows(5, 3, 4), table=table(6),
                                      colours_used=6),
        "info-8bpp.dib": dib(3, 3, 8, indexed_rows(3, 3, 8), table=table(16), colours_used=16),
        "info-16bpp-555.dib": dib(3, 2, 16, packed_rows(3, 2, rgb555)),
        "info-16bpp-565.dib": dib(3, 2, 16, packed_rows(3, 2, rgb565), compression=3,
                                  masks=(0xF800, 0x07E0, 0x001F)),
        "info-24bpp.dib": dib(5, 2, 24, packed_rows(5, 2, bgr)),
        "info-32bpp.dib": dib(4, 3, 32, packed_rows(4, 3, bgrx)),
        "info-32bpp-alpha-masks.dib": dib(2, 2, 32, packed_rows(2, 2, bgrx), compression=6,
                                          masks=std + (0xFF000000,)),
        "info-32bpp-table.dib": dib(2, 2, 32, packed_rows(2, 2, bgrx), colours_used=2,
                                    table=table(2)),
        "v2-32bpp.dib": dib(2, 2, 32, packed_rows(2, 2, bgrx), header_size=52, compression=3,
                            masks=std),
        "v3-16bpp-444.dib": dib(3, 2, 16, packed_rows(
            3, 2, lambda r, g, b: struct.pack("<H", 0xF000 | (r >> 4) << 8 | (g >> 4) << 4 | b >> 4)),
            header_size=56, compression=6, masks=(0xF00, 0xF0, 0xF, 0xF000)),
        "v4-32bpp-top-down.dib": dib(3, -2, 32, packed_rows(3, 2, bgrx), header_size=108,
                                     compression=3, masks=std),
        "v5-32bpp-10bit.dib": dib(2, 2, 32, packed_rows(
            2, 2, lambda r, g, b: struct.pack("<I", r << 22 | g << 12 | b << 2)),
            header_size=124, compression=3, masks=(0x3FF00000, 0xFFC00, 0x3FF)),
        "v5-32bpp-repeated-masks.dib": dib(2, 2, 32, packed_rows(2, 2, bgrx), header_size=124,
                                           compression=3, masks=std,
                                           after_header=struct.pack("<III", *std)),
        "v5-24bpp-trailing.dib": dib(3, 2, 24, packed_rows(3, 2, bgr), header_size=124,
                                     trailing=b"\0" * 16),
    }
    broken = {
        "broken-cut.dib": good["info-24bpp.dib"][:-5],
        "broken-rle8.dib": dib(2, 2, 8, [b"\x02\x01", b"\x00\x01"], compression=1,
                               table=table(2), colours_used=2),
        "broken-overlapping-masks.dib": dib(2, 1, 32, packed_rows(2, 1, bgrx), compression=3,
                                            masks=(0xFF0000, 0x1FF00, 0xFF)),
        "broken-height-int-min.dib": dib(1, -2 ** 31, 24, [b"\0\0\0"]),
        "broken-huge.dib": dib(65536, 65536, 32, [b"\0" * 8]),
        "broken-table.dib": dib(2, 2, 8, [b"\0\1", b"\1\0"], colours_used=0xFFFFFFFF),
    }
    return {**good, **broken}


# --- PNGs ---------------------------------------------------------------------

def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(
        ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(width, height, depth, colour_type, sample, palette=None, trns=None, interlace=False):
    """sample(x, y) gives the pixel's samples as a tuple."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]

    def row_bytes(xs, y):
        if depth == 16:
            return b"".join(struct.pack(">" + "H" * channels, *sample(x, y)) for x in xs)
        bits = "".join(format(s, "0%db" % depth) for x in xs for s in sample(x, y))
        bits += "0" * (-len(bits) % 8)
        return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))

    passes = ([(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4),
               (1, 0, 2, 2), (0, 1, 1, 2)] if interlace else [(0, 0, 1, 1)])
    raw = b""
    for x0, y0, dx, dy in passes:
        xs = range(x0, width, dx)
        if not xs:
            continue
        for y in range(y0, height, dy):
            raw += b"\0" + row_bytes(xs, y)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(
        ">IIBBBBB", width, height, depth, colour_type, 0, 0, 1 if interlace else 0))
    if palette:
        out += chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    if trns:
        out += chunk(b"tRNS", trns)
    return out + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def pngs():
    rgb = lambda x, y: colour(x, y)
    good = {
        "rgb8.png": png(7, 5, 8, 2, rgb),
        "rgb8-interlaced.png": png(9, 9, 8, 2, rgb, interlace=True),
        "rgba16.png": png(3, 3, 16, 6, lambda x, y: tuple(v * 257 for v in rgb(x, y)) + (x * 9000,)),
        "grey1.png": png(11, 3, 1, 0, lambda x, y: ((x + y) & 1,)),
        "grey-alpha8.png": png(4, 4, 8, 4, lambda x, y: (x * 60, y * 60)),
        "grey16.png": png(3, 2, 16, 0, lambda x, y: (x * 30000 + y,)),
        "palette2-trns.png": png(6, 3, 2, 3, lambda x, y: ((x + y) % 4,),
                                 palette=[colour(i, i) for i in range(4)], trns=b"\x00\x80"),
        "palette8-interlaced.png": png(5, 6, 8, 3, lambda x, y: ((x * 6 + y) % 5,),
                                       palette=[colour(i, 2 * i) for i in range(5)],
                                       interlace=True),
    }
    damaged = bytearray(good["rgb8.png"])
    damaged[40] ^= 0x55
    no_iend = good["rgb8.png"][:-12]
    broken = {
        "broken-cut.png": good["rgb8.png"][:60],
        "broken-crc.png": bytes(damaged),
        "broken-no-iend.png": no_iend,
        "broken-too-little-data.png": b"\x89PNG\r\n\x1a\n" + chunk(
            b"IHDR", struct.pack(">IIBBBBB", 64, 64, 8, 2, 0, 0, 0)) + chunk(
            b"IDAT", zlib.compress(b"\0" * 50)) + chunk(b"IEND", b""),
        "broken-palette-missing.png": png(2, 2, 8, 3, lambda x, y: (0,)),
    }
    return {**good, **broken}


def write(folder, files):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name in os.listdir(path):
        if not name.startswith("found-"):
            os.remove(os.path.join(path, name))
    for name, data in sorted(files.items()):
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("dib", dibs())
    write("png", pngs())
