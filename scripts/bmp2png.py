#!/usr/bin/env python3
"""Converts the 32-bit bitmaps the native dialog's tests save (MORFW_SCREENSHOT_DIR) into PNG
files. Needs only Python.
Usage: scripts/bmp2png.py IN.bmp OUT.png"""
import struct, sys, zlib


def main():
    src, dst = sys.argv[1], sys.argv[2]
    data = open(src, "rb").read()
    assert data[:2] == b"BM", src
    offset = struct.unpack_from("<I", data, 10)[0]
    w, h, _, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 32, "32-bit bitmaps only"
    top_down = h < 0
    h = abs(h)
    rows = []
    for y in range(h):
        src_y = y if top_down else h - 1 - y
        line = data[offset + src_y * w * 4:offset + (src_y + 1) * w * 4]
        rgb = bytearray()
        for x in range(w):
            b, g, r = line[x * 4], line[x * 4 + 1], line[x * 4 + 2]
            rgb += bytes((r, g, b))
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    open(dst, "wb").write(png)


if __name__ == "__main__":
    main()
