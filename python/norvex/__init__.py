"""norvex: the Norvex platesetter library from Python, through ctypes.

A thin layer over the library's C interface (norvex.h): Platesetter has the
units' commands as methods, failures raise NorvexError (code, name, the
library's failure text as str), Emulator runs a virtual platesetter for
tests. The library (libnorvex.so.3, or Norvex.dll on Windows, loaded with
the standard calling convention) is loaded at its first use; NORVEX_LIBRARY
names another file.
"""

from .emulator import Emulator
from .errors import DeviceBusy, NoDevice, NorvexError, result_name
from .platesetter import (HS_BOARD, LASER_HEAD, LINK_COMMAND_FILE, LINK_COMPRESSED_FILE, LINK_TIFF_CAPTURE, LINK_USB,
                          LINK_USB_AND_TIFF_CAPTURE, MAIN_UNIT, Platesetter, Reply, compress, files_folder,
                          library_version, write_ini_string)
from .print_bands import bands_from_image, image_from_bands

__version__ = "3.2.1"

__all__ = [
    "Emulator", "Platesetter", "Reply", "NorvexError", "DeviceBusy", "NoDevice", "result_name", "library_version",
    "files_folder", "write_ini_string", "compress", "bands_from_image", "image_from_bands", "MAIN_UNIT",
    "LASER_HEAD", "HS_BOARD", "LINK_USB", "LINK_TIFF_CAPTURE", "LINK_USB_AND_TIFF_CAPTURE", "LINK_COMMAND_FILE",
    "LINK_COMPRESSED_FILE",
]
