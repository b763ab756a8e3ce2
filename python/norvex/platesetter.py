"""Platesetter: the platesetter behind the library's C interface, as a Python object.

Every method is one function of the interface (norvex.h): blocks go in as
bytes of the function's fixed size, records come back as bytes, and a result
code other than 0 raises NorvexError with the code, its name and the
library's failure text. The library does the work; this module only passes
bytes and numbers through.
"""

import ctypes
import os

from . import _library
from .errors import (CTP_ERR_NO_DEVICE, ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_HANDLE,
                     ERROR_NO_MORE_ITEMS, DeviceBusy, NoDevice, NorvexError, result_name)

# Link modes (Norvex_SetPrintDataSaveIdle).
LINK_USB = 1
LINK_TIFF_CAPTURE = 2
LINK_USB_AND_TIFF_CAPTURE = 3
LINK_COMMAND_FILE = 4
LINK_COMPRESSED_FILE = 12

# Bus addresses.
MAIN_UNIT = 0x10
LASER_HEAD = 0x42
HS_BOARD = (0x20, 0x21)

# The largest bulk write.
PIECE_BYTES = 0x200000

# Queries into a buffer of a fixed size: method -> (function, bytes).
_QUERIES = {
    "get_state": ("NV_GetState", 4), "get_valve_state": ("NV_GetVavleState", 12),
    "get_balance_state": ("NV_GetBalanceState", 32), "get_print_state": ("NV_GetPrintState", 92),
    "get_print_para": ("NV_GetPrintPara", 64), "get_ctp_counter_ctrl": ("NV_GetCtpCounterCtrl", 8),
    "get_counter_info": ("NV_GetCounterInfo", 64), "get_page_counter": ("NV_GetPageCounter", 8),
    "get_cc_init_data": ("NV_GetCCInitData", 16), "get_cci_ctrl": ("NV_GetCCICtrl", 32),
    "get_flash_ctrl": ("NV_GetFlashCtrl", 24), "get_init_state": ("NV_GetInitState", 24),
    "get_load_state": ("NV_GetLoadState", 16), "get_sensor_state": ("NV_GetSensorState", 16),
    "get_fscan_state": ("NV_GetFScanState", 16), "get_sscan_state": ("NV_GetSScanState", 16),
    "get_system_error": ("NV_GetSystemError", 8), "get_set_focus_state": ("NV_GetSetFocusState", 8),
    "get_lh_sent_ctrl_state": ("NV_GetLHSentCtrlState", 28),
    "get_find_medium_state": ("NV_GetFindMediumState", 40), "get_kernel_version": ("NV_GetKernelVersion", 4),
    "get_fpga_version": ("NV_GetFPGAVersion", 4), "get_usb_state": ("NV_GetUSBState", 4),
    "get_device_info": ("NV_GetDeviceInfo", 32), "get_laser_power": ("NV_GetLaserPower", 4),
    "lh_get_system_state": ("LH_GetSystemState", 12), "lh_get_info": ("LH_GetInfo", 24),
    "lh_get_uart_state": ("LH_GetUartState", 4), "lh_get_error_info": ("LH_GetErrorInfo", 8),
    "lh_get_adc_state": ("LH_GetADCState", 12), "lh_get_psd_state": ("LH_GetPSDState", 40),
    "lh_get_sf_state": ("LH_GetSFState", 20), "lh_get_motor_state": ("LH_GetMotorState", 40),
    "lh_get_af_state": ("LH_GetAFState", 8),
}
# Queries of one HS board (0 or 1): method -> (function, bytes).
_BOARD_QUERIES = {
    "hs_get_system_state": ("HS_GetSystemState", 12), "hs_get_info": ("HS_GetInfo", 40),
    "hs_get_uart_state": ("HS_GetUartState", 4), "hs_get_error_info": ("HS_GetErrorInfo", 8),
    "hs_get_init_state": ("HS_GetInitState", 4), "hs_get_adc_state": ("HS_GetADCState", 52),
    "hs_get_fpga_state": ("HS_GetFPGAState", 4), "hs_get_ld_state": ("HS_GetLDState", 72),
    "hs_get_dac7611_state": ("HS_GetDAC7611State", 32),
}
# Commands that send a block of a fixed size: method -> (function, bytes).
_BLOCK_COMMANDS = {
    "set_current": ("NV_SetCurrent", 64), "start_print": ("NV_StartPrint", 64),
    "load_control": ("NV_LoadControl", 4), "channel_test": ("NV_ChannelTest", 4),
    "start_find_medium": ("NV_StartFindMedium", 56), "fm_init_para": ("NV_FMInitPara", 56),
    "function_ex": ("NV_FunctionEx", 4), "motor_move": ("NV_MotorMove", 12),
    "motor_move_to": ("NV_MotorMoveTo", 16), "motor_stop": ("NV_MotorStop", 4), "print_test": ("NV_PrintTest", 16),
    "return_zero": ("NV_ReturnZero", 4), "set_valve_state": ("NV_SetValveState", 4),
    "set_run_mode": ("NV_SetRunMode", 4), "find_balance_block": ("NV_FindBalanceBlock", 12),
    "pos_balance_block": ("NV_PosBalanceBlock", 4), "erase_eeprom": ("Norvex_EraseEeprom", 12),
    "counter_func": ("Norvex_CounterFunc", 8), "lh_move": ("LH_Move", 12), "lh_move_to": ("LH_MoveTo", 16),
}
# Commands without arguments: method -> function.
_COMMANDS = {
    "reset_page": "NV_ResetPage", "update_page": "NV_UpdatePage", "end_print": "NV_EndPrint",
    "cancel_print": "NV_CancelPrint", "clear_print_error": "NV_ClearPrintError", "load_ack": "NV_LoadAck",
    "do_flash_module": "NV_DoFlashModule", "move_medium": "NV_MoveMedium", "clear_usb_error": "NV_ClearUSBError",
    "re_selftest": "NV_ReSelftest", "lh_return_zero": "LH_ReturnZero", "lh_stop": "LH_Stop",
}
# Commands that take 32-bit values: method -> function.
_VALUE_COMMANDS = {
    "lh_set_ld_current": "LH_SetLDCurrent", "lh_set_focus": "LH_SetFocus", "hs_set_mode": "HS_SetMode",
    "hs_set_period": "HS_SetPeriod", "hs_switch_laser_all": "HS_SwitchLaserAll",
}

# Parameter files: unit -> (get, set, save, check, record bytes, get mask, set mask).
_PARA_FILES = {
    "main": ("NV_GetParaFile", "NV_SetParaFile", "NV_SaveParaFile", "NV_CheckParaFile", 872, 0xAAAA8000, 0xAA0A0000),
    "lh": ("LH_GetParaFile", "LH_SetParaFile", "LH_SaveParaFile", "LH_CheckParaFile", 116, 0x1F, 0x0F),
    "hs0": ("HS_GetParaFile", "HS_SetParaFile", "HS_SaveParaFile", "HS_CheckParaFile", 4052, 0x7F, 0x67),
    "hs1": ("HS_GetParaFile", "HS_SetParaFile", "HS_SaveParaFile", "HS_CheckParaFile", 4052, 0x7F, 0x67),
}
_HS_FIXED_BYTES = 2004


def _raise_for(function, code):
    if code == 0:
        return
    if code == ERROR_ACCESS_DENIED:
        raise DeviceBusy(function, code)
    if code in (CTP_ERR_NO_DEVICE, ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_HANDLE, ERROR_NO_MORE_ITEMS):
        raise NoDevice(function, code)
    raise NorvexError(function, code)


def _call(name, *args):
    # Numbers go as 32-bit unsigned values (masks above 2**31 included).
    args = [ctypes.c_uint32(a) if isinstance(a, int) else a for a in args]
    code = _library.function(name)(*args)
    _raise_for(name, code)


def _block(name, data, size):
    data = bytes(data)
    if len(data) != size:
        raise ValueError(f"{name} takes a block of {size} bytes, not {len(data)}")
    return ctypes.create_string_buffer(data, size)


class _Buffer:
    """A C view of bytes, bytearray, memoryview or a numpy array, without a
    copy where the object allows it (numpy arrays are made contiguous)."""

    def __init__(self, data):
        self.keep = data
        if hasattr(data, "__array_interface__"):
            import numpy
            self.keep = numpy.ascontiguousarray(data)
            self.pointer = ctypes.c_void_p(self.keep.ctypes.data)
            self.size = self.keep.nbytes
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

    def at(self, offset):
        return ctypes.c_void_p((self.pointer.value or 0) + offset)


def library_version():
    """The library's version, e.g. '3.2.1.0' (Norvex_GetVersion)."""
    buffer = ctypes.create_string_buffer(4)
    _library.function("Norvex_GetVersion")(buffer)
    return ".".join(str(b) for b in buffer.raw)


def files_folder():
    """Where the library keeps Varnock.ini and log/UsbDriver.log (POSIX builds)."""
    buffer = ctypes.create_string_buffer(4096)
    n = _library.function("NorvexHost_GetFilesFolder")(buffer, len(buffer))
    return buffer.raw[:min(n, len(buffer) - 1)].decode()


def write_ini_string(section, key, value):
    """Sets [section] key=value in the library's Varnock.ini with the library's
    own writer (POSIX builds); the capture and print-data file settings live
    in section PrintData."""
    _call("NorvexHost_WriteIniString", section.encode(), key.encode(), str(value).encode())


def compress(data):
    """The word run-length compression of print data (Norvex_CompressData)."""
    source = _Buffer(data)
    out = ctypes.create_string_buffer(max(2 * source.size, 2))
    produced = ctypes.c_uint32(0)
    _call("Norvex_CompressData", out, ctypes.byref(produced), source.pointer, source.size)
    return out.raw[:produced.value]


class Reply:
    """The reply of CTP_SendCommand: its address word, command word and data."""

    def __init__(self, address, command, data):
        self.address, self.command, self.data = address, command, data

    def __repr__(self):
        return f"Reply(address=0x{self.address:04X}, command=0x{self.command:04X}, data={self.data.hex()})"


class Platesetter:
    """The platesetter the library opens, as a context manager:

        with norvex.Platesetter(device_dir=folder) as machine:
            print(machine.get_kernel_name())

    On POSIX systems the library gets a window of the POSIX host stand-in
    (norvex_posix.h) on the calling thread, so that it follows unplugs and
    arrivals when dispatch() is called there; on Windows it opens the device
    without a window (no hot-plug)."""

    def __init__(self, device_dir=None, timeout_ms=None, link_mode=LINK_USB):
        self.device_dir = device_dir
        self.timeout_ms = timeout_ms
        self.link_mode_on_open = link_mode
        self._window = None
        self.is_open = False

    # ---- the device -----------------------------------------------------------

    def open(self):
        """Opens the device (Norvex_Init); raises DeviceBusy or NoDevice."""
        if self.device_dir is not None:
            os.environ["NORVEX_DEVICE_DIR"] = str(self.device_dir)
        lib = _library.library()
        if self.timeout_ms is not None:
            _library.function("Norvex_SetUSBOvertime")(ctypes.c_uint32(self.timeout_ms))
        _library.function("Norvex_SetPrintDataSaveIdle")(self.link_mode_on_open)
        if not _library.WINDOWS and self._window is None:
            self._window = _library.function("NorvexHost_CreateWindow")()
        code = _library.function("Norvex_Init")(self._window)
        if code != 0:
            cause = 0 if _library.WINDOWS else lib.NorvexHost_GetOpenError()
            # The window goes with the failed open: the thread's watch of the
            # device folder is made with its first window and kept while any
            # window of the thread lives.
            self.close()
            if cause == ERROR_ACCESS_DENIED:
                raise DeviceBusy("Norvex_Init", code, "the device is held by another program")
            raise NoDevice("Norvex_Init", code, f"no platesetter could be opened ({result_name(cause)})")
        self.is_open = True
        return self

    def close(self):
        """Closes the device: the window's destruction closes it (POSIX)."""
        if self._window is not None:
            _library.function("NorvexHost_DestroyWindow")(self._window)
            self._window = None
        self.is_open = False

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    def dispatch(self, timeout_ms=0):
        """Delivers the library's device notifications (arrival, removal) on
        this thread, waiting at most timeout_ms; returns how many."""
        return _library.function("NorvexHost_DispatchMessages")(ctypes.c_uint32(timeout_ms))

    @property
    def port_open(self):
        return _library.function("Norvex_GetPortStatus")() == 0

    def set_link_mode(self, mode):
        """Where bulk print data goes (Norvex_SetPrintDataSaveIdle)."""
        _library.function("Norvex_SetPrintDataSaveIdle")(mode)

    # ---- generic commands ---------------------------------------------------------

    def get_state_ex(self, group, item, length=None, address=MAIN_UNIT):
        """A state record (group, item) of the unit at `address`: `length`
        bytes exactly, or with length None a reply of any length, returned
        at its real length (through CTP_SendCommand)."""
        selector = (group | item << 16).to_bytes(4, "little")
        if length is None:
            return self.send_command(address, 0xC0D0, selector, reply_length=None, reply_command=0xC0D1).data
        buffer = ctypes.create_string_buffer(max(length, 1))
        _call("CTP_GetStateEx", selector, buffer, length, address)
        return buffer.raw[:length]

    def send_command(self, address, command, data=b"", reply_length=None, reply_command=None):
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

    def get_kernel_name(self):
        """The main unit's kernel name (NV_GetKernelName) as text."""
        buffer = ctypes.create_string_buffer(504)
        _call("NV_GetKernelName", buffer)
        return buffer.value.decode("ascii", errors="replace")

    def get_max_sdram_index(self):
        return _library.function("NV_GetMaxSDRAMIndex")()

    def tail_pos(self, value):
        buffer = ctypes.create_string_buffer(4)
        _call("NV_TailPos", value, buffer)
        return buffer.raw

    def lh_function_ex(self, selector_and_parameters):
        data = bytes(selector_and_parameters)
        _call("LH_FunctionEx", data, len(data) - 4)

    def hs_function_ex(self, board_mask, selector_and_parameters):
        data = bytes(selector_and_parameters)
        _call("HS_FunctionEx", board_mask, data, len(data) - 4)

    def lh_get_state_ex(self, group, item, length):
        buffer = ctypes.create_string_buffer(max(length, 1))
        _call("LH_GetStateEx", buffer, length, group, item)
        return buffer.raw[:length]

    def hs_get_state_ex(self, board, group, item, length):
        buffer = ctypes.create_string_buffer(max(length, 1))
        _call("HS_GetStateEx", board, buffer, length, group, item)
        return buffer.raw[:length]

    def hs_get_bus_data(self, board_mask):
        value = ctypes.c_uint32(0)
        _call("HS_GetBusData", board_mask, ctypes.byref(value))
        return value.value

    def hs_set_current(self, channel, value):
        """Sets one channel's current; returns the 4-byte record as the
        library rewrote it (the board's channel)."""
        record = ctypes.create_string_buffer((channel | value << 16).to_bytes(4, "little"), 4)
        _call("HS_SetCurrent", record)
        return record.raw

    def hs_switch_laser(self, channel, value):
        record = ctypes.create_string_buffer((channel | value << 16).to_bytes(4, "little"), 4)
        _call("HS_SwitchLaser", record)
        return record.raw

    def hs_set_cur_list(self, board_mask, current_list):
        data = bytes(current_list)
        _call("HS_SetCurList", board_mask, data, 0)

    # ---- print data ------------------------------------------------------------------

    def send_print_data(self, data, piece=PIECE_BYTES):
        """Sends print data (bytes, bytearray, memoryview or a numpy array of
        any type, as its bytes) in bulk writes of `piece` bytes
        (NV_SentPrintData), without copying it where the object allows.
        Returns the bytes sent."""
        source = _Buffer(data)
        sent = 0
        while sent < source.size:
            n = min(piece, source.size - sent)
            _call("NV_SentPrintData", source.at(sent), n)
            sent += n
        return sent

    def read_print_memory(self, limit=None, chunk=0x40000):
        """The print memory from its read position (NV_ReadSDRAMData), until
        it has no more or `limit` bytes were read."""
        out = bytearray()
        while limit is None or len(out) < limit:
            want = chunk if limit is None else min(chunk, limit - len(out))
            buffer = ctypes.create_string_buffer(want + 500)
            count = ctypes.c_uint32(want)
            code = _library.function("NV_ReadSDRAMData")(buffer, ctypes.byref(count))
            out += buffer.raw[:count.value]
            _raise_for("NV_ReadSDRAMData", code)
            if count.value == 0:
                break
        return bytes(out if limit is None else out[:limit])

    # ---- parameter files ---------------------------------------------------------------

    def get_para_file(self, unit, mask=None):
        """The parameter file of `unit` ('main', 'lh', 'hs0', 'hs1') as the
        library's record (an HS board's cut after its section 6)."""
        get, _, _, _, size, get_mask, _ = _PARA_FILES[unit]
        record = ctypes.create_string_buffer(size)
        args = ([int(unit[2])] if unit.startswith("hs") else []) + [record, get_mask if mask is None else mask]
        _call(get, *args)
        return self._record_bytes(unit, record.raw)

    def set_para_file(self, unit, record, mask=None):
        """Writes the record's writable sections; returns the record with the
        header and size table the unit reported."""
        _, set_, _, _, size, _, set_mask = _PARA_FILES[unit]
        buffer = ctypes.create_string_buffer(bytes(record), size)
        args = ([int(unit[2])] if unit.startswith("hs") else []) + [buffer, set_mask if mask is None else mask]
        _call(set_, *args)
        return self._record_bytes(unit, buffer.raw)

    def save_para_file(self, unit, mask=None):
        _, _, save, _, _, _, set_mask = _PARA_FILES[unit]
        args = ([int(unit[2])] if unit.startswith("hs") else []) + [set_mask if mask is None else mask]
        _call(save, *args)

    @staticmethod
    def check_para_file(unit, record):
        """The host-side check of a record: (mask of changed sections, the
        repaired record). Needs no device."""
        _, _, _, check, size, _, _ = _PARA_FILES[unit]
        buffer = ctypes.create_string_buffer(bytes(record), size)
        f = _library.function(check)
        changed = f(buffer, None) if unit == "main" else f(buffer)
        return changed, Platesetter._record_bytes(unit, buffer.raw)

    @staticmethod
    def _record_bytes(unit, raw):
        if not unit.startswith("hs"):
            return raw
        words = min(int.from_bytes(raw[8 + 4 * 6:8 + 4 * 7], "little"), 1024)
        return raw[:_HS_FIXED_BYTES + 2 * words]


def _make_query(name, function, size, board):
    def query(self, *args):
        buffer = ctypes.create_string_buffer(size)
        _call(function, *(list(args) + [buffer]))
        return buffer.raw
    query.__name__ = name
    query.__doc__ = f"{function}{'(board, ...)' if board else ''}: the {size}-byte record as bytes."
    return query


def _make_block(name, function, size):
    def command(self, block):
        _call(function, _block(function, block, size))
    command.__name__ = name
    command.__doc__ = f"{function}: sends a {size}-byte block."
    return command


def _make_command(name, function):
    def command(self, *values):
        _call(function, *values)
    command.__name__ = name
    command.__doc__ = f"{function}."
    return command


for _name, (_function, _size) in _QUERIES.items():
    setattr(Platesetter, _name, _make_query(_name, _function, _size, False))
for _name, (_function, _size) in _BOARD_QUERIES.items():
    setattr(Platesetter, _name, _make_query(_name, _function, _size, True))
for _name, (_function, _size) in _BLOCK_COMMANDS.items():
    setattr(Platesetter, _name, _make_block(_name, _function, _size))
for _name, _function in list(_COMMANDS.items()) + list(_VALUE_COMMANDS.items()):
    setattr(Platesetter, _name, _make_command(_name, _function))
