"""Platesetter: the platesetter behind the library's C interface, as a Python object.

Every method is one function of the interface (norvex.h): blocks go in as
bytes of the function's fixed size, records come back as bytes, and a result
code other than 0 raises NorvexError with the code, its name and the
library's failure text. The library does the work; this module only passes
bytes and numbers through, and refuses what would make the library read or
write past a buffer (a block, a record or a number of the wrong size).
"""

import ctypes
import os
from typing import Any, Callable, Dict, Optional, Tuple, Union

from . import _headers, _library
from .errors import (CTP_ERR_NO_DEVICE, ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_HANDLE,
                     ERROR_NO_MORE_ITEMS, DeviceBusy, NoDevice, NorvexError, PrintDataError, result_name)

# Link modes (Norvex_SetPrintDataSaveIdle), as norvex.h numbers them.
LINK_USB = _headers.link_modes()["USB"]
LINK_TIFF_CAPTURE = _headers.link_modes()["TIFF_CAPTURE"]
LINK_USB_AND_TIFF_CAPTURE = _headers.link_modes()["USB_AND_TIFF_CAPTURE"]
LINK_COMMAND_FILE = _headers.link_modes()["COMMAND_FILE"]
LINK_COMPRESSED_FILE = _headers.link_modes()["COMPRESSED_FILE"]

# Bus addresses.
MAIN_UNIT = 0x10
LASER_HEAD = 0x42
HS_BOARD = (0x20, 0x21)

# The largest bulk write.
PIECE_BYTES = 0x200000

# What the package takes as bytes: bytes, bytearray, memoryview; print data
# also as a numpy array of integers.
BytesLike = Union[bytes, bytearray, memoryview]
# A unit of the parameter files: 'main', 'lh', 'hs0', 'hs1', or its bus
# address (MAIN_UNIT, LASER_HEAD, HS_BOARD[0], HS_BOARD[1]).
Unit = Union[str, int]

# Parameter files: unit -> (get, set, save, check, record bytes, get mask, set mask).
_PARA_FILES = {
    "main": ("NV_GetParaFile", "NV_SetParaFile", "NV_SaveParaFile", "NV_CheckParaFile", 872, 0xAAAA8000, 0xAA0A0000),
    "lh": ("LH_GetParaFile", "LH_SetParaFile", "LH_SaveParaFile", "LH_CheckParaFile", 116, 0x1F, 0x0F),
    "hs0": ("HS_GetParaFile", "HS_SetParaFile", "HS_SaveParaFile", "HS_CheckParaFile", 4052, 0x7F, 0x67),
    "hs1": ("HS_GetParaFile", "HS_SetParaFile", "HS_SaveParaFile", "HS_CheckParaFile", 4052, 0x7F, 0x67),
}
_PARA_UNITS = {MAIN_UNIT: "main", LASER_HEAD: "lh", HS_BOARD[0]: "hs0", HS_BOARD[1]: "hs1"}
# An HS board's file: the part before section 6, and section 6's words at most.
_HS_FIXED_BYTES = 2004
_HS_SECTION6_MAX_WORDS = 1024


def _raise_for(function: str, code: int) -> None:
    if code == 0:
        return
    if code == ERROR_ACCESS_DENIED:
        raise DeviceBusy(function, code)
    if code in (CTP_ERR_NO_DEVICE, ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_HANDLE, ERROR_NO_MORE_ITEMS):
        raise NoDevice(function, code)
    raise NorvexError(function, code)


def _u32(function: str, value: int) -> ctypes.c_uint32:
    # A number the library takes as 32 bits unsigned; never wrapped.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{function} takes whole numbers, not {type(value).__name__}")
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{function} takes numbers from 0 to 0xFFFFFFFF, not {value}")
    return ctypes.c_uint32(value)


def _call(function: str, *args: Any) -> None:
    # Numbers go as 32-bit unsigned values (masks above 2**31 included).
    passed = [_u32(function, a) if isinstance(a, int) else a for a in args]
    _raise_for(function, int(_library.function(function)(*passed)))


def _block(function: str, data: BytesLike, size: int) -> Any:
    data = bytes(data)
    if len(data) != size:
        raise ValueError(f"{function} takes a block of {size} bytes, not {len(data)}")
    return ctypes.create_string_buffer(data, size)


class _Buffer:
    """A C view of bytes, bytearray, memoryview or a numpy array of integers,
    without a copy where the object allows it (numpy arrays are made
    contiguous)."""

    def __init__(self, data: Any) -> None:
        self.keep: Any = data
        if hasattr(data, "__array_interface__"):
            import numpy
            if data.dtype.kind not in "ui":
                raise ValueError(f"print data is bytes: a numpy array of integers (uint8, uint16) gives its bytes, "
                                 f"one of {data.dtype} does not; an image becomes print data through "
                                 "bands_from_image()")
            self.keep = numpy.ascontiguousarray(data)
            self.pointer = ctypes.c_void_p(self.keep.ctypes.data)
            self.size = int(self.keep.nbytes)
        elif isinstance(data, bytes):
            self.pointer = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p)
            self.size = len(data)
        else:
            view = memoryview(data).cast("B")
            if view.readonly:
                self.keep = bytes(view)
                self.pointer = ctypes.cast(ctypes.c_char_p(self.keep), ctypes.c_void_p)
            else:
                self.keep = (ctypes.c_char * view.nbytes).from_buffer(view)
                self.pointer = ctypes.cast(self.keep, ctypes.c_void_p)
            self.size = view.nbytes

    def at(self, offset: int) -> ctypes.c_void_p:
        return ctypes.c_void_p((self.pointer.value or 0) + offset)


def library_version() -> str:
    """The running library's version, e.g. '3.2.1.0' (Norvex_GetVersion)."""
    buffer = ctypes.create_string_buffer(4)
    _library.function("Norvex_GetVersion")(buffer)
    return ".".join(str(b) for b in buffer.raw)


def files_folder() -> str:
    """Where the library keeps Varnock.ini and log/UsbDriver.log (POSIX builds)."""
    get = _library.function("NorvexHost_GetFilesFolder")
    return _library.text_of(lambda buffer, capacity: int(get(buffer, capacity)))


def write_ini_string(section: str, key: str, value: object) -> None:
    """Sets [section] key=value in the library's Varnock.ini with the library's
    own writer (POSIX builds); the capture and print-data file settings live
    in section PrintData."""
    _call("NorvexHost_WriteIniString", section.encode(), key.encode(), str(value).encode())


def compress(data: Any) -> bytes:
    """The word run-length compression of print data (Norvex_CompressData)."""
    source = _Buffer(data)
    out = ctypes.create_string_buffer(max(2 * source.size, 2))
    produced = ctypes.c_uint32(0)
    _call("Norvex_CompressData", out, ctypes.byref(produced), source.pointer, source.size)
    return out.raw[:produced.value]


class Reply:
    """The reply of CTP_SendCommand: its address word, command word and data."""

    def __init__(self, address: int, command: int, data: bytes) -> None:
        self.address, self.command, self.data = address, command, data

    def __repr__(self) -> str:
        return f"Reply(address=0x{self.address:04X}, command=0x{self.command:04X}, data={self.data.hex()})"


# ---- The methods made from the interface's functions ------------------------------
# Each factory makes one method of a function of norvex.h and marks it with
# the function's name and its kind, which the package's tests go through.

def _mark(method: Callable[..., Any], function: str, kind: str, doc: str, size: Optional[int] = None) -> None:
    method.__doc__ = doc
    setattr(method, "_norvex_function", function)
    setattr(method, "_norvex_kind", kind)
    setattr(method, "_norvex_size", size)


def _query(function: str) -> Callable[["Platesetter"], bytes]:
    size = _headers.reply_size(function)

    def query(self: "Platesetter") -> bytes:
        buffer = ctypes.create_string_buffer(size)
        _call(function, buffer)
        return buffer.raw

    _mark(query, function, "query", f"{function}: the unit's record, {size} bytes (norvex_records.h).", size)
    return query


def _board_query(function: str) -> Callable[["Platesetter", int], bytes]:
    size = _headers.reply_size(function)

    def query(self: "Platesetter", board: int) -> bytes:
        buffer = ctypes.create_string_buffer(size)
        _call(function, board, buffer)
        return buffer.raw

    _mark(query, function, "board query",
          f"{function}(board): the record of HS board 0 or 1, {size} bytes (norvex_records.h).", size)
    return query


def _block_command(function: str, size: int) -> Callable[["Platesetter", BytesLike], None]:
    def command(self: "Platesetter", block: BytesLike) -> None:
        _call(function, _block(function, block, size))

    _mark(command, function, "block command", f"{function}: sends a block of exactly {size} bytes.", size)
    return command


def _command(function: str) -> Callable[["Platesetter"], None]:
    def command(self: "Platesetter") -> None:
        _call(function)

    _mark(command, function, "command", f"{function}.")
    return command


def _value_command(function: str, doc: str) -> Callable[["Platesetter", int], None]:
    def command(self: "Platesetter", value: int) -> None:
        _call(function, value)

    _mark(command, function, "value command", f"{function}({doc}).")
    return command


def _board_value_command(function: str, doc: str) -> Callable[["Platesetter", int, int], None]:
    def command(self: "Platesetter", board_mask: int, value: int) -> None:
        _call(function, board_mask, value)

    _mark(command, function, "board value command", f"{function}(board_mask, {doc}): boards 1, 2 or 3.")
    return command


def _para_unit(unit: Unit) -> str:
    if isinstance(unit, str) and unit in _PARA_FILES:
        return unit
    if isinstance(unit, int) and not isinstance(unit, bool) and unit in _PARA_UNITS:
        return _PARA_UNITS[unit]
    raise ValueError(f"a parameter file's unit is 'main', 'lh', 'hs0', 'hs1' or MAIN_UNIT, LASER_HEAD, HS_BOARD[0], "
                     f"HS_BOARD[1], not {unit!r}")


def _para_record(unit: str, record: BytesLike) -> bytes:
    # A record of the unit's size: the library reads and writes the whole of
    # it, so a short one is refused rather than padded with zeros.
    data = bytes(record)
    size = _PARA_FILES[unit][4]
    if not unit.startswith("hs"):
        if len(data) != size:
            raise ValueError(f"the parameter file of '{unit}' is {size} bytes, not {len(data)}")
        return data
    if len(data) < _HS_FIXED_BYTES + 4:
        raise ValueError(f"the parameter file of '{unit}' is {_HS_FIXED_BYTES} bytes and its section 6, "
                         f"not {len(data)} bytes")
    words = min(int.from_bytes(data[8 + 4 * 6:8 + 4 * 7], "little"), _HS_SECTION6_MAX_WORDS)
    if len(data) != _HS_FIXED_BYTES + 2 * words:
        raise ValueError(f"the parameter file of '{unit}': its size table gives {_HS_FIXED_BYTES + 2 * words} "
                         f"bytes, the record has {len(data)}")
    return data


def _record_bytes(unit: str, raw: bytes) -> bytes:
    # An HS board's record ends after as many words of section 6 as its size
    # table gives.
    if not unit.startswith("hs"):
        return raw
    words = min(int.from_bytes(raw[8 + 4 * 6:8 + 4 * 7], "little"), _HS_SECTION6_MAX_WORDS)
    return raw[:_HS_FIXED_BYTES + 2 * words]


_open_count = 0  # Platesetters of this process that hold the library's link


class Platesetter:
    """The platesetter the library opens, as a context manager:

        with norvex.Platesetter(device_dir=folder) as machine:
            print(machine.get_kernel_name())

    The library drives one device per process: one Platesetter at a time.
    On POSIX systems the library gets a window of the POSIX host stand-in
    (norvex_posix.h) on the calling thread, so that it follows unplugs and
    arrivals when dispatch() is called there; on Windows it opens the device
    without a window (no hot-plug).

    Methods named after the units' functions (get_print_state(),
    lh_get_info(), start_print(block), hs_set_mode(board_mask, mode), ...)
    each call the function their docstring names; records come back as
    bytes of the size norvex_records.h gives, blocks must have the size the
    function takes (ValueError otherwise), and a failure raises NorvexError."""

    def __init__(self, device_dir: Optional[str] = None, timeout_ms: Optional[int] = None,
                 link_mode: int = LINK_USB) -> None:
        """device_dir: the device folder (NORVEX_DEVICE_DIR); timeout_ms: the
        wait limit of each transfer (Norvex_SetUSBOvertime); link_mode: where
        bulk print data goes once open (LINK_USB, ...)."""
        self.device_dir = device_dir
        self.timeout_ms = timeout_ms
        self.link_mode_on_open = link_mode
        self._window: Optional[int] = None
        self.is_open = False

    # ---- the device -----------------------------------------------------------

    def open(self) -> "Platesetter":
        """Opens the device (Norvex_Init); raises DeviceBusy or NoDevice."""
        global _open_count
        if self.device_dir is not None:
            os.environ["NORVEX_DEVICE_DIR"] = str(self.device_dir)
        _library.library()
        if self.timeout_ms is not None:
            _library.function("Norvex_SetUSBOvertime")(_u32("Norvex_SetUSBOvertime", self.timeout_ms))
        _library.function("Norvex_SetPrintDataSaveIdle")(self.link_mode_on_open)
        if not _library.WINDOWS and self._window is None:
            self._window = _library.function("NorvexHost_CreateWindow")()
        code = int(_library.function("Norvex_Init")(self._window))
        if code != 0:
            cause = 0 if _library.WINDOWS else int(_library.function("NorvexHost_GetOpenError")())
            # The window goes with the failed open: the thread's watch of the
            # device folder is made with its first window and kept while any
            # window of the thread lives.
            self.close()
            if cause == ERROR_ACCESS_DENIED:
                raise DeviceBusy("Norvex_Init", code, "the device is held by another program")
            raise NoDevice("Norvex_Init", code, f"no platesetter could be opened ({result_name(cause)})")
        if not self.is_open:
            _open_count += 1
        self.is_open = True
        return self

    def close(self) -> None:
        """Closes the device: the window's destruction closes it (POSIX)."""
        global _open_count
        if self._window is not None:
            _library.function("NorvexHost_DestroyWindow")(self._window)
            self._window = None
        if self.is_open:
            _open_count -= 1
        self.is_open = False

    def __enter__(self) -> "Platesetter":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def dispatch(self, timeout_ms: int = 0) -> int:
        """Delivers the library's device notifications (arrival, removal) on
        this thread, waiting at most timeout_ms; returns how many."""
        return int(_library.function("NorvexHost_DispatchMessages")(_u32("NorvexHost_DispatchMessages", timeout_ms)))

    @property
    def port_open(self) -> bool:
        """True while the library's link is open (Norvex_GetPortStatus)."""
        return int(_library.function("Norvex_GetPortStatus")()) == 0

    def set_link_mode(self, mode: int) -> None:
        """Where bulk print data goes (Norvex_SetPrintDataSaveIdle)."""
        _library.function("Norvex_SetPrintDataSaveIdle")(mode)

    # ---- the units' functions ----------------------------------------------------
    # State queries into a buffer of the record's size.
    get_state = _query("NV_GetState")
    get_valve_state = _query("NV_GetVavleState")
    get_balance_state = _query("NV_GetBalanceState")
    get_print_state = _query("NV_GetPrintState")
    get_print_para = _query("NV_GetPrintPara")
    get_ctp_counter_ctrl = _query("NV_GetCtpCounterCtrl")
    get_counter_info = _query("NV_GetCounterInfo")
    get_page_counter = _query("NV_GetPageCounter")
    get_cc_init_data = _query("NV_GetCCInitData")
    get_cci_ctrl = _query("NV_GetCCICtrl")
    get_flash_ctrl = _query("NV_GetFlashCtrl")
    get_init_state = _query("NV_GetInitState")
    get_load_state = _query("NV_GetLoadState")
    get_sensor_state = _query("NV_GetSensorState")
    get_fscan_state = _query("NV_GetFScanState")
    get_sscan_state = _query("NV_GetSScanState")
    get_system_error = _query("NV_GetSystemError")
    get_set_focus_state = _query("NV_GetSetFocusState")
    get_lh_sent_ctrl_state = _query("NV_GetLHSentCtrlState")
    get_find_medium_state = _query("NV_GetFindMediumState")
    get_kernel_version = _query("NV_GetKernelVersion")
    get_fpga_version = _query("NV_GetFPGAVersion")
    get_usb_state = _query("NV_GetUSBState")
    get_device_info = _query("NV_GetDeviceInfo")
    lh_get_system_state = _query("LH_GetSystemState")
    lh_get_info = _query("LH_GetInfo")
    lh_get_uart_state = _query("LH_GetUartState")
    lh_get_error_info = _query("LH_GetErrorInfo")
    lh_get_adc_state = _query("LH_GetADCState")
    lh_get_psd_state = _query("LH_GetPSDState")
    lh_get_sf_state = _query("LH_GetSFState")
    lh_get_motor_state = _query("LH_GetMotorState")
    lh_get_af_state = _query("LH_GetAFState")
    # State queries of one HS board (0 or 1).
    hs_get_system_state = _board_query("HS_GetSystemState")
    hs_get_info = _board_query("HS_GetInfo")
    hs_get_uart_state = _board_query("HS_GetUartState")
    hs_get_error_info = _board_query("HS_GetErrorInfo")
    hs_get_init_state = _board_query("HS_GetInitState")
    hs_get_adc_state = _board_query("HS_GetADCState")
    hs_get_fpga_state = _board_query("HS_GetFPGAState")
    hs_get_ld_state = _board_query("HS_GetLDState")
    hs_get_dac7611_state = _board_query("HS_GetDAC7611State")
    # Commands that send a block of a fixed size.
    set_current = _block_command("NV_SetCurrent", 64)
    start_print = _block_command("NV_StartPrint", 64)
    load_control = _block_command("NV_LoadControl", 4)
    channel_test = _block_command("NV_ChannelTest", 4)
    start_find_medium = _block_command("NV_StartFindMedium", 56)
    fm_init_para = _block_command("NV_FMInitPara", 56)
    function_ex = _block_command("NV_FunctionEx", 4)
    motor_move = _block_command("NV_MotorMove", 12)
    motor_move_to = _block_command("NV_MotorMoveTo", 16)
    motor_stop = _block_command("NV_MotorStop", 4)
    print_test = _block_command("NV_PrintTest", 16)
    return_zero = _block_command("NV_ReturnZero", 4)
    set_valve_state = _block_command("NV_SetValveState", 4)
    set_run_mode = _block_command("NV_SetRunMode", 4)
    find_balance_block = _block_command("NV_FindBalanceBlock", 12)
    pos_balance_block = _block_command("NV_PosBalanceBlock", 4)
    erase_eeprom = _block_command("Norvex_EraseEeprom", 12)
    counter_func = _block_command("Norvex_CounterFunc", 8)
    lh_move = _block_command("LH_Move", 12)
    lh_move_to = _block_command("LH_MoveTo", 16)
    # Commands without arguments.
    reset_page = _command("NV_ResetPage")
    update_page = _command("NV_UpdatePage")
    end_print = _command("NV_EndPrint")
    cancel_print = _command("NV_CancelPrint")
    clear_print_error = _command("NV_ClearPrintError")
    load_ack = _command("NV_LoadAck")
    do_flash_module = _command("NV_DoFlashModule")
    move_medium = _command("NV_MoveMedium")
    clear_usb_error = _command("NV_ClearUSBError")
    re_selftest = _command("NV_ReSelftest")
    lh_return_zero = _command("LH_ReturnZero")
    lh_stop = _command("LH_Stop")
    # Commands that take 32-bit values.
    lh_set_ld_current = _value_command("LH_SetLDCurrent", "value")
    lh_set_focus = _value_command("LH_SetFocus", "value")
    hs_set_mode = _board_value_command("HS_SetMode", "mode")
    hs_set_period = _board_value_command("HS_SetPeriod", "period")
    hs_switch_laser_all = _board_value_command("HS_SwitchLaserAll", "pattern")

    # ---- generic commands ---------------------------------------------------------

    def get_state_ex(self, group: int, item: int, length: Optional[int] = None, address: int = MAIN_UNIT) -> bytes:
        """A state record (group, item) of the unit at `address`: `length`
        bytes exactly, or with length None a reply of any length, returned
        at its real length (through CTP_SendCommand)."""
        selector = (group | item << 16).to_bytes(4, "little")
        if length is None:
            return self.send_command(address, 0xC0D0, selector, reply_length=None, reply_command=0xC0D1).data
        buffer = ctypes.create_string_buffer(max(length, 1))
        _call("CTP_GetStateEx", selector, buffer, length, address)
        return buffer.raw[:length]

    def send_command(self, address: int, command: int, data: BytesLike = b"", reply_length: Optional[int] = None,
                     reply_command: Optional[int] = None) -> Reply:
        """One raw exchange (CTP_SendCommand). reply_length None takes any length."""
        request = ctypes.create_string_buffer(bytes(data), max(len(data), 1))
        reply = ctypes.create_string_buffer(504)
        packet = _library.CommandPacket()
        packet.requestData = ctypes.cast(request, ctypes.c_void_p) if data else None
        packet.requestLength = len(data)
        packet.replyData = ctypes.cast(reply, ctypes.c_void_p)
        packet.replyLength = 0xFFFFFFFF if reply_length is None else reply_length
        packet.address = address
        packet.command = command
        if reply_command is None:
            reply_command = command + 1 if reply_length else 0x01C0
        packet.replyCommand = reply_command
        _call("CTP_SendCommand", ctypes.byref(packet))
        return Reply(packet.replyAddress, packet.replyCommand, reply.raw[:min(packet.replyLength, 500)])

    def get_kernel_name(self) -> str:
        """The main unit's kernel name (NV_GetKernelName) as text."""
        buffer = ctypes.create_string_buffer(504)
        _call("NV_GetKernelName", buffer)
        return buffer.value.decode("ascii", errors="replace")

    def get_max_sdram_index(self) -> int:
        """The print memory's highest index (NV_GetMaxSDRAMIndex)."""
        return int(_library.function("NV_GetMaxSDRAMIndex")())

    def get_laser_power(self) -> bytes:
        """The laser power (NV_GetLaserPower): the 4 bytes the unit sends."""
        buffer = ctypes.create_string_buffer(4)
        _call("NV_GetLaserPower", buffer)
        return buffer.raw

    def tail_pos(self, value: int) -> bytes:
        """NV_TailPos(value): the 4-byte tail position."""
        buffer = ctypes.create_string_buffer(4)
        _call("NV_TailPos", value, buffer)
        return buffer.raw

    def lh_function_ex(self, selector_and_parameters: BytesLike) -> None:
        """LH_FunctionEx: a 4-byte selector and its parameters."""
        data = bytes(selector_and_parameters)
        if len(data) < 4:
            raise ValueError(f"LH_FunctionEx takes a 4-byte selector and its parameters, not {len(data)} bytes")
        _call("LH_FunctionEx", data, len(data) - 4)

    def hs_function_ex(self, board_mask: int, selector_and_parameters: BytesLike) -> None:
        """HS_FunctionEx: a 4-byte selector and its parameters, to the boards of board_mask."""
        data = bytes(selector_and_parameters)
        if len(data) < 4:
            raise ValueError(f"HS_FunctionEx takes a 4-byte selector and its parameters, not {len(data)} bytes")
        _call("HS_FunctionEx", board_mask, data, len(data) - 4)

    def lh_get_state_ex(self, group: int, item: int, length: int) -> bytes:
        """A laser head record (group, item) of `length` bytes (LH_GetStateEx)."""
        buffer = ctypes.create_string_buffer(max(length, 1))
        _call("LH_GetStateEx", buffer, length, group, item)
        return buffer.raw[:length]

    def hs_get_state_ex(self, board: int, group: int, item: int, length: int) -> bytes:
        """An HS board record (group, item) of `length` bytes (HS_GetStateEx)."""
        buffer = ctypes.create_string_buffer(max(length, 1))
        _call("HS_GetStateEx", board, buffer, length, group, item)
        return buffer.raw[:length]

    def hs_get_bus_data(self, board_mask: int) -> int:
        """HS_GetBusData: the boards' bus word."""
        value = ctypes.c_uint32(0)
        _call("HS_GetBusData", board_mask, ctypes.byref(value))
        return value.value

    def hs_set_current(self, channel: int, value: int) -> bytes:
        """Sets one channel's current; returns the 4-byte record as the
        library rewrote it (the board's channel)."""
        record = ctypes.create_string_buffer((channel | value << 16).to_bytes(4, "little"), 4)
        _call("HS_SetCurrent", record)
        return record.raw

    def hs_switch_laser(self, channel: int, value: int) -> bytes:
        """HS_SwitchLaser: one channel on or off; returns the 4-byte record as sent."""
        record = ctypes.create_string_buffer((channel | value << 16).to_bytes(4, "little"), 4)
        _call("HS_SwitchLaser", record)
        return record.raw

    def hs_set_cur_list(self, board_mask: int, current_list: BytesLike) -> None:
        """HS_SetCurList: 32 bytes of currents for one board (board_mask 1
        or 2), 36 for both (mask 3: board 1 takes bytes 4..35)."""
        data = bytes(current_list)
        size = 36 if board_mask == 3 else 32
        if len(data) != size:
            raise ValueError(f"HS_SetCurList takes {size} bytes for board mask {board_mask}, not {len(data)}")
        _call("HS_SetCurList", board_mask, data, 0)

    # ---- print data ------------------------------------------------------------------

    def send_print_data(self, data: Any, piece: int = PIECE_BYTES) -> int:
        """Sends print data, an even number of bytes (bytes, bytearray,
        memoryview, or a numpy array of integers as its bytes), in bulk writes
        of at most `piece` bytes (an even number up to PIECE_BYTES) through
        Norvex_WriteSDRAM, without copying it where the object allows.

        Returns the bytes the device took, which is all of them: a bulk write
        that the device takes only in part is followed by the rest, as the
        library does. A write that fails, or that the device takes nothing
        of, raises PrintDataError, whose .sent says how many bytes had been
        taken before it."""
        if isinstance(piece, bool) or not isinstance(piece, int):
            raise TypeError(f"piece is a whole number of bytes, not {type(piece).__name__}")
        if not 2 <= piece <= PIECE_BYTES or piece % 2:
            raise ValueError(f"piece is an even number of bytes from 2 to {PIECE_BYTES}, not {piece}")
        source = _Buffer(data)
        if source.size % 2:
            raise ValueError(f"print data is 16-bit words: an even number of bytes, not {source.size}")
        write = _library.function("Norvex_WriteSDRAM")
        sent = 0
        while sent < source.size:
            n = min(piece, source.size - sent)
            code = int(write(source.at(sent), n // 2))
            if code != 0:
                raise PrintDataError("Norvex_WriteSDRAM", code, sent)
            sent += n
        return sent

    def read_print_memory(self, limit: Optional[int] = None, chunk: int = 0x40000) -> bytes:
        """The print memory from its read position (NV_ReadSDRAMData), until
        it has no more or `limit` bytes were read."""
        out = bytearray()
        while limit is None or len(out) < limit:
            want = chunk if limit is None else min(chunk, limit - len(out))
            buffer = ctypes.create_string_buffer(want + 500)
            count = ctypes.c_uint32(want)
            code = int(_library.function("NV_ReadSDRAMData")(buffer, ctypes.byref(count)))
            out += buffer.raw[:count.value]
            _raise_for("NV_ReadSDRAMData", code)
            if count.value == 0:
                break
        return bytes(out if limit is None else out[:limit])

    # ---- parameter files ---------------------------------------------------------------

    def get_para_file(self, unit: Unit, mask: Optional[int] = None) -> bytes:
        """The parameter file of `unit` ('main', 'lh', 'hs0', 'hs1', or
        MAIN_UNIT, LASER_HEAD, HS_BOARD[n]) as the library's record (an HS
        board's cut after its section 6)."""
        key = _para_unit(unit)
        get, _, _, _, size, get_mask, _ = _PARA_FILES[key]
        record = ctypes.create_string_buffer(size)
        args = ([int(key[2])] if key.startswith("hs") else []) + [record, get_mask if mask is None else mask]
        _call(get, *args)
        return _record_bytes(key, record.raw)

    def set_para_file(self, unit: Unit, record: BytesLike, mask: Optional[int] = None) -> bytes:
        """Writes the record's writable sections; returns the record with the
        header and size table the unit reported. The record must be whole:
        the unit's size ('main' 872 bytes, 'lh' 116), or for an HS board 2004
        bytes and as many words of section 6 as its size table gives, as
        get_para_file() returns it (ValueError otherwise)."""
        key = _para_unit(unit)
        _, set_, _, _, size, _, set_mask = _PARA_FILES[key]
        buffer = ctypes.create_string_buffer(_para_record(key, record), size)
        args = ([int(key[2])] if key.startswith("hs") else []) + [buffer, set_mask if mask is None else mask]
        _call(set_, *args)
        return _record_bytes(key, buffer.raw)

    def save_para_file(self, unit: Unit, mask: Optional[int] = None) -> None:
        """Makes the unit keep its parameter file's sections (the *_SaveParaFile function)."""
        key = _para_unit(unit)
        _, _, save, _, _, _, set_mask = _PARA_FILES[key]
        args = ([int(key[2])] if key.startswith("hs") else []) + [set_mask if mask is None else mask]
        _call(save, *args)

    @staticmethod
    def check_para_file(unit: Unit, record: BytesLike) -> Tuple[int, bytes]:
        """The host-side check of a whole record (sizes as set_para_file
        takes them): (mask of changed sections, the repaired record). Needs
        no device."""
        key = _para_unit(unit)
        _, _, _, check, size, _, _ = _PARA_FILES[key]
        buffer = ctypes.create_string_buffer(_para_record(key, record), size)
        f = _library.function(check)
        changed = int(f(buffer, None) if key == "main" else f(buffer))
        return changed, _record_bytes(key, buffer.raw)


def _name_the_methods() -> Dict[str, Callable[..., Any]]:
    # The methods made above take the names they have in the class.
    made = {}
    for name, value in vars(Platesetter).items():
        if callable(value) and hasattr(value, "_norvex_function"):
            value.__name__ = name
            value.__qualname__ = f"Platesetter.{name}"
            made[name] = value
    return made


# The methods made from the interface's functions, by name.
INTERFACE_METHODS = _name_the_methods()
