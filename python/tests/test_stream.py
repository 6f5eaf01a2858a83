"""Images from the stream: byte-exact, shaped, owned, bounded waits and failures."""

import gc
import os
import signal
import threading
import time

import numpy as np
import pytest

import _vcamtest
import tessoral
from tessoral import Status



def expected(block_id, size):
    return np.frombuffer(_vcamtest.expected_image(block_id, size), dtype=np.uint8)


class TestImages:
    def test_byte_exact_and_shaped(self, camera):
        camera.features["Width"] = 800
        camera.features["Height"] = 600
        # A transfer size that divides nothing evenly, so that misplaced pieces show.
        with camera.stream(buffers=6, transfer_size=65532) as stream:
            assert (stream.buffer_count, stream.transfer_size) == (6, 65532)
            assert stream.payload_size == 800 * 600
            images = list(stream.images(count=5, timeout=2.0))
        assert [i.block_id for i in images] == [1, 2, 3, 4, 5]
        timestamps = [i.timestamp for i in images]
        assert timestamps == sorted(timestamps) and len(set(timestamps)) == 5
        for image in images:
            assert image.ok and image.status == 0 and image.missing_transfers == 0
            assert (image.width, image.height, image.pixel_format_name) == (800, 600, "Mono8")
            assert image.bayer is None
            a = image.array
            assert a.shape == (600, 800) and a.dtype == np.uint8
            np.testing.assert_array_equal(a.reshape(-1), expected(image.block_id, 800 * 600))

    def test_rgb8_from_the_camera_is_height_width_3(self, camera):
        camera.features["PixelFormat"] = "RGB8"
        camera.features["Width"] = 50
        camera.features["Height"] = 20
        with camera.stream() as stream:
            assert stream.payload_size == 50 * 20 * 3
            image = stream.get(2.0)
        assert (image.width, image.height, image.pixel_format_name) == (50, 20, "RGB8")
        a = image.array
        assert a.shape == (20, 50, 3) and a.dtype == np.uint8
        np.testing.assert_array_equal(a.reshape(-1), expected(image.block_id, 50 * 20 * 3))

    def test_images_stay_valid_after_stop_and_close(self, camera_id):
        with tessoral.Camera() as cam:
            stream = cam.stream()
            stream.start()
            images = [stream.get(2.0) for _ in range(3)]
            arrays = [i.array for i in images]
            stream.stop()
            np.testing.assert_array_equal(arrays[0].reshape(-1), expected(1, 640 * 480))
        del cam, stream, images
        gc.collect()
        for block_id, a in enumerate(arrays, start=1):
            np.testing.assert_array_equal(a.reshape(-1), expected(block_id, 640 * 480))
        arrays[2][:] = 7  # each image owns its bytes
        np.testing.assert_array_equal(arrays[1].reshape(-1), expected(2, 640 * 480))

    def test_restart_starts_block_ids_again(self, camera):
        with camera.stream() as stream:
            first = stream.get(2.0).block_id
            stream.start()
            assert stream.get(2.0).block_id == first == 1
            stream.stop()
            assert not stream.running
            with pytest.raises(tessoral.Error) as e:
                stream.get(0.1)
            assert e.value.status == Status.ACQUISITION_STOPPED

    def test_missing_data_and_bad_trailer_come_with_their_status(self, camera, camera_id):
        # One image per trigger: a slow (sanitized) reader cannot have the spoilt one
        # dropped behind a full queue.
        camera.features["TriggerMode"] = "On"
        with camera.stream() as stream:
            def take():
                camera.features.execute("TriggerSoftware")
                return stream.get(2.0)

            _vcamtest.add_stream_fault(camera_id, "short_payload")
            short = take()
            assert short.status == Status.MISSING_PACKETS and short.missing_transfers >= 1
            _vcamtest.add_stream_fault(camera_id, "trailer_status", status=0xA101)
            bad = take()
            assert bad.status == 0xA101 and bad.missing_transfers == 0
            good = take()
            assert good.ok and good.block_id == bad.block_id + 1
            np.testing.assert_array_equal(good.data, expected(good.block_id, 640 * 480))


class TestWaits:
    def test_time_out_is_an_error_and_bounded(self, camera):
        camera.features["TriggerMode"] = "On"  # no trigger, no image
        with camera.stream() as stream:
            t0 = time.monotonic()
            with pytest.raises(tessoral.Error) as e:
                stream.get(0.3)
            assert e.value.status == Status.IMAGE_TIMEOUT
            assert 0.25 <= time.monotonic() - t0 < 3
            with pytest.raises(tessoral.Error) as e:
                next(iter(stream.images(count=3, timeout=0.1)))
            assert e.value.status == Status.IMAGE_TIMEOUT

    def test_other_threads_run_during_a_wait(self, camera):
        camera.features["TriggerMode"] = "On"
        longest = [0.0]
        waiting, stop = threading.Event(), threading.Event()

        def spin():
            last = time.monotonic()
            while not stop.is_set():
                now = time.monotonic()
                if waiting.is_set():
                    longest[0] = max(longest[0], now - last)
                last = now

        with camera.stream() as stream:
            t = threading.Thread(target=spin)
            t.start()
            try:
                waiting.set()
                with pytest.raises(tessoral.Error):
                    stream.get(1.0)
                waiting.clear()
            finally:
                stop.set()
                t.join()
        # Held through the wait, the GIL would stall this thread for all of it; the margin is
        # for a machine too busy to run it at once.
        assert longest[0] < 0.5


    def test_ctrl_c_interrupts_a_wait_without_limit(self, camera):
        camera.features["TriggerMode"] = "On"
        with camera.stream() as stream:
            timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
            t0 = time.monotonic()
            timer.start()
            with pytest.raises(KeyboardInterrupt):
                stream.get(timeout=None)
            assert time.monotonic() - t0 < 3
            timer.join()
            # The stream is still usable afterwards.
            camera.features.execute("TriggerSoftware")
            assert stream.get(2.0).ok

    @pytest.mark.parametrize("timeout", [-1, float("nan"), "1", True])
    def test_bad_time_out(self, camera, timeout):
        with camera.stream() as stream:
            with pytest.raises(tessoral.Error) as e:
                stream.get(timeout)
            assert e.value.status == Status.INVALID_HANDLE


class TestFailures:
    def test_camera_pulled_mid_image(self, camera, camera_id):
        with camera.stream() as stream:
            assert stream.get(2.0).ok
            _vcamtest.add_stream_fault(camera_id, "unplug", transfer=2)
            t0 = time.monotonic()
            with pytest.raises(tessoral.Error) as e:
                for _ in range(20):  # images already on their way may still come
                    stream.get(1.0)
            assert e.value.status == Status.DEVICE_GONE, str(e.value)
            assert time.monotonic() - t0 < 15
            # Gone stays gone, for the stream and the camera alike.
            for call, args in [(stream.get, (0.2,)), (camera.features.__getitem__, ("Width",)),
                               (camera.read, (0, 4))]:
                with pytest.raises(tessoral.Error) as e:
                    call(*args)
                assert e.value.status == Status.DEVICE_GONE, str(e.value)
        assert camera.closed is False
        camera.close()

    @pytest.mark.parametrize("timeout", [None, 30.0])
    def test_camera_pulled_during_a_wait(self, camera, camera_id, timeout):
        camera.features["TriggerMode"] = "On"
        with camera.stream() as stream:
            threading.Timer(0.3, _vcamtest.unplug, (camera_id,)).start()
            t0 = time.monotonic()
            with pytest.raises(tessoral.Error) as e:
                stream.get(timeout=timeout)
            assert e.value.status == Status.DEVICE_GONE, str(e.value)
            assert time.monotonic() - t0 < 5

    @pytest.mark.parametrize("setting,value", [("buffer_count", 0x7FFFFFFF), ("buffer_count", -1),
                                               ("transfer_size", 0), ("transfer_size", 0x80000000),
                                               ("transfer_size", 1 << 40), ("buffer_count", "4")])
    def test_bad_settings(self, camera, setting, value):
        stream = camera.stream()
        with pytest.raises(tessoral.Error) as e:
            setattr(stream, setting, value)
        assert e.value.status == Status.INVALID_HANDLE
        stream.close()


class TestImageFields:
    FIELDS = dict(block_id=7, timestamp=1 << 40, pixel_format=0x01080001, size_x=5, size_y=3, offset_x=11,
                  offset_y=13, padding_x=17, missing_transfers=19, status=0xA101)

    @staticmethod
    def attributes(image):
        return dict(block_id=image.block_id, timestamp=image.timestamp, pixel_format=image.pixel_format,
                    size_x=image.width, size_y=image.height, offset_x=image.offset_x, offset_y=image.offset_y,
                    padding_x=image.padding_x, missing_transfers=image.missing_transfers, status=image.status)

    def test_each_leader_field_lands_in_its_own_attribute(self):
        data = np.arange(15, dtype=np.uint8)
        image = tessoral.Image(data, dict(self.FIELDS))
        assert self.attributes(image) == self.FIELDS
        assert image.data is data and not image.ok
        with pytest.raises(KeyError):
            tessoral.Image(data, {k: v for k, v in self.FIELDS.items() if k != "padding_x"})

    @pytest.mark.parametrize("copy", [False, True])
    def test_streamed_images_carry_the_leader_and_trailer(self, camera, copy):
        camera.features["Width"] = 64
        camera.features["Height"] = 32
        with camera.stream() as stream:
            first, second = stream.get(2.0, copy=copy), stream.get(2.0, copy=copy)
        for image in (first, second):
            got = self.attributes(image)
            assert got == dict(got, pixel_format=0x01080001, size_x=64, size_y=32, offset_x=0, offset_y=0,
                               padding_x=0, missing_transfers=0, status=0)
            assert all(type(v) is int for v in got.values())
            assert image.data.shape == (64 * 32,) and image.array.shape == (32, 64)
        assert second.block_id == first.block_id + 1 and second.timestamp > first.timestamp
