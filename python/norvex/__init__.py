"""norvex: the Norvex platesetter library from Python, through ctypes.

A thin layer over the library's C interface (norvex.h): Platesetter has the
units' commands as methods, failures raise NorvexError (code, name, the
library's failure text as str), list_devices() shows the device endpoints of
a folder, Emulator runs a virtual platesetter for tests. The library
(libnorvex.so.3, or Norvex.dll on Windows, loaded with the standard calling
convention) is loaded at its first use; NORVEX_LIBRARY names another file.

The package's version is the library's it was made with (norvex.h), and its
record sizes are the library's own (norvex_records.h): it carries both headers.
"""

from . import _headers
from .devices import Device, default_device_folder, list_devices
from .emulator import Emulator
from .errors import DeviceBusy, NoDevice, NorvexError, PrintDataError, result_name
from .platesetter import (HS_BOARD, LASER_HEAD, LINK_COMMAND_FILE, LINK_COMPRESSED_FILE, LINK_TIFF_CAPTURE, LINK_USB,
                          LINK_USB_AND_TIFF_CAPTURE, MAIN_UNIT, PIECE_BYTES, Platesetter, Reply, compress,
                          files_folder, library_version, write_ini_string)
from .print_bands import bands_from_image, image_from_bands

__version__ = _headers.version()

__all__ = [
    "Emulator", "Platesetter", "Reply", "Device", "default_device_folder", "list_devices", "NorvexError",
    "DeviceBusy", "NoDevice", "PrintDataError", "result_name", "library_version", "files_folder", "write_ini_string", "compress",
    "bands_from_image", "image_from_bands", "MAIN_UNIT", "LASER_HEAD", "HS_BOARD", "LINK_USB", "LINK_TIFF_CAPTURE",
    "LINK_USB_AND_TIFF_CAPTURE", "LINK_COMMAND_FILE", "LINK_COMPRESSED_FILE", "PIECE_BYTES",
]
