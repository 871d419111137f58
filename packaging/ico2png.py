#!/usr/bin/env python3
"""Writes the images of a Windows .ico file as PNG files for a freedesktop icon theme.

    ico2png.py --hicolor DIR --name NAME FILE.ico

For every square image whose size the hicolor theme has a folder for, writes
DIR/<size>x<size>/apps/NAME.png; where the file holds one size more than once, the
image with the most colour bits wins. Entries are either embedded PNG data, copied as
they are, or Windows bitmaps (1, 4, 8, 24 or 32 bits per pixel with the AND mask),
converted to 8-bit RGBA PNG. Plain Python, so a cross build runs it on the build machine.
"""
import argparse
import os
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
HICOLOR_SIZES = (16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, 256, 512)


class IcoError(Exception):
    pass


def entries(data):
    """(width, height, bit count, image bytes) for each directory entry."""
    if len(data) < 6:
        raise IcoError("shorter than an icon header")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise IcoError("not an icon file (header %d %d)" % (reserved, kind))
    if count == 0 or len(data) < 6 + 16 * count:
        raise IcoError("icon directory of %d entries does not fit" % count)
    result = []
    for i in range(count):
        w, h, _colours, _r, _planes, bits, size, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        if offset + size > len(data) or size == 0:
            raise IcoError("entry %d lies outside the file" % i)
        image = data[offset:offset + size]
        if image.startswith(PNG_SIGNATURE):
            if len(image) < 24 or image[12:16] != b"IHDR":
                raise IcoError("entry %d: PNG without its header" % i)
            w, h = struct.unpack_from(">II", image, 16)
            bits = image[24] * {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(image[25], 1)
        else:
            w, h = w or 256, h or 256
        result.append((w, h, bits, image))
    return result


def png_bytes(width, height, rgba_rows):
    """An 8-bit RGBA PNG of the rows (top first, each width * 4 bytes)."""
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + row for row in rgba_rows)
    return (PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bitmap_to_png(image):
    """A bitmap entry: BITMAPINFOHEADER, palette, colour rows bottom-up, then the AND mask."""
    if len(image) < 40:
        raise IcoError("bitmap entry shorter than its header")
    header, width, height2, _planes, bits, compression = struct.unpack_from("<IiiHHI", image, 0)
    colours_used = struct.unpack_from("<I", image, 32)[0]
    if header < 40 or width <= 0 or height2 <= 0 or height2 % 2:
        raise IcoError("bitmap header %d, %d x %d" % (header, width, height2))
    if compression not in (0, 3) or bits not in (1, 4, 8, 24, 32):
        raise IcoError("bitmap of %d bits, compression %d" % (bits, compression))
    height = height2 // 2
    palette = []
    pos = header
    if bits <= 8:
        n = colours_used or (1 << bits)
        for i in range(n):
            b, g, r, _ = image[pos + 4 * i:pos + 4 * i + 4]
            palette.append(bytes((r, g, b)))
        pos += 4 * n
    stride = ((width * bits + 31) // 32) * 4
    mask_stride = ((width + 31) // 32) * 4
    if pos + stride * height + (0 if bits == 32 else mask_stride * height) > len(image):
        raise IcoError("bitmap data cut short")
    mask_at = pos + stride * height
    rows = []
    for y in range(height - 1, -1, -1):  # bottom-up in the file
        line = image[pos + y * stride:pos + (y + 1) * stride]
        mask = image[mask_at + y * mask_stride:mask_at + (y + 1) * mask_stride]
        out = bytearray()
        for x in range(width):
            if bits == 32:
                b, g, r, a = line[4 * x:4 * x + 4]
                out += bytes((r, g, b, a))
                continue
            if bits == 24:
                b, g, r = line[3 * x:3 * x + 3]
                rgb = bytes((r, g, b))
            else:
                per_byte = 8 // bits
                byte = line[x // per_byte]
                shift = 8 - bits * (x % per_byte + 1)
                index = (byte >> shift) & ((1 << bits) - 1)
                if index >= len(palette):
                    raise IcoError("colour index %d past the palette" % index)
                rgb = palette[index]
            transparent = len(mask) and (mask[x // 8] >> (7 - x % 8)) & 1
            out += rgb + (b"\x00" if transparent else b"\xff")
        rows.append(bytes(out))
    if bits == 32 and not any(row[3::4].strip(b"\x00") for row in rows):
        # Old 32-bit icons leave alpha at zero and rely on the AND mask.
        rows = [with_mask_alpha(row, image[mask_at + (height - 1 - y) * mask_stride:][:mask_stride])
                for y, row in enumerate(rows)]
    return width, height, png_bytes(width, height, rows)


def with_mask_alpha(row, mask):
    """An RGBA row whose alpha comes from the AND mask row (bit set: transparent)."""
    fixed = bytearray(row)
    for x in range(len(row) // 4):
        fixed[4 * x + 3] = 0 if (mask[x // 8] >> (7 - x % 8)) & 1 else 255
    return bytes(fixed)


def hicolor_pngs(data):
    """{size: PNG bytes} for the square images of theme sizes, the deepest of each size."""
    best = {}
    for width, height, bits, image in entries(data):
        if width != height or width not in HICOLOR_SIZES:
            continue
        if width in best and best[width][0] >= bits:
            continue
        if image.startswith(PNG_SIGNATURE):
            png = image
        else:
            w, h, png = bitmap_to_png(image)
            if (w, h) != (width, height):
                raise IcoError("bitmap of %d x %d listed as %d x %d" % (w, h, width, height))
        best[width] = (bits, png)
    return {size: png for size, (_, png) in best.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hicolor", required=True, help="theme folder to write into")
    parser.add_argument("--name", required=True, help="icon name")
    parser.add_argument("ico")
    args = parser.parse_args()
    try:
        with open(args.ico, "rb") as f:
            pngs = hicolor_pngs(f.read())
    except (OSError, IcoError) as error:
        sys.exit("ico2png.py: %s: %s" % (args.ico, error))
    if not pngs:
        sys.exit("ico2png.py: %s holds no square image of a hicolor size" % args.ico)
    for size, png in sorted(pngs.items()):
        folder = os.path.join(args.hicolor, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, args.name + ".png"), "wb") as f:
            f.write(png)
        print("%dx%d" % (size, size))


if __name__ == "__main__":
    main()
