"""Images that view the library's buffers: valid for as long as they live, given back after."""

import gc

import numpy as np
import pytest

import _vcamtest
import tessoral
from tessoral import Status


def expected(block_id, size=640 * 480):
    return np.frombuffer(_vcamtest.expected_image(block_id, size), dtype=np.uint8)


def in_use():
    return tessoral.discover()[0].in_use


class TestViews:
    def test_arrays_view_the_lent_buffer_and_copies_own_theirs(self, camera):
        with camera.stream(buffers=4) as stream:
            lent = stream.get(2.0)
            copied = stream.get(2.0, copy=True)
        assert not lent.data.flags.owndata and np.shares_memory(lent.data, lent.array)
        assert copied.data.flags.owndata
        np.testing.assert_array_equal(lent.array.reshape(-1), expected(lent.block_id))
        np.testing.assert_array_equal(copied.array.reshape(-1), expected(copied.block_id))
        assert copied.block_id == lent.block_id + 1

    def test_held_arrays_survive_stop_restart_close_and_gc(self, camera_id):
        with tessoral.Camera() as cam:
            stream = cam.stream(buffers=4)
            stream.start()
            first = [stream.get(2.0).array for _ in range(2)]
            stream.stop()
            stream.start()  # a start makes new buffers; the held ones stay untouched
            again = stream.get(2.0).array
            np.testing.assert_array_equal(again.reshape(-1), expected(1))
        # The camera is closed to us, but its handles wait for the held buffers.
        assert cam.closed
        with pytest.raises(tessoral.Error) as e:
            stream.get(0.1)
        assert e.value.status in (Status.STREAM_NOT_OPEN, Status.ACQUISITION_STOPPED)
        with pytest.raises(tessoral.Error):
            cam.features["Width"]
        assert in_use()
        del cam, stream
        gc.collect()
        for block_id, a in zip([1, 2, 1], first + [again]):
            np.testing.assert_array_equal(a.reshape(-1), expected(block_id))
        del a
        first[0][:] = 9  # a held buffer is the holder's to write
        np.testing.assert_array_equal(first[1].reshape(-1), expected(2))
        del first
        assert in_use()  # one image still held
        del again
        gc.collect()
        assert not in_use()
        with tessoral.Camera() as cam:  # and the camera opens again
            with cam.stream() as stream:
                assert stream.get(2.0).block_id == 1

    def test_a_view_of_a_view_keeps_the_buffer(self, camera):
        with camera.stream(buffers=2) as stream:
            row = stream.get(2.0).array[10]
            for _ in range(10):  # the other buffer goes round; this one stays lent
                stream.get(2.0)
        np.testing.assert_array_equal(row, expected(1)[10 * 640:11 * 640])


class TestBuffersComeBack:
    def test_many_images_held_and_dropped(self, camera):
        with camera.stream(buffers=3) as stream:
            ids = []
            for _ in range(10):
                held = [stream.get(2.0) for _ in range(3)]
                for image in held:
                    np.testing.assert_array_equal(image.array.reshape(-1), expected(image.block_id))
                ids += [i.block_id for i in held]
                del held, image
            assert len(ids) == 30 and ids == sorted(ids)

    def test_all_buffers_held_starves_the_stream_until_one_comes_back(self, camera):
        camera.features["TriggerMode"] = "On"
        with camera.stream(buffers=2) as stream:
            held = []
            for _ in range(2):
                camera.features.execute("TriggerSoftware")
                held.append(stream.get(2.0))
            camera.features.execute("TriggerSoftware")
            with pytest.raises(tessoral.Error) as e:
                stream.get(0.5)  # no buffer free: that image was dropped
            assert e.value.status == Status.IMAGE_TIMEOUT
            del held[0]
            camera.features.execute("TriggerSoftware")
            image = stream.get(2.0)
            np.testing.assert_array_equal(image.array.reshape(-1), expected(image.block_id))

    def test_copies_give_the_buffer_back_at_once(self, camera):
        camera.features["TriggerMode"] = "On"
        with camera.stream(buffers=1) as stream:
            kept = []
            for _ in range(3):
                camera.features.execute("TriggerSoftware")
                kept.append(stream.get(2.0, copy=True))
            assert [i.block_id for i in kept] == [1, 2, 3]

    def test_copy_takes_a_bool(self, camera):
        with camera.stream() as stream:
            with pytest.raises(tessoral.Error) as e:
                stream.get(1.0, copy=1)
            assert e.value.status == Status.INVALID_HANDLE
