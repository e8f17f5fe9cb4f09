#!/usr/bin/env python3
"""Builds the Windows icon app/win32/MorFWUpload.ico from the program's PNG icons: 16, 32 and
48 pixels as 32-bit bitmaps (every Windows reads those), 256 as PNG. Needs only Python.
Usage: scripts/make_ico.py"""
import os, struct, zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
ICONS = os.path.join(ROOT, "app", "resources", "icons")
OUT = os.path.join(ROOT, "app", "win32", "MorFWUpload.ico")


def read_rgba(path):
    """The pixels of an 8-bit RGBA, non-interlaced PNG, as rows of bytes."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat, w = 8, b"", 0
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and ctype == 6 and interlace == 0, path
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw, stride, rows, prev = zlib.decompress(idat), w * 4, [], bytearray(w * 4)
    for y in range(h):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return w, h, rows


def bitmap_entry(path):
    w, h, rows = read_rgba(path)
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes(px for i in range(0, len(r), 4) for px in (r[i + 2], r[i + 1], r[i], r[i + 3]))
                   for r in reversed(rows))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for r in reversed(rows):
        line = bytearray(mask_stride)
        for x in range(w):
            if r[x * 4 + 3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return w, header + xor + bytes(mask)


def main():
    entries = [bitmap_entry(os.path.join(ICONS, "MorFWUpload-%d.png" % s)) for s in (16, 32, 48)]
    entries.append((256, open(os.path.join(ICONS, "MorFWUpload-256.png"), "rb").read()))
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for size, body in entries:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(body), offset)
        offset += len(body)
    out += b"".join(body for _, body in entries)
    open(OUT, "wb").write(out)


if __name__ == "__main__":
    main()
