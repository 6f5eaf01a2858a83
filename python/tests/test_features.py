"""Features by name, as the command-line tool shows them, and their refusals."""

import math

import numpy as np

import pytest

import _vcamtest
import tessoral
from conftest import run_tool
from tessoral import Status


def tool_listing():
    """{name: (type, access, value)} in the order u3v-feature lists them."""
    out = {}
    for line in run_tool("u3v-feature").splitlines():
        if not line.startswith("  "):
            continue  # a category
        parts = line.split(None, 3)
        out[parts[0]] = (parts[1], parts[2], parts[3] if len(parts) > 3 else "")
    return out


def dumped(text):
    """The bytes of the tool's hex dump: offset, then up to 16 bytes a line."""
    return bytes(int(b, 16) for line in text.splitlines() for b in line.split()[1:])


def typed(text, interface):
    if interface == "Boolean":
        return {"true": True, "false": False}[text]
    if interface == "Integer":
        return int(text)
    return float(text.split()[0]) if interface == "Float" else text


class TestAsTheToolShows:
    def test_every_feature_type_access_and_value(self, camera):
        listing = tool_listing()
        values = [n for n, (_, _, v) in listing.items() if v != "(command)"]
        assert list(camera.features) == values
        assert len(camera.features) == len(values)
        assert camera.features.commands() == [n for n in listing if n not in values]
        for name, (type_, access, value) in listing.items():
            info = camera.features.info(name)
            assert (info.type, info.access) == (type_, access), name
            if info.interface == "Command":
                assert value == "(command)"
                continue
            if access == "NA":  # a chunk feature before any chunk came
                assert value == "", name
                with pytest.raises(tessoral.Error):
                    camera.features[name]
                continue
            assert camera.features.text(name) == value, name
            if info.interface == "Register":
                assert camera.features[name] == dumped(run_tool("u3v-feature", name)), name
                continue
            assert camera.features[name] == typed(value, info.interface), name

    def test_written_values_read_back_as_the_tool_writes_them(self, camera):
        tool = run_tool("u3v-feature", "Width=1024", "Gain=3.5", "ExposureTime=2000", "TriggerMode=On",
                        "DeviceUserID=line-7")
        expected = dict(line.split(" = ", 1) for line in tool.splitlines())
        f = camera.features
        f["Width"] = 1024
        f["Gain"] = 3.5
        f["ExposureTime"] = 2000  # an int is a fine float
        f["TriggerMode"] = "On"
        f["DeviceUserID"] = "line-7"
        for name, text in expected.items():
            assert f.text(name) == text, name
        assert f["Width"] == 1024 and f["Gain"] == 4.0 and f["TriggerMode"] == "On"
        f["Height"] = np.int32(240)  # numpy's integers are integers too
        f["Gain"] = np.float64(2.0)
        assert (f["Height"], f["Gain"]) == (240, 2.0)
        f["Height"] = 480
        assert f["PayloadSize"] == 1024 * 480
        assert camera.read(0x50000, 4) == (1024).to_bytes(4, "little")  # WidthReg

    def test_info_as_the_tool_gives_it(self, camera):
        tool = run_tool("u3v-feature", "--info", "Width", "ExposureTime", "TriggerMode")
        width = camera.features.info("Width")
        assert (width.min, width.max, width.inc) == (1, 8192, 1)
        assert "minimum    1\n  maximum    8192\n  increment  1" in tool
        exposure = camera.features.info("ExposureTime")
        assert exposure.unit == "us" and exposure.tool_tip == "Exposure time in microseconds"
        assert "tool tip   " + exposure.tool_tip in tool
        assert camera.features.entries("TriggerMode") == ["Off", "On"]
        assert "entries    Off, On" in tool

    def test_categories_and_commands(self, camera):
        cats = camera.features.categories()
        assert cats["ImageFormatControl"] == ["Width", "Height", "PixelFormat"]
        assert "Root" in cats
        camera.features["TriggerMode"] = "On"
        with camera.stream() as stream:
            camera.features.execute("TriggerSoftware")
            assert stream.get(2.0).block_id == 1
            assert camera.features.is_done("TriggerSoftware")

    def test_mapping_protocol(self, camera):
        f = camera.features
        assert "Width" in f and "WidthReg" in f and "NoSuchThing" not in f and 5 not in f
        assert f.get("NoSuchThing", 7) == 7
        assert f.get("Height") == 480
        values = dict(f.items())
        assert values["PixelFormat"] == "Mono8" and values["Width"] == 640
        assert "AcquisitionStart" not in values  # commands have no value


LUT = "LUTValueAll"


class TestRegisterNodes:
    def test_reads_the_bytes_the_tool_dumps_and_writes_as_the_tool_does(self, camera):
        # Each tool run meets a fresh camera: compare like with like.
        f = camera.features
        assert f.info(LUT).length == 256 and f.info(LUT).interface == "Register"
        assert f[LUT] == dumped(run_tool("u3v-feature", LUT))
        table = bytes(255 - i for i in range(256))
        f[LUT] = table
        assert f[LUT] == table
        shown = run_tool("u3v-feature", LUT + "=" + table.hex())
        assert shown == "%s = %s\n" % (LUT, f.text(LUT))

    @pytest.mark.parametrize("make", [bytearray, memoryview, lambda b: np.frombuffer(b, dtype=np.uint8),
                                      lambda b: np.frombuffer(b, dtype=np.uint16)],
                             ids=["bytearray", "memoryview", "uint8", "uint16"])
    def test_any_bytes_like_of_its_length(self, camera, make):
        table = bytes((7 * i) & 0xFF for i in range(256))
        camera.features[LUT] = make(table)
        assert camera.features[LUT] == table
        assert camera.read(0x50100, 256) == table  # where the file puts the table

    def test_set_text_takes_hex(self, camera):
        camera.features.set_text(LUT, "01 02" + "00" * 254)
        assert camera.features[LUT][:3] == b"\x01\x02\x00"

    @pytest.mark.parametrize("value", [b"", b"\0" * 255, b"\0" * 257, "00" * 256, 0, [0] * 256,
                                       np.zeros((16, 32), dtype=np.uint8)[:, ::2]],
                             ids=["empty", "short", "long", "hex-str", "int", "list", "strided"])
    def test_wrong_length_or_type_sends_nothing(self, camera, value):
        before = camera.features[LUT]
        _vcamtest.set_call_record(True)
        _vcamtest.clear_calls()
        expect_status(Status.INVALID_HANDLE, camera.features.__setitem__, LUT, value)
        assert not [c for c in _vcamtest.calls() if c[0] == "libusb_bulk_transfer" and c[2] == 0x01
                    and int.from_bytes(c[4][6:8], "little") == 0x0802]
        _vcamtest.set_call_record(False)
        assert camera.features[LUT] == before

    def test_bytes_fit_no_other_feature(self, camera):
        for name in ["Width", "Gain", "PixelFormat", "DeviceUserID", "TriggerMode"]:
            expect_status(Status.INVALID_HANDLE, camera.features.__setitem__, name, b"\0\0\0\0")




def expect_status(status, call, *args):
    with pytest.raises(tessoral.Error) as e:
        call(*args)
    assert e.value.status == status, str(e.value)
    return e.value


class TestRefusals:
    def test_unknown_feature(self, camera):
        e = expect_status(Status.INVALID_HANDLE, camera.features.__getitem__, "Widht")
        assert "Widht" in e.message
        expect_status(Status.INVALID_HANDLE, camera.features.__setitem__, "Widht", 5)
        expect_status(Status.INVALID_HANDLE, camera.features.execute, "Widht")
        expect_status(Status.INVALID_HANDLE, camera.features.info, "Widht")
        expect_status(Status.INVALID_HANDLE, camera.features.__getitem__, 42)

    @pytest.mark.parametrize("name,value", [
        ("Width", "1024"), ("Width", 10.5), ("Width", 1024.0), ("Width", True), ("Width", None), ("Width", [1]),
        ("PixelFormat", 1), ("TriggerMode", False), ("Gain", "3"), ("DeviceUserID", 5),
        ("AcquisitionStart", 1),
    ])
    def test_wrong_type_sends_nothing(self, camera, name, value):
        _vcamtest.set_call_record(True)
        _vcamtest.clear_calls()
        expect_status(Status.INVALID_HANDLE, camera.features.__setitem__, name, value)
        assert not [c for c in _vcamtest.calls() if c[0] == "libusb_bulk_transfer" and c[2] == 0x01
                    and int.from_bytes(c[4][6:8], "little") == 0x0802]

    @pytest.mark.parametrize("name,value", [
        ("Width", 9000), ("Width", 0), ("Width", -1), ("Width", 1 << 63), ("Width", 1 << 80),
        ("PixelFormat", "Mono16"), ("ExposureTime", -1.0), ("ExposureTime", math.nan),
        ("ExposureTime", math.inf), ("PayloadSize", 100), ("DeviceVendorName", "x"),
    ])
    def test_out_of_range_or_read_only_leaves_the_camera_alone(self, camera, name, value):
        before = camera.features.text(name)
        expect_status(Status.INVALID_HANDLE, camera.features.__setitem__, name, value)
        assert camera.features.text(name) == before

    def test_reading_a_command_or_executing_a_value(self, camera):
        expect_status(Status.INVALID_HANDLE, camera.features.__getitem__, "AcquisitionStart")
        expect_status(Status.INVALID_HANDLE, camera.features.execute, "Width")

    def test_the_camera_refusal_carries_the_camera_status(self, camera):
        with camera.stream():
            # The camera refuses a new width while it streams.
            expect_status(0x8006, camera.features.__setitem__, "Width", 800)
        camera.features["Width"] = 800

    def test_camera_gone(self, camera, camera_id):
        assert camera.features["Width"] == 640
        _vcamtest.unplug(camera_id)
        for call, args in [(camera.features.__getitem__, ("Width",)), (camera.read, (0, 4))]:
            with pytest.raises(tessoral.Error) as e:
                call(*args)
            assert e.value.status == Status.DEVICE_GONE, str(e.value)


class TestMemory:
    def test_read_write_and_description_file(self, camera):
        camera.write(0x50000, (800).to_bytes(4, "little"))
        assert camera.features["Width"] == 800
        camera.write(0x100000, bytearray(range(256)) * 300)  # larger than one transaction
        assert camera.read(0x100000, 256 * 300) == bytes(range(256)) * 300
        assert camera.read(0, 0) == b""
        assert camera.description_file == run_tool("u3v-xml")

    def test_camera_refusals(self, camera):
        expect_status(0x8003, camera.read, 0x0FFFFFF0, 4)  # nothing there
        expect_status(0x8004, camera.write, 0x90000, b"\0\0\0\0")  # the description file is read-only

    @pytest.mark.parametrize("address,length", [(-1, 4), (1 << 64, 4), (0, -1), (0, 1 << 40), ("0", 4),
                                                (0, 4.0), (True, 4)])
    def test_bad_read_arguments(self, camera, address, length):
        expect_status(Status.INVALID_HANDLE, camera.read, address, length)

    @pytest.mark.parametrize("data", ["text", 5, None, [1, 2]])
    def test_bad_write_data(self, camera, data):
        expect_status(Status.INVALID_HANDLE, camera.write, 0x100000, data)
