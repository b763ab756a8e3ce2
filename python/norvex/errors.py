"""Result codes: their names, and the exception that carries a failed one."""

from typing import Optional

from . import _library

OK = 0
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_WRITE_FAULT = 29
ERROR_NO_MORE_ITEMS = 259
ERROR_BULK_INCOMPLETE = 996
ERROR_IO_PENDING = 997
ERROR_DEVICE_NOT_CONNECTED = 1167
CTP_ERR_NO_DEVICE = 0xE0000010
NORVEX_ERR_INVALID_ARGUMENT = 0xA0000025

_NAMES = {
    0: "NORVEX_OK",
    5: "ERROR_ACCESS_DENIED",
    6: "ERROR_INVALID_HANDLE",
    29: "ERROR_WRITE_FAULT",
    31: "ERROR_GEN_FAILURE",
    87: "ERROR_INVALID_PARAMETER",
    170: "ERROR_BUSY",
    259: "ERROR_NO_MORE_ITEMS",
    995: "ERROR_OPERATION_ABORTED",
    996: "ERROR_BULK_INCOMPLETE",
    997: "ERROR_IO_PENDING",
    1167: "ERROR_DEVICE_NOT_CONNECTED",
    0xE0000001: "CTP_ERR_RX_OVERFLOW",
    0xE0000002: "CTP_ERR_BAD_MAGIC",
    0xE0000003: "CTP_ERR_BAD_ADDRESS",
    0xE0000004: "CTP_ERR_LENGTH_MISMATCH",
    0xE0000005: "CTP_ERR_BAD_REPLY_COMMAND",
    0xE0000006: "CTP_ERR_FRAME_LENGTH",
    0xE0000007: "CTP_ERR_LENGTH_ALIGNMENT",
    0xE0000008: "CTP_ERR_CHECKSUM",
    0xE0000009: "CTP_ERR_MAIN_UNIT_REPLIED",
    0xE000000A: "CTP_ERR_SLOW_LOCK",
    0xE0000010: "CTP_ERR_NO_DEVICE",
    0xE0000011: "CTP_ERR_LOCK_TIMEOUT",
    0xA0000025: "NORVEX_ERR_INVALID_ARGUMENT",
    0xA0000027: "NORVEX_ERR_LENGTH_LIMIT",
    0x10000001: "NORVEX_ERR_PARA_FORMAT_WORD",
    0x10000002: "NORVEX_ERR_PARA_SECTION_COUNT",
    0x10000003: "NORVEX_ERR_PARA_CHUNK_LIMIT",
}


def result_name(code: int) -> str:
    """The name of a result code, e.g. 'CTP_ERR_CHECKSUM' or
    'CTP_ERR_DEVICE(0x10, 0x0012)'; 'unknown' for a code without one."""
    if code in _NAMES:
        return _NAMES[code]
    if code >> 24 == 0xE0 and (code >> 16) & 0xFF:
        return f"CTP_ERR_DEVICE(0x{(code >> 16) & 0xFF:02X}, 0x{code & 0xFFFF:04X})"
    for base, name in ((0x10100000, "MAIN_UNIT"), (0x10420000, "LASER_HEAD"), (0x101F0000, "HS_BOARD")):
        if code & 0xFFFF0000 == base:
            return f"NORVEX_ERR_PARA_SIZE_{name}+{code & 0xFFFF}"
    return "unknown"


def failure_text(code: int) -> str:
    """The library's text of the last failure (CTP_GetErrorInfo) as str.

    On POSIX systems the library gives it in UTF-8 with the English meaning
    after each Chinese phrase (NorvexHost_GetErrorText). The Windows DLL has
    only the GBK text, which is decoded here."""
    if code == OK:
        return ""
    if _library.WINDOWS:
        raw = _library.function("CTP_GetErrorInfo")(code) or b""
        text = bytes(raw).decode("gbk", errors="replace")
    else:
        get = _library.function("NorvexHost_GetErrorText")
        text = _library.text_of(lambda buffer, capacity: int(get(code, buffer, capacity)))
    return text.rstrip("\r\n")


class NorvexError(Exception):
    """A call of the library that returned a result code other than 0.

    .function: the library function that failed; .code: its result code;
    .name: the code's name (result_name); .text: the library's failure text."""

    def __init__(self, function: str, code: int, text: Optional[str] = None) -> None:
        self.function = function
        self.code = code
        self.name = result_name(code)
        self.text = failure_text(code) if text is None else text
        message = f"{function}: 0x{code:08X} {self.name}"
        super().__init__(message + (f": {self.text}" if self.text else ""))


class DeviceBusy(NorvexError):
    """The device is held by another program."""


class NoDevice(NorvexError):
    """No device could be opened, or it went away."""


class PrintDataError(NorvexError):
    """Print data that did not all reach the device: .sent is how many bytes
    of it the device took before the write that failed."""

    def __init__(self, function: str, code: int, sent: int) -> None:
        self.sent = sent
        super().__init__(function, code)
