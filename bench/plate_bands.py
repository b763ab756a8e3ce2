#!/usr/bin/env python3
"""plate_bands.py: a bilevel TIFF as the print data of the platesetter, for
the Windows benchmark (scripts/bench-windows).

  plate_bands.py IMAGE.tif OUT.bin      prints the width in pixels

The image (any compression libtiff reads, via tiffcp of Debian's
libtiff-tools) becomes bands of 32 lines, a 1 bit for every exposed (black)
pixel: in a band, word t (little-endian) of 64-byte block b holds the 16
pixels of columns 16b to 16b + 15 of line t, leftmost pixel in the top bit.
The width must be a multiple of 16 pixels; lines past the last whole band
are left out.
"""
import os
import struct
import subprocess
import sys
import tempfile


def read_uncompressed(path):
    """(width, height, packed rows, black is 1) of a one-strip uncompressed
    bilevel TIFF."""
    data = open(path, "rb").read()
    order = {b"II": "<", b"MM": ">"}[data[:2]]
    (ifd,) = struct.unpack(order + "I", data[4:8])
    (count,) = struct.unpack(order + "H", data[ifd:ifd + 2])
    tags = {}
    for k in range(count):
        tag, kind, _, value = struct.unpack(order + "HHII", data[ifd + 2 + 12 * k:ifd + 14 + 12 * k])
        if kind == 3:  # SHORT: in the first two bytes of the value field
            value = struct.unpack(order + "H", data[ifd + 10 + 12 * k:ifd + 12 + 12 * k])[0]
        tags[tag] = value
    width, height = tags[256], tags[257]
    if tags.get(258, 1) != 1 or tags.get(259, 1) != 1 or tags.get(266, 1) != 1:
        raise SystemExit(f"{path}: not an uncompressed bilevel image")
    rows = data[tags[273]:tags[273] + tags[279]]
    return width, height, rows, tags.get(262, 0) == 0  # WhiteIsZero: 1 is black


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with tempfile.TemporaryDirectory() as work:
        plain = os.path.join(work, "plain.tif")
        subprocess.run(["tiffcp", "-c", "none", "-r", "1000000", argv[1], plain], check=True)
        width, height, rows, black_is_one = read_uncompressed(plain)
    if width % 16 != 0:
        raise SystemExit(f"{argv[1]}: width {width} is not a multiple of 16")
    line = width // 8
    if not black_is_one:
        rows = bytes(b ^ 0xFF for b in rows)
    bands = bytearray()
    for top in range(0, height - height % 32, 32):
        band = bytearray(32 * line)
        for t in range(32):
            row = rows[(top + t) * line:(top + t + 1) * line]
            # Each 16-pixel word little-endian: its low byte (the right
            # 8 pixels) first.
            band[2 * t:len(band):64] = row[1::2]
            band[2 * t + 1:len(band):64] = row[0::2]
        bands += band
    open(argv[2], "wb").write(bands)
    print(width)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
