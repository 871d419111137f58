#!/usr/bin/env python3
"""ico2png.py against icons of every entry kind, checked with Qt's ICO reader.

    ico2png_test.py ICO2PNG ICOCHECK

Writes .ico files with bitmap entries of 1, 4, 8, 24 and 32 bits (odd widths, so rows
carry padding; AND masks; alpha), an embedded PNG entry of 256 pixels, sizes the theme
has no folder for, and the same size twice; converts them; then zlp_icocheck compares
each PNG with what Qt decodes from the .ico. Broken files must give a one-line error.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

ICO2PNG, ICOCHECK = sys.argv[1], sys.argv[2]
failures = []


def pattern(size, x, y):
    """A picture whose every row and column differ, with transparent corners."""
    r, g, b = (x * 255 // size, y * 255 // size, (x ^ y) * 7 % 256)
    alpha = 0 if (x < 3 and y < 3) else (255 if x % 5 else 128)
    return r, g, b, alpha


def bitmap_entry(size, bits, masked=True):
    """BITMAPINFOHEADER, palette, XOR rows bottom-up and the AND mask (all clear unless masked)."""
    palette = []
    if bits <= 8:
        palette = [((i * 37) % 256, (i * 91) % 256, (i * 53) % 256) for i in range(1 << bits)]
    stride = ((size * bits + 31) // 32) * 4
    mask_stride = ((size + 31) // 32) * 4
    xor, mask = bytearray(), bytearray()
    for y in range(size - 1, -1, -1):
        row, mrow = bytearray(stride), bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = pattern(size, x, y)
            if a == 0 and masked:
                mrow[x // 8] |= 0x80 >> (x % 8)
            if bits == 32:
                row[4 * x:4 * x + 4] = bytes((b, g, r, a))
            elif bits == 24:
                row[3 * x:3 * x + 3] = bytes((b, g, r))
            else:
                index = (x + 3 * y) % (1 << bits)
                per_byte = 8 // bits
                row[x // per_byte] |= index << (8 - bits * (x % per_byte + 1))
        xor += row
        mask += mrow
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + pal + bytes(xor) + bytes(mask)


def png_entry(size):
    rows = b"".join(b"\x00" + bytes(v for x in range(size) for v in pattern(size, x, y))
                    for y in range(size))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def ico(entries):
    """entries: (width, height, bits, data)."""
    head = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    directory, body = b"", b""
    for w, h, bits, data in entries:
        directory += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, bits, len(data),
                                 offset + len(body))
        body += data
    return head + directory + body


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def convert(path, out):
    return subprocess.run([sys.executable, ICO2PNG, "--hicolor", out, "--name", "zlp", path],
                          capture_output=True, text=True)


def expect(ok, what, detail=""):
    if not ok:
        failures.append(f"{what}\n    {detail}".rstrip())


def qt_agrees(icon, out, what):
    check = subprocess.run([ICOCHECK, icon, out, "zlp"], capture_output=True, text=True, timeout=30)
    expect(check.returncode == 0, f"{what}: Qt's reading of the icon differs", check.stdout + check.stderr)
    return check.stdout


with tempfile.TemporaryDirectory() as tmp:
    # Every kind of entry, one per theme size, plus sizes that have no theme folder.
    mixed = write(tmp, "mixed.ico", ico([
        (16, 16, 32, bitmap_entry(16, 32)),
        (22, 22, 1, bitmap_entry(22, 1)),
        (24, 24, 4, bitmap_entry(24, 4)),
        (48, 48, 8, bitmap_entry(48, 8)),
        # Qt ignores a 24-bit image's mask; the mask code is the paletted sizes' one.
        (32, 32, 24, bitmap_entry(32, 24, masked=False)),
        (256, 256, 32, png_entry(256)),
        (20, 20, 32, bitmap_entry(20, 32)),
    ]))
    out = os.path.join(tmp, "mixed")
    result = convert(mixed, out)
    expect(result.returncode == 0, "mixed.ico converts", result.stderr)
    made = sorted(os.listdir(out)) if os.path.isdir(out) else []
    expect(made == ["16x16", "22x22", "24x24", "256x256", "32x32", "48x48"],
           "one folder per theme size, none for 20x20", made)
    report = qt_agrees(mixed, out, "mixed.ico")
    expect(report.count(": ok") == 6, "Qt checked six sizes", report)
    with open(os.path.join(out, "256x256", "apps", "zlp.png"), "rb") as f:
        expect(f.read() == png_entry(256), "an embedded PNG is copied byte for byte")

    # The same size twice: the deeper image wins, whatever the order.
    for order in ("deep-last", "deep-first"):
        entries = [(16, 16, 1, bitmap_entry(16, 1)), (16, 16, 32, bitmap_entry(16, 32))]
        if order == "deep-first":
            entries.reverse()
        twice = write(tmp, f"{order}.ico", ico(entries))
        out = os.path.join(tmp, order)
        convert(twice, out)
        deep_only = write(tmp, "deep-only.ico", ico([entries[0 if order == "deep-first" else 1]]))
        qt_agrees(deep_only, out, f"two 16x16 images, {order}")

    # Broken files: a one-line error naming the file, no traceback, no output folder.
    whole = ico([(32, 32, 32, bitmap_entry(32, 32))])
    for name, data in [("empty.ico", b""), ("cursor.ico", b"\0\0\2\0\1\0" + whole[6:]),
                       ("cut.ico", whole[:len(whole) // 2]),
                       ("rle.ico", whole[:6 + 16] + whole[22:22 + 16] + struct.pack("<I", 1)
                        + whole[22 + 20:]),
                       ("nosquare.ico", ico([(16, 32, 32, bitmap_entry(16, 32)[:0] + b"x" * 64)]))]:
        path = write(tmp, name, data)
        out = os.path.join(tmp, "broken-" + name)
        result = convert(path, out)
        expect(result.returncode != 0 and result.stderr.count("\n") == 1 and name in result.stderr
               and "Traceback" not in result.stderr, f"{name} is refused with one line", result.stderr)
        expect(not os.path.exists(out), f"{name} leaves no theme folder")

    # The project's own icon, when the tree has it.
    own = os.path.join(os.path.dirname(ICO2PNG), "..", "monitor", "images", "oemSetup.ico")
    if os.path.exists(own):
        out = os.path.join(tmp, "own")
        result = convert(own, out)
        expect(result.returncode == 0, "oemSetup.ico converts", result.stderr)
        print(qt_agrees(own, out, "oemSetup.ico"), end="")

for failure in failures:
    print("FAIL " + failure)
print("PASS ico2png" if not failures else f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
