"""Discovery, opening by GUID or serial number, and closing everything in order."""

import pytest

import _vcamtest
import tessoral
from tessoral import Status


def released_interfaces():
    return [c[1] for c in _vcamtest.calls() if c[0] == "libusb_release_interface"]


def register_writes(calls):
    """(index, address) of each GenCP write-memory command sent on the control pipe."""
    out = []
    for i, (function, _, endpoint, _, data) in enumerate(calls):
        if function == "libusb_bulk_transfer" and endpoint == 0x01 and data[:4] == b"U3VC" \
                and int.from_bytes(data[6:8], "little") == 0x0802:
            out.append((i, int.from_bytes(data[12:20], "little")))
    return out


SI_CONTROL, EI_CONTROL, ACQUISITION_STOP = 0x20004, 0x30000, 0x40028


class TestDiscovery:
    def test_identification_of_each_camera(self, camera_id):
        _vcamtest.add_camera("VC0000000777", "SN777")
        found = tessoral.discover()
        assert [c.guid for c in found] == ["VC0000000001", "VC0000000777"]
        first = found[0]
        assert (first.vendor, first.model, first.family, first.version, first.serial) == (
            "Tessoral Virtual", "VCam-1", "VCam", "1.0.0", "00000001")
        assert first.user_name == "" and first.in_use is False
        assert found[1].serial == "SN777"

    def test_in_use_while_open(self, camera_id):
        with tessoral.Camera():
            assert tessoral.discover()[0].in_use is True
        assert tessoral.discover()[0].in_use is False

    def test_empty_bus(self, camera_id):
        _vcamtest.unplug(camera_id)
        assert tessoral.discover() == []
        with pytest.raises(tessoral.Error) as e:
            tessoral.Camera()
        assert e.value.status == Status.DEVICE_NOT_FOUND


class TestOpen:
    def test_by_guid_serial_or_first(self, camera_id):
        _vcamtest.add_camera("VC0000000777", "SN777")
        for id in ("VC0000000777", "SN777"):
            with tessoral.Camera(id) as cam:
                assert cam.info.guid == "VC0000000777"
                assert cam.features["DeviceSerialNumber"] == "SN777"
        with tessoral.Camera() as cam:
            assert cam.info.guid == "VC0000000001"

    def test_unknown_id(self, camera_id):
        with pytest.raises(tessoral.Error) as e:
            tessoral.Camera("nobody")
        assert e.value.status == Status.DEVICE_NOT_FOUND
        assert e.value.name == "U3V_ERR_DEVICE_NOT_FOUND"
        assert "nobody" in str(e.value)

    @pytest.mark.parametrize("bad", [1, b"VC0000000001", ["x"]])
    def test_id_of_wrong_type(self, camera_id, bad):
        with pytest.raises(tessoral.Error) as e:
            tessoral.Camera(bad)
        assert e.value.status == Status.INVALID_HANDLE

    def test_second_open_of_the_same_camera_is_refused_and_first_keeps_working(self, camera):
        with pytest.raises(tessoral.Error) as e:
            tessoral.Camera()
        assert e.value.status == Status.CONTROL_CLAIM
        assert camera.features["Width"] == 640


class TestClose:
    def test_stream_events_control_released_in_order(self, camera_id):
        with tessoral.Camera() as cam:
            cam.events()
            stream = cam.stream()
            stream.start()
            stream.get()
            _vcamtest.set_call_record(True)
        calls = _vcamtest.calls()
        writes = dict((address, i) for i, address in register_writes(calls))
        # The camera stops, then the stream, then the events; the device closes last.
        assert writes[ACQUISITION_STOP] < writes[SI_CONTROL] < writes[EI_CONTROL]
        closes = [i for i, c in enumerate(calls) if c[0] == "libusb_close"]
        assert closes and closes[-1] > max(writes.values())
        assert released_interfaces() == [2, 1, 0]
        assert tessoral.discover()[0].in_use is False
        assert not _vcamtest.stream_stats(camera_id)["streaming"]

    def test_closes_on_exception_too(self, camera_id):
        with pytest.raises(RuntimeError):
            with tessoral.Camera() as cam:
                with cam.stream() as stream:
                    stream.get()
                    _vcamtest.set_call_record(True)
                    raise RuntimeError("leaves the block")
        assert released_interfaces() == [2, 1, 0]
        assert tessoral.discover()[0].in_use is False
        assert not _vcamtest.stream_stats(camera_id)["streaming"]
        with tessoral.Camera() as again:  # nothing left claimed
            assert again.features["Width"] == 640

    def test_use_after_close_is_an_error_not_a_crash(self, camera_id):
        cam = tessoral.Camera()
        stream = cam.stream()
        events = cam.events()
        cam.close()
        cam.close()  # idempotent
        assert cam.closed
        for call, status in [
            (lambda: cam.features["Width"], Status.CONTROL_NOT_OPEN),
            (lambda: cam.read(0, 4), Status.CONTROL_NOT_OPEN),
            (lambda: cam.description_file, Status.CONTROL_NOT_OPEN),
            (stream.start, Status.STREAM_NOT_OPEN),
            (lambda: stream.get(0.1), Status.ACQUISITION_STOPPED),
            (lambda: stream.buffer_count, Status.STREAM_NOT_OPEN),
            (events.test, Status.EVENT_NOT_OPEN),
            (lambda: events.get(0.1), Status.EVENT_NOT_OPEN),
        ]:
            with pytest.raises(tessoral.Error) as e:
                call()
            assert e.value.status == status
        stream.close()
        events.close()

    def test_one_stream_at_a_time(self, camera):
        stream = camera.stream()
        with pytest.raises(tessoral.Error) as e:
            camera.stream()
        assert e.value.status == Status.STREAM_CLAIM_FAILED
        stream.close()
        camera.stream().close()  # free again once closed


class TestError:
    def test_carries_status_name_and_meaning(self):
        e = tessoral.Error(0xC01E, "gone")
        assert (e.status, e.name, e.message) == (0xC01E, "U3V_ERR_DEVICE_GONE", "gone")
        assert e.meaning == "the camera has left the bus"
        assert str(e).startswith("0xC01E U3V_ERR_DEVICE_GONE")
        camera_status = tessoral.Error(0x8003)
        assert camera_status.name == "GENCP_INVALID_ADDRESS"
        unknown = tessoral.Error(0x1234)
        assert unknown.name == "status 0x1234" and unknown.meaning == "unknown status"

    def test_pickles(self):
        import pickle

        e = pickle.loads(pickle.dumps(tessoral.Error(0xC018, "late")))
        assert (e.status, e.message, e.name) == (0xC018, "late", "U3V_ERR_IMAGE_TIMEOUT")
