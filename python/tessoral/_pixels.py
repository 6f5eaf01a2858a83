"""Pixel formats: how an image's bytes become a numpy array of the right shape and dtype."""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np


class PixelFormat(NamedTuple):
    name: str
    dtype: np.dtype
    channels: int  # 1 for a (height, width) array, 3 or 4 for (height, width, channels)
    bayer: Optional[str]  # the colour filter pattern of a raw Bayer plane, e.g. "RGGB"


def _f(name: str, dtype: str, channels: int = 1, bayer: Optional[str] = None) -> PixelFormat:
    return PixelFormat(name, np.dtype(dtype), channels, bayer)


# Standard codes of the unpacked formats; 10, 12 and 14 bits sit in the low bits of 16.
FORMATS: dict[int, PixelFormat] = {
    0x01080001: _f("Mono8", "u1"),
    0x01100003: _f("Mono10", "<u2"),
    0x01100005: _f("Mono12", "<u2"),
    0x01100025: _f("Mono14", "<u2"),
    0x01100007: _f("Mono16", "<u2"),
    0x02180014: _f("RGB8", "u1", 3),
    0x02180015: _f("BGR8", "u1", 3),
    0x02200016: _f("RGBa8", "u1", 4),
    0x02200017: _f("BGRa8", "u1", 4),
    0x01080008: _f("BayerGR8", "u1", bayer="GRBG"),
    0x01080009: _f("BayerRG8", "u1", bayer="RGGB"),
    0x0108000A: _f("BayerGB8", "u1", bayer="GBRG"),
    0x0108000B: _f("BayerBG8", "u1", bayer="BGGR"),
    0x0110000C: _f("BayerGR10", "<u2", bayer="GRBG"),
    0x0110000D: _f("BayerRG10", "<u2", bayer="RGGB"),
    0x0110000E: _f("BayerGB10", "<u2", bayer="GBRG"),
    0x0110000F: _f("BayerBG10", "<u2", bayer="BGGR"),
    0x01100010: _f("BayerGR12", "<u2", bayer="GRBG"),
    0x01100011: _f("BayerRG12", "<u2", bayer="RGGB"),
    0x01100012: _f("BayerGB12", "<u2", bayer="GBRG"),
    0x01100013: _f("BayerBG12", "<u2", bayer="BGGR"),
    0x0110002E: _f("BayerGR16", "<u2", bayer="GRBG"),
    0x0110002F: _f("BayerRG16", "<u2", bayer="RGGB"),
    0x01100030: _f("BayerGB16", "<u2", bayer="GBRG"),
    0x01100031: _f("BayerBG16", "<u2", bayer="BGGR"),
}


def format_name(code: int) -> str:
    f = FORMATS.get(code)
    return f.name if f else "0x%08X" % code


def shape(data: np.ndarray, code: int, width: int, height: int, padding_x: int) -> Optional[np.ndarray]:
    """A view of ``data`` (1-D uint8) as (height, width[, channels]) pixels, or None when
    the format is unknown or the geometry does not fit the bytes."""
    f = FORMATS.get(code)
    if f is None or width <= 0 or height <= 0 or padding_x < 0:
        return None
    pixel = f.dtype.itemsize * f.channels
    row = width * pixel + padding_x
    # The last row's padding need not be there.
    if row * (height - 1) + width * pixel > data.size:
        return None
    if f.channels == 1:
        shape_, strides = (height, width), (row, pixel)
    else:
        shape_, strides = (height, width, f.channels), (row, pixel, f.dtype.itemsize)
    # The view keeps `data` alive through its base; no bytes are copied.
    return np.ndarray(shape_, dtype=f.dtype, buffer=data, offset=0, strides=strides)
