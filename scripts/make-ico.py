#!/usr/bin/env python3
"""Packs PNG pictures into one Windows icon file (each picture kept as PNG data, which Windows reads
since Vista), smallest first.
    scripts/make-ico.py OUTPUT.ico PICTURE.png...
"""
import struct
import sys


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise SystemExit("make-ico: not a PNG file")
    return struct.unpack(">II", data[16:24])


def main(out, pictures):
    images = sorted((png_size(d), d) for d in (open(p, "rb").read() for p in pictures))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, blobs = b"", b""
    for (width, height), data in images:
        if width > 256 or height > 256:
            raise SystemExit("make-ico: a picture larger than 256 pixels")
        # 256 is written as 0; 32 bits per pixel, one plane.
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    with open(out, "wb") as f:
        f.write(header + entries + blobs)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2:])
