#!/usr/bin/env python3
"""decode_jpeg_numpy.py FILE.jpg [SCALE]: decodes a JPEG into a NumPy array
through the C interface of the picture show's decoder (picshow_jpeg.h), with
ctypes, and prints its size and the mean of each colour channel, as
decode_jpeg does; at 1/SCALE of its size (2, 4 or 8) when given.

The library is libpicshow-jpeg.so.3 where the dynamic loader finds it, or the
file that PICSHOW_JPEG_LIBRARY names.
"""
import ctypes
import os
import sys

import numpy as np


class Options(ctypes.Structure):
    """picshow_jpeg_options; size says how much of it the library may read."""

    _fields_ = [
        ("size", ctypes.c_size_t),
        ("max_pixels", ctypes.c_uint64),
        ("max_scans", ctypes.c_int),
        ("threads", ctypes.c_int),
        ("scale_denominator", ctypes.c_int),
    ]


def load_library():
    library = ctypes.CDLL(os.environ.get("PICSHOW_JPEG_LIBRARY", "libpicshow-jpeg.so.3"))
    int_p = ctypes.POINTER(ctypes.c_int)
    options_p = ctypes.POINTER(Options)
    library.picshow_jpeg_default_options.argtypes = [options_p]
    library.picshow_jpeg_default_options.restype = None
    library.picshow_jpeg_status_name.argtypes = [ctypes.c_int]
    library.picshow_jpeg_status_name.restype = ctypes.c_char_p
    library.picshow_jpeg_query_file.argtypes = [ctypes.c_char_p, options_p, int_p, int_p, int_p]
    library.picshow_jpeg_query_file.restype = ctypes.c_int
    library.picshow_jpeg_decode_file.argtypes = [
        ctypes.c_char_p, options_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, int_p, int_p, int_p]
    library.picshow_jpeg_decode_file.restype = ctypes.c_int
    return library


def decode(library, path, options):
    """The picture as a height x width x channels array of uint8: 1 channel
    for grey pictures, R, G, B for colour ones."""
    name = os.fsencode(path)
    width, height, components = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    status = library.picshow_jpeg_query_file(name, ctypes.byref(options), ctypes.byref(width),
                                             ctypes.byref(height), ctypes.byref(components))
    if status == 0:
        channels = 1 if components.value == 1 else 3
        # The decoder writes the rows straight into the array.
        pixels = np.empty((height.value, width.value, channels), dtype=np.uint8)
        status = library.picshow_jpeg_decode_file(name, ctypes.byref(options), channels, pixels.ctypes.data,
                                                  pixels.nbytes, None, None, None)
    if status != 0:
        raise RuntimeError(f"{path}: {library.picshow_jpeg_status_name(status).decode()}")
    return pixels, components.value


def main():
    if len(sys.argv) not in (2, 3):
        print("usage: decode_jpeg_numpy.py FILE.jpg [SCALE]", file=sys.stderr)
        return 2
    library = load_library()
    options = Options()
    library.picshow_jpeg_default_options(ctypes.byref(options))
    options.max_pixels = 64 << 20
    if len(sys.argv) == 3:
        options.scale_denominator = int(sys.argv[2])
    try:
        pixels, components = decode(library, sys.argv[1], options)
    except RuntimeError as error:
        print(f"decode_jpeg_numpy.py: {error}", file=sys.stderr)
        return 1
    height, width, channels = pixels.shape
    # Whole sums, then one division each, as decode_jpeg computes them.
    sums = pixels.reshape(-1, channels).sum(axis=0, dtype=np.uint64)
    means = " ".join(f"{int(s) / (width * height):.2f}" for s in sums)
    print(f"{sys.argv[1]}: {width}x{height}, {components} component(s), mean {means}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
