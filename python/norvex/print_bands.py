"""Print bands from a bilevel image, with numpy.

The machine takes print data in bands of 32 lines; each band is blocks of
64 bytes, block b holding pixels 16b..16b+15 of the band's 32 lines as one
16-bit little-endian word per line, the leftmost pixel in bit 15. An image
is made up with white to a width of a multiple of 16 and a height of a
multiple of 32 (norvexctl prints images the same way).
"""

from typing import Any

BAND_LINES = 32


def bands_from_image(image: Any) -> bytes:
    """Print bands (bytes) of a 2-D bitmap: a numpy array (or nested lists)
    of bool (1 bit: True = black) or of 8-bit integers (non-zero = black).
    Anything else, e.g. floating-point grey values or a 3-D colour image,
    raises ValueError: an image is thresholded before it becomes print data."""
    import numpy
    array = numpy.asarray(image)
    if array.dtype != numpy.bool_ and array.dtype not in (numpy.uint8, numpy.int8):
        raise ValueError(f"bands_from_image() takes a bitmap of bool or 8-bit integers, not {array.dtype} "
                         "(threshold grey or colour images first)")
    if array.ndim != 2:
        raise ValueError(f"bands_from_image() takes a 2-D bitmap (lines, pixels), not {array.ndim}-D "
                         f"{array.shape}")
    bits = array.astype(bool)
    height, width = bits.shape
    padded = numpy.zeros(((height + 31) // 32 * 32, (width + 15) // 16 * 16), dtype=bool)
    padded[:height, :width] = bits
    lines = numpy.packbits(padded, axis=1)  # leftmost pixel in the high bit of each byte
    # Each line's words: high byte (pixels 0..7 of the word) second in memory.
    words = lines.reshape(lines.shape[0], -1, 2)[:, :, ::-1]
    # (bands, 32 lines, blocks, 2 bytes) -> (bands, blocks, 32 lines, 2 bytes)
    bands = words.reshape(-1, BAND_LINES, words.shape[1], 2).transpose(0, 2, 1, 3)
    return bytes(numpy.ascontiguousarray(bands).tobytes())


def image_from_bands(data: Any, width: int) -> Any:
    """The 2-D boolean image (a numpy array) of print bands `width` pixels
    wide (a multiple of 16); a band cut short at the end is left out."""
    import numpy
    if width <= 0 or width % 16:
        raise ValueError("the width of print bands is a positive multiple of 16")
    raw = numpy.frombuffer(bytes(data), dtype=numpy.uint8)
    band_bytes = width // 8 * BAND_LINES
    raw = raw[:len(raw) // band_bytes * band_bytes]
    bands = raw.reshape(-1, width // 16, BAND_LINES, 2).transpose(0, 2, 1, 3)[:, :, :, ::-1]
    return numpy.unpackbits(bands.reshape(-1, width // 8), axis=1).astype(bool)
