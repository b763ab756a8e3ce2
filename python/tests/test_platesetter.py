"""The norvex package against norvex-emu: every table-made method on the
emulator's records and commands, failures as exceptions, busy and absent
devices, unplug and replug, a print job with numpy print data read back, the
band layout against the library's own TIFF capture, parameter files."""

import os
import socket

import numpy
import pytest

import norvex
from norvex import _library


def test_library_version_and_files_folder():
    assert norvex.library_version() == "3.2.1.0"
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


def test_every_table_method_reaches_the_unit(machine, emulator):
    """A wrong size in the tables would be refused by the library's reply
    check (the emulator's records have their real sizes)."""
    from norvex import platesetter
    for name, (_, size) in platesetter._QUERIES.items():
        assert len(getattr(machine, name)()) == size, name
    for name, (_, size) in platesetter._BOARD_QUERIES.items():
        for board in (0, 1):
            assert len(getattr(machine, name)(board)) == size, name
    for name, (_, size) in platesetter._BLOCK_COMMANDS.items():
        getattr(machine, name)(bytes(size))
    for name in platesetter._COMMANDS:
        getattr(machine, name)()
    machine.lh_set_focus(0x1234)
    machine.hs_set_mode(3, 2)
    machine.hs_switch_laser_all(3, 0xFFFF)
    assert machine.hs_get_bus_data(1) == 2  # the mode's low bits, as the emulator answers
    assert machine.lh_get_state_ex(0x4500, 0x0001, 8)[0:4] == (0x1234).to_bytes(4, "little")  # focus in the AF record
    assert len(machine.tail_pos(5)) == 4
    with pytest.raises(ValueError):
        machine.start_print(bytes(63))


def test_failures_carry_code_name_and_text(machine):
    with pytest.raises(norvex.NorvexError) as failure:
        machine.get_state_ex(0x9000, 0x0000, length=8)
    assert failure.value.code == 0xE0000004
    assert failure.value.name == "CTP_ERR_LENGTH_MISMATCH"
    assert "\u9519\u8bef" in failure.value.text  # 错误, decoded from GBK
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
    machine.save_para_file("main")


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
