"""Pixel formats as arrays: shape, dtype, byte order, channel order, row padding."""

import numpy as np
import pytest

from tessoral import Image, PIXEL_FORMATS
from tessoral._pixels import shape

MONO8, MONO12, MONO16, RGB8, BGR8, BAYER_RG8, BAYER_BG16 = (
    0x01080001, 0x01100005, 0x01100007, 0x02180014, 0x02180015, 0x01080009, 0x01100031)


def image(data, code, width, height, padding_x=0):
    info = dict(block_id=1, timestamp=0, pixel_format=code, size_x=width, size_y=height, offset_x=0,
                offset_y=0, padding_x=padding_x, missing_transfers=0, status=0)
    return Image(np.frombuffer(bytes(data), dtype=np.uint8).copy(), info)


class TestShapes:
    def test_sixteen_bit_formats_are_little_endian(self):
        pixels = [0x0001, 0x0FFF, 0x0100, 0x0ABC, 0x0000, 0x0123]
        data = b"".join(p.to_bytes(2, "little") for p in pixels)
        for code in (MONO12, MONO16):
            a = image(data, code, 3, 2).array
            assert a.dtype == np.dtype("<u2") and a.shape == (2, 3)
            assert a.tolist() == [pixels[:3], pixels[3:]]

    def test_colour_keeps_the_camera_channel_order(self):
        data = bytes(range(2 * 2 * 3))
        rgb = image(data, RGB8, 2, 2).array
        assert rgb.shape == (2, 2, 3) and rgb.dtype == np.uint8
        assert rgb[1, 0].tolist() == [6, 7, 8]
        bgr = image(data, BGR8, 2, 2)
        assert bgr.array[0, 1].tolist() == [3, 4, 5] and bgr.pixel_format_name == "BGR8"

    def test_row_padding_is_skipped(self):
        width, height, pad = 3, 3, 5
        rows = [bytes([10 * r + c for c in range(width)]) + b"\xEE" * pad for r in range(height)]
        data = b"".join(rows)[:-pad]  # the last row's padding may be missing
        a = image(data, MONO8, width, height, pad).array
        assert a.tolist() == [[0, 1, 2], [10, 11, 12], [20, 21, 22]]
        rgb_rows = [bytes(range(6)) + b"\xEE" * 2, bytes(range(6, 12)) + b"\xEE" * 2]
        c = image(b"".join(rgb_rows), RGB8, 2, 2, 2).array
        assert c[1, 1].tolist() == [9, 10, 11]

    def test_bayer_is_the_raw_plane_with_its_pattern(self):
        raw = image(bytes(range(16)), BAYER_RG8, 4, 4)
        assert raw.array.shape == (4, 4) and raw.bayer == "RGGB"
        deep = image(bytes(32), BAYER_BG16, 4, 4)
        assert deep.array.dtype == np.dtype("<u2") and deep.bayer == "BGGR"
        assert {f.bayer for f in PIXEL_FORMATS.values() if f.bayer} == {"RGGB", "GRBG", "GBRG", "BGGR"}

    def test_views_share_the_image_bytes(self):
        img = image(bytes(12), MONO16, 3, 2)
        img.data[0] = 0x34
        img.data[1] = 0x12
        assert img.array[0, 0] == 0x1234


class TestWhatCannotBeShaped:
    @pytest.mark.parametrize("code,width,height,size,padding", [
        (0x12345678, 4, 4, 16, 0),  # unknown format
        (MONO16, 4, 4, 31, 0),  # one byte short
        (RGB8, 2, 2, 12, 1),  # padding makes it too short
        (MONO8, 0, 4, 16, 0),
        (MONO8, 4, 0, 16, 0),
        (MONO8, 1 << 31, 1 << 31, 16, 0),  # a leader's absurd geometry
    ])
    def test_gives_the_raw_bytes(self, code, width, height, size, padding):
        img = image(bytes(size), code, width, height, padding)
        assert shape(img.data, code, width, height, padding) is None
        assert img.array is img.data and img.array.shape == (size,)

    def test_unknown_format_is_named_by_its_code(self):
        assert image(b"", 0x12345678, 0, 0).pixel_format_name == "0x12345678"
