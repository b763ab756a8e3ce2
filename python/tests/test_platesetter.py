"""The norvex package against norvex-emu: every table-made method on the
emulator's records and commands, failures as exceptions, busy and absent
devices, unplug and replug, a print job with numpy print data read back, the
band layout against the library's own TIFF capture, parameter files."""

import os
import socket

import numpy
import pytest

import norvex
from norvex import _headers, _library
from norvex.platesetter import INTERFACE_METHODS


def test_library_version_and_files_folder():
    # The running library's version is the one the package was made with.
    assert norvex.library_version() == norvex.__version__ + ".0"
    assert norvex.files_folder() == os.environ["NORVEX_HOME"]
    with open(os.path.join(os.environ["NORVEX_HOME"], "log", "UsbDriver.log"), "rb") as log:
        assert b"Application Start!" in log.read()


def test_records_of_the_emulated_units(machine):
    assert machine.get_kernel_name() == "NVX-MAIN V1.3.0"
    assert machine.get_state() == b"\x01\x00\x00\x00"
    assert machine.lh_get_info()[4:].rstrip(b"\0") == b"LH-BOARD V2.0"
    assert machine.hs_get_info(1)[4:36].rstrip(b"\0") == b"HS-BOARD 1 V1.0"
    assert machine.get_max_sdram_index() == 63
    # Any length: the real reply length (92 bytes of the print state).
    assert len(machine.get_state_ex(0x9000, 0)) == 92
    assert machine.get_state_ex(0x0000, 0x0004, address=norvex.MAIN_UNIT).rstrip(b"\0") == b"NVX-MAIN V1.3.0"


def _rows_by_function():
    rows = {}
    for record in _headers.records():
        if record.size is not None:
            rows.setdefault(record.reader.split(" ")[0], []).append(record)
    return rows


def test_every_query_reads_the_records_the_unit_sends(machine):
    """Each query's record is compared with the records that the emulator
    sends for the same selectors (CTP_SendCommand with any reply length):
    a buffer size other than the library's own makes the query's bytes
    longer (zeros after the record) or shorter than the unit's."""
    rows = _rows_by_function()
    address = {"main": norvex.MAIN_UNIT, "lh": norvex.LASER_HEAD}
    checked = 0
    for name, method in INTERFACE_METHODS.items():
        kind = method._norvex_kind
        if kind not in ("query", "board query"):
            continue
        for board in ((0, 1) if kind == "board query" else (None,)):
            got = method(machine) if board is None else method(machine, board)
            unit_records = rows[method._norvex_function]
            expected = b"".join(machine.get_state_ex(r.group, r.item, None,
                                                     address=norvex.HS_BOARD[board] if r.unit == "hs" else address[r.unit])
                                for r in unit_records)
            assert got == expected, name
            checked += 1
    assert checked == 33 + 2 * 9  # every fixed-size record; the kernel name has its own method


def test_every_command_method_reaches_the_unit(machine):
    for method in INTERFACE_METHODS.values():
        if method._norvex_kind == "block command":
            size = method._norvex_size
            method(machine, bytes(size))
            with pytest.raises(ValueError):
                method(machine, bytes(size - 1))
        elif method._norvex_kind == "command":
            method(machine)
    machine.lh_set_focus(0x1234)
    machine.hs_set_mode(3, 2)
    machine.hs_switch_laser_all(3, 0xFFFF)
    assert machine.hs_get_bus_data(1) == 2  # the mode's low bits, as the emulator answers
    assert machine.lh_get_state_ex(0x4500, 0x0001, 8)[0:4] == (0x1234).to_bytes(4, "little")  # focus in the AF record
    assert len(machine.tail_pos(5)) == 4
    machine.set_current(b"\x34\x12\x5a\xa5" + bytes(60))
    assert machine.get_laser_power() == b"\x34\x12\x5a\xa5"  # the current's first word, as the emulator answers
    # Numbers are 32-bit unsigned, never wrapped; blocks of variable length are checked.
    with pytest.raises(ValueError):
        machine.lh_set_focus(-1)
    with pytest.raises(ValueError):
        machine.hs_set_mode(3, 1 << 32)
    with pytest.raises(ValueError):
        machine.lh_function_ex(b"\0\0")
    with pytest.raises(ValueError):
        machine.hs_set_cur_list(3, bytes(32))
    machine.hs_set_cur_list(3, bytes(36))
    machine.hs_set_cur_list(2, bytes(32))


def test_failures_carry_code_name_and_text(machine):
    with pytest.raises(norvex.NorvexError) as failure:
        machine.get_state_ex(0x9000, 0x0000, length=8)
    assert failure.value.code == 0xE0000004
    assert failure.value.name == "CTP_ERR_LENGTH_MISMATCH"
    # The library's text in UTF-8 with its English meaning: the GBK text
    # decoded by Python's own codec, the meaning after its phrase.
    gbk = _library.function("CTP_GetErrorInfo")(0xE0000004).decode("gbk").rstrip("\r\n")
    assert gbk.startswith("\u9519\u8bef\u7f16\u53f7 0xE0000004")  # 错误编号
    assert failure.value.text == gbk.replace("\u9519\u8bef\u7f16\u53f7", "\u9519\u8bef\u7f16\u53f7 (error number)", 1)
    assert "0xE0000004" in str(failure.value)
    with pytest.raises(norvex.NorvexError) as failure:
        machine.send_command(0x10, 0xC0D0, b"\0\0\0\0")  # answered with 0xC0D1, not the acknowledgement
    assert failure.value.name == "CTP_ERR_BAD_REPLY_COMMAND"
    reply = machine.send_command(0x10, 0xC0D0, b"\0\0\0\0", reply_length=4)
    assert (reply.address, reply.command, reply.data) == (0x1001, 0xC0D1, b"\x01\x00\x00\x00")
    assert norvex.result_name(0xE0420033) == "CTP_ERR_DEVICE(0x42, 0x0033)"


def test_busy_is_not_absent(emulator, tmp_path):
    with pytest.raises(norvex.NoDevice):
        norvex.Platesetter(device_dir=tmp_path).open()
    holder = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    holder.connect(emulator.endpoint)
    # The OPEN of protocol version 3, for use; the answer: status, version.
    holder.sendall(bytes.fromhex("4e560100 00000000 08000000 03000000 00000000"))
    assert holder.recv(20, socket.MSG_WAITALL)[12] == 0  # granted to the holder
    with pytest.raises(norvex.DeviceBusy):
        norvex.Platesetter(device_dir=emulator.folder).open()
    holder.close()


def test_unplug_and_replug(machine, emulator):
    emulator.unplug()
    with pytest.raises(norvex.NoDevice):
        machine.get_state()  # the connection is gone
    # The removal and the arrival reach the library through the window on
    # this thread, as a host's message loop delivers them.
    while machine.port_open:
        assert machine.dispatch(5000) > 0
    with pytest.raises(norvex.NoDevice) as absent:
        machine.get_state()
    assert absent.value.name == "CTP_ERR_NO_DEVICE"
    emulator.plug()
    while not machine.port_open:
        assert machine.dispatch(5000) > 0
    assert machine.get_state() == b"\x01\x00\x00\x00"


def test_print_job_with_numpy_data(machine):
    image = numpy.random.default_rng(7).random((70, 203)) < 0.3
    bands = norvex.bands_from_image(image)
    assert len(bands) == 208 // 8 * 96
    assert numpy.array_equal(norvex.image_from_bands(bands, 208)[:70, :203], image)
    # Something left in the memory from before: the page reset clears it.
    machine.send_print_data(b"\xAA" * 640)
    machine.clear_print_error()
    machine.start_print(bytes(64))
    machine.reset_page()
    assert machine.send_print_data(numpy.frombuffer(bands, dtype=numpy.uint16), piece=1024) == len(bands)
    machine.update_page()
    machine.end_print()
    assert machine.read_print_memory() == bands


def test_print_data_of_every_buffer_kind(machine):
    data = bytes(range(256)) * 4
    for kind in (data, bytearray(data), memoryview(data), numpy.frombuffer(data, dtype=numpy.uint8).copy()):
        machine.reset_page()
        machine.send_print_data(kind, piece=256)
        assert machine.read_print_memory(limit=len(data) + 500) == data


def test_bands_as_the_library_captures_them(tmp_path):
    """The band layout of bands_from_image against the library's TIFF
    capture, read with Pillow: an independent reading of the same bytes."""
    Image = pytest.importorskip("PIL.Image")
    image = numpy.random.default_rng(3).random((64, 96)) < 0.5
    capture = tmp_path / "capture.tif"
    norvex.write_ini_string("PrintData", "CaptureWidth", 96)
    norvex.write_ini_string("PrintData", "CaptureFile", str(capture))
    machine = norvex.Platesetter(link_mode=norvex.LINK_TIFF_CAPTURE)
    machine.set_link_mode(norvex.LINK_TIFF_CAPTURE)
    machine.send_print_data(norvex.bands_from_image(image))
    machine.set_link_mode(norvex.LINK_USB)  # completes the TIFF
    with Image.open(capture) as tiff:
        captured = numpy.array(tiff.convert("1")) == 0  # black pixels
    assert numpy.array_equal(captured, image)


def test_parameter_files_round_trip(machine):
    record = machine.get_para_file("lh")
    assert len(record) == 116
    changed, repaired = norvex.Platesetter.check_para_file("lh", record)
    assert changed == 0 or repaired != record
    machine.set_para_file("lh", repaired)
    assert machine.get_para_file("lh") == repaired
    hs = machine.get_para_file("hs1")
    assert len(hs) == 2004 + 2 * int.from_bytes(hs[8 + 24:8 + 28], "little")
    assert machine.set_para_file("hs1", hs) == hs
    machine.save_para_file("main")


def test_parameter_records_of_the_wrong_size_are_refused(machine):
    """A short record is not padded with zeros and written to the unit."""
    record = machine.get_para_file("lh")
    assert record[-20:] != bytes(20)
    for wrong in (record[:-20], record + b"\0", b""):
        with pytest.raises(ValueError):
            machine.set_para_file("lh", wrong)
        with pytest.raises(ValueError):
            norvex.Platesetter.check_para_file("lh", wrong)
    assert machine.get_para_file("lh") == record  # nothing was written
    hs = machine.get_para_file("hs0")
    for wrong in (hs[:-2], hs + b"\0\0", hs[:2004]):
        with pytest.raises(ValueError):
            machine.set_para_file("hs0", wrong)
    with pytest.raises(ValueError):
        machine.set_para_file("main", bytes(871))


def test_units_by_their_constants(machine):
    assert machine.get_para_file(norvex.LASER_HEAD) == machine.get_para_file("lh")
    assert machine.get_para_file(norvex.HS_BOARD[1]) == machine.get_para_file("hs1")
    record = machine.get_para_file(norvex.MAIN_UNIT)
    assert machine.set_para_file(norvex.MAIN_UNIT, record) == machine.get_para_file("main")
    assert norvex.Platesetter.check_para_file(norvex.LASER_HEAD, machine.get_para_file("lh"))[0] >= 0
    for unknown in (0x99, "laser", True, None):
        with pytest.raises(ValueError):
            machine.get_para_file(unknown)


def test_print_data_pieces_and_arrays_are_checked(machine):
    machine.reset_page()
    for piece in (0, -1, 3, norvex.PIECE_BYTES + 2):
        with pytest.raises(ValueError):
            machine.send_print_data(bytes(256), piece=piece)
    for piece in (1.5, "64", True):
        with pytest.raises(TypeError):
            machine.send_print_data(bytes(256), piece=piece)
    with pytest.raises(ValueError):
        machine.send_print_data(bytes(255))  # half a word
    with pytest.raises(ValueError):
        machine.send_print_data(numpy.zeros(64, dtype=numpy.float64))
    with pytest.raises(ValueError):
        machine.send_print_data(numpy.zeros((8, 8), dtype=bool))
    assert machine.read_print_memory(limit=1024) == b""  # nothing went out


def test_a_device_that_takes_part_of_each_write_gets_the_rest():
    """The device keeps only the first 64 bytes of each bulk write: the rest
    follows, and the count is what the device took."""
    data = bytes(range(256)) * 4
    with norvex.Emulator(options=["--fault", "bulk-partial=64"]) as emulator:
        with norvex.Platesetter(device_dir=emulator.folder, timeout_ms=2000) as machine:
            machine.reset_page()
            assert machine.send_print_data(data, piece=256) == len(data)
            assert machine.read_print_memory(limit=len(data) + 500) == data


def test_a_write_that_never_completes_says_what_was_sent():
    with norvex.Emulator(options=["--fault", "bulk-stall"]) as emulator:
        with norvex.Platesetter(device_dir=emulator.folder, timeout_ms=200) as machine:
            with pytest.raises(norvex.PrintDataError) as failure:
                machine.send_print_data(bytes(512), piece=256)
    assert failure.value.sent == 0
    assert failure.value.name == "ERROR_BULK_INCOMPLETE"


def test_bitmaps_of_one_bit_or_eight_bits_only():
    ones = numpy.ones((32, 16), dtype=bool)
    assert norvex.bands_from_image(ones) == norvex.bands_from_image(ones.astype(numpy.uint8) * 7)
    assert norvex.bands_from_image([[True] * 16] * 32) == norvex.bands_from_image(ones)
    for wrong in (ones.astype(numpy.float64), ones.astype(numpy.uint16), numpy.ones((32, 16, 3), dtype=numpy.uint8),
                  numpy.ones(16, dtype=bool), [[0.5] * 16] * 32):
        with pytest.raises(ValueError):
            norvex.bands_from_image(wrong)


def test_compress_is_the_library_format():
    assert norvex.compress(b"\0\0" * 3 + b"\x34\x12\xff\xff") == b"\0\0\x03\0\x34\x12\xff\xff\x01\0"


def test_windows_loads_norvex_dll_with_the_standard_calling_convention(monkeypatch):
    loaded = []

    class StdcallLibrary:
        def __init__(self, name):
            loaded.append(name)

    monkeypatch.setattr(_library, "WINDOWS", True)
    monkeypatch.setattr(_library, "_library", None)
    monkeypatch.delenv("NORVEX_LIBRARY", raising=False)
    monkeypatch.setattr(_library.ctypes, "WinDLL", StdcallLibrary, raising=False)
    assert isinstance(_library.library(), StdcallLibrary)
    assert loaded == ["Norvex.dll"]
