"""USB3 Vision cameras from Python, through the Tessoral library.

>>> import tessoral
>>> tessoral.discover()
[CameraInfo(guid='VC0000000001', vendor='Tessoral Virtual', model='VCam-1', ...)]
>>> with tessoral.Camera() as camera:
...     camera.features["Width"] = 800
...     with camera.stream(buffers=8) as stream:
...         for image in stream.images(count=10):
...             print(image.block_id, image.array.shape)

Every failure is a :class:`tessoral.Error` carrying the 16-bit status, its name and its
meaning. Waits release the GIL and can be interrupted with Ctrl-C.
"""

from __future__ import annotations

import atexit
import enum
import weakref
from dataclasses import dataclass, field
from typing import Callable, Iterator, Mapping, NamedTuple, Optional, Union

import numpy as np

from . import _native
from ._native import Error
from ._pixels import FORMATS as PIXEL_FORMATS
from ._pixels import PixelFormat, format_name

__all__ = [
    "Camera", "CameraInfo", "Error", "Event", "Events", "FeatureInfo", "Features", "Image",
    "PIXEL_FORMATS", "PixelFormat", "Status", "Stream", "discover",
]

FeatureValue = Union[int, float, str, bool, bytes]

_MAX_ADDRESS = (1 << 64) - 1
_MAX_LENGTH = 0x7FFFFFFF


class Status(enum.IntEnum):
    """The library's own status codes (a camera may send GenCP statuses besides)."""

    OK = 0x0000
    USB_OPEN = 0xC001
    NO_CONFIGURATION = 0xC002
    NO_INTERFACES = 0xC003
    CONFIG_DESCRIPTOR = 0xC004
    STRING_DESCRIPTOR = 0xC005
    CONTROL_CLAIM = 0xC006
    CONTROL_NOT_OPEN = 0xC007
    ACK_PREFIX = 0xC008
    ACK_COMMAND = 0xC009
    ACK_REQUEST_ID = 0xC00A
    XML_EMPTY = 0xC00B
    XML_READ = 0xC00C
    XML_FILE_OPEN = 0xC00D
    XML_WRITE = 0xC00E
    MANIFEST_WRITE = 0xC00F
    NO_EVENT_INTERFACE = 0xC010
    EVENT_CLAIM_FAILED = 0xC011
    EVENT_NOT_OPEN = 0xC012
    EIRM_NOT_AVAILABLE = 0xC013
    NO_STREAM_INTERFACE = 0xC014
    STREAM_CLAIM_FAILED = 0xC015
    STREAM_NOT_OPEN = 0xC016
    NO_IMAGE = 0xC017
    IMAGE_TIMEOUT = 0xC018
    MISSING_PACKETS = 0xC019
    INVALID_HANDLE = 0xC01A
    EXCEPTION = 0xC01B
    DEVICE_NOT_FOUND = 0xC01C
    XML_UNZIP = 0xC01D
    DEVICE_GONE = 0xC01E
    ACQUISITION_STOPPED = 0xC01F
    CALLED_FROM_CALLBACK = 0xC020
    USB_TRANSFER = 0x800B
    ACK_LENGTH = 0x800E


def _argument(message: str) -> Error:
    return Error(Status.INVALID_HANDLE, message)


def _unsigned(value: object, limit: int, what: str) -> int:
    # bool is an int to Python, never an address or a length.
    if not isinstance(value, int) or isinstance(value, bool):
        raise _argument("%s must be an int, not %s" % (what, type(value).__name__))
    if not 0 <= value <= limit:
        raise _argument("%s %d is outside 0..%d" % (what, value, limit))
    return value


def _timeout(value: Optional[float]) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _argument("a time-out is a number of seconds or None, not %s" % type(value).__name__)
    return float(value)


@dataclass(frozen=True)
class CameraInfo:
    """A camera's identification, as discovery found it."""

    guid: str
    vendor: str
    model: str
    family: str
    version: str
    serial: str
    user_name: str
    in_use: bool
    manufacturer_info: str = ""
    gencp_version: int = 0
    u3v_version: int = 0
    speed_support: int = 0


def discover() -> list[CameraInfo]:
    """Every USB3 Vision camera on the bus, with its identification."""
    return [CameraInfo(**d) for d in _native.discover()]


@dataclass(frozen=True)
class FeatureInfo:
    """What a feature tells about itself. Limits are None where the type has none."""

    name: str
    type: str  # the element that describes it: "Integer", "IntReg", "Converter", ...
    interface: str  # what it offers: "Integer", "Float", "Enumeration", "Command", ...
    access: str  # "RW", "RO", "WO", "NA" (not available now) or "NI" (not implemented)
    tool_tip: str
    unit: str
    min: Optional[Union[int, float]] = None
    max: Optional[Union[int, float]] = None
    inc: Optional[int] = None
    length: Optional[int] = None  # a register's bytes
    entries: list[str] = field(default_factory=list)  # an enumeration's available entries
    features: list[str] = field(default_factory=list)  # a category's members

    @property
    def readable(self) -> bool:
        return self.access in ("RO", "RW")

    @property
    def writable(self) -> bool:
        return self.access in ("WO", "RW")


class Features(Mapping[str, FeatureValue]):
    """The camera's features by name, read from and written to the camera each time.

    ``features[name]`` reads (int, float, str for enumerations and strings, bool, bytes
    for a register such as a look-up table); ``features[name] = value`` writes after the
    engine's checks of access, type, range and increment (a refused write sends nothing).
    A register takes any bytes-like object of exactly its length (``info(name).length``);
    :meth:`text` shows its first bytes in hex and :meth:`set_text` takes hex digits. Iteration gives the features with a value
    that the categories hold, in category order; :meth:`commands` gives the commands, and
    any node of the description file can be named.
    """

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    def _native(self) -> _native.Camera:
        return self._camera._handle()

    def __getitem__(self, name: str) -> FeatureValue:
        return self._native().get(_name(name))

    def __setitem__(self, name: str, value: FeatureValue) -> None:
        self._native().set(_name(name), value)

    def __iter__(self) -> Iterator[str]:
        return iter(self._native().feature_names(False))

    def __len__(self) -> int:
        return len(self._native().feature_names(False))

    def items(self):  # type: ignore[override]
        """(name, value) of every feature readable now; one not available now (a chunk
        feature before any chunk came) is left out, as reading it would fail."""
        return [(n, self[n]) for n in self if self._native().describe(n)["access"] in ("RO", "RW")]

    def values(self):  # type: ignore[override]
        """The values :meth:`items` gives."""
        return [v for _, v in self.items()]

    def commands(self) -> list[str]:
        """The command features the categories hold, in category order."""
        return self._native().feature_names(True)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self._native().has_feature(name)

    def get(self, name: str, default=None):  # type: ignore[override]
        """The value, or ``default`` when the camera has no such feature."""
        if name not in self:
            return default
        return self[name]

    def execute(self, name: str) -> None:
        """Executes a command feature."""
        self._native().execute(_name(name))

    def is_done(self, name: str) -> bool:
        """Whether a command has finished on the camera."""
        return self._native().is_done(_name(name))

    def text(self, name: str) -> str:
        """The value as a person reads it, with its unit ("10000 us")."""
        return self._native().get_text(_name(name))

    def set_text(self, name: str, text: str) -> None:
        """Writes a value given as text, as ``u3v-feature NAME=VALUE`` does."""
        if not isinstance(text, str):
            raise _argument("%s: set_text takes a str, not %s" % (name, type(text).__name__))
        self._native().set_text(_name(name), text)

    def info(self, name: str) -> FeatureInfo:
        """Type, access, limits, entries, unit and tool tip of a feature."""
        return FeatureInfo(**self._native().describe(_name(name)))

    def entries(self, name: str) -> list[str]:
        """The available entries of an enumeration."""
        return self.info(name).entries

    def categories(self) -> dict[str, list[str]]:
        """Every category with the names it holds, in file order."""
        return dict(self._native().categories())


def _name(name: object) -> str:
    if not isinstance(name, str):
        raise _argument("a feature name is a str, not %s" % type(name).__name__)
    return name


class Image:
    """One image with the leader's information.

    ``array`` is the image as (height, width) or (height, width, channels) pixels of the
    format's dtype (a Bayer format gives its raw plane; ``bayer`` names the pattern). For a
    format the package does not know, or a geometry the bytes do not fill, it is the
    payload as 1-D uint8, like ``data``. ``data`` and ``array`` view the library's
    buffer without a copy (unless the image was taken with ``copy=True``); it stays valid
    and untouched after the stream is stopped or closed and the camera closed, for as long
    as the image or any array from it lives, and goes back to the stream when the last of
    them is gone. Keep ``np.copy(image.array)`` rather than the image to hold on to many.
    """

    # The native module fills these slots itself for every image taken (makeImage).
    __slots__ = ("data", "block_id", "timestamp", "pixel_format", "width", "height", "offset_x",
                 "offset_y", "padding_x", "missing_transfers", "status", "_array")

    # The keys of `info`, in the order of the fields they fill below.
    _FIELDS = ("block_id", "timestamp", "pixel_format", "size_x", "size_y", "offset_x", "offset_y", "padding_x",
               "missing_transfers", "status")

    def __init__(self, data: np.ndarray, info: dict) -> None:
        self.data: np.ndarray = data
        (self.block_id, self.timestamp, self.pixel_format, self.width, self.height, self.offset_x, self.offset_y,
         self.padding_x, self.missing_transfers, self.status) = tuple(info[k] for k in Image._FIELDS)
        self._array: Optional[np.ndarray] = None

    @property
    def array(self) -> np.ndarray:
        if self._array is None:
            from ._pixels import shape

            shaped = shape(self.data, self.pixel_format, self.width, self.height, self.padding_x)
            self._array = shaped if shaped is not None else self.data
        return self._array

    @property
    def pixel_format_name(self) -> str:
        return format_name(self.pixel_format)

    @property
    def bayer(self) -> Optional[str]:
        f = PIXEL_FORMATS.get(self.pixel_format)
        return f.bayer if f else None

    @property
    def ok(self) -> bool:
        """True for a complete image with a good trailer."""
        return self.status == Status.OK

    def __repr__(self) -> str:
        return "Image(block_id=%d, %dx%d %s, status=0x%04X, missing_transfers=%d)" % (
            self.block_id, self.width, self.height, self.pixel_format_name, self.status,
            self.missing_transfers)


_native.set_image_class(Image)


class Stream:
    """The camera's image stream.

    ``with camera.stream() as stream:`` opens the stream and starts acquisition (the
    library's stream, then the camera's AcquisitionStart); leaving the block stops and
    closes it. Settings take effect at the next start.
    """

    def __init__(self, camera: "Camera", native: _native.Stream) -> None:
        self._camera = camera
        self._native = native

    @property
    def buffer_count(self) -> int:
        """Images the library holds for the caller."""
        return self._native.buffer_count

    @buffer_count.setter
    def buffer_count(self, count: int) -> None:
        self._native.buffer_count = _unsigned(count, 0x7FFFFFFE, "a buffer count")

    @property
    def transfer_size(self) -> int:
        """Bytes of each payload transfer."""
        return self._native.transfer_size

    @transfer_size.setter
    def transfer_size(self, size: int) -> None:
        self._native.transfer_size = _unsigned(size, 0xFFFFFFFF, "a transfer size")

    @property
    def running(self) -> bool:
        return self._native.running

    @property
    def payload_size(self) -> int:
        """Bytes of each image, as the camera asked at the last start."""
        return self._native.payload_size

    def start(self) -> None:
        """Starts the stream and the camera; a start while running restarts."""
        self._native.start()

    def stop(self) -> None:
        """Stops the camera and the stream; images taken so far stay valid."""
        self._native.stop()

    def close(self) -> None:
        """Stops and closes the stream. Idempotent.

        Images still held stay valid: the library's stream (and with it the camera's
        USB handles, even after the camera is closed) stays open underneath until the
        last of them is gone, and only then closes; the camera is in use meanwhile.
        Drop or copy held images to free the camera at once."""
        self._native.close()

    def get(self, timeout: Optional[float] = 1.0, copy: bool = False) -> Image:
        """The next image, waiting up to ``timeout`` seconds (None: no limit).

        Raises Error with IMAGE_TIMEOUT when none came in time. An image with missing
        data or a bad trailer status comes back all the same, its ``status`` saying so.

        The image's arrays view the library's own buffer, without a copy; the buffer goes
        back to the stream when the image and every array from it are gone. Held images
        count against ``buffer_count``: while all buffers are held, newer images are
        dropped. ``copy=True`` copies the image instead and gives the buffer back at once.
        """
        if copy is not False and copy is not True:
            raise _argument("copy is a bool, not %s" % type(copy).__name__)
        # The native module makes the Image (see set_image_class above).
        image = self._native.grab(timeout if timeout.__class__ is float else _timeout(timeout), copy)
        if image is None:
            raise Error(Status.IMAGE_TIMEOUT, "no image within %s s" % timeout)
        return image

    def images(self, count: Optional[int] = None, timeout: Optional[float] = 1.0,
               copy: bool = False) -> Iterator[Image]:
        """``count`` images (None: until the loop ends), each within ``timeout`` seconds;
        ``copy`` as for :meth:`get`."""
        if count is not None:
            _unsigned(count, 1 << 63, "an image count")
        taken = 0
        while count is None or taken < count:
            yield self.get(timeout, copy)
            taken += 1

    def __iter__(self) -> Iterator[Image]:
        return self.images()

    def __enter__(self) -> "Stream":
        if not self.running:
            self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Event(NamedTuple):
    """One event message: its id, the device timestamp, the data length in bytes and the
    first eight data bytes as one little-endian value."""

    id: int
    timestamp: int
    length: int
    data: int


class Events:
    """The camera's event channel, opened with its events enabled.

    With a callback, each event is passed to it as an :class:`Event` on the library's worker
    thread (the GIL is taken only for the call; exceptions it raises are reported as
    unraisable). Without one, events queue up for :meth:`get` and iteration.
    """

    def __init__(self, camera: "Camera", native: _native.Events) -> None:
        self._camera = camera
        self._native = native

    def test(self) -> None:
        """Asks the camera for a test event."""
        self._native.test()

    def get(self, timeout: Optional[float] = 1.0) -> Optional[Event]:
        """The next event, or None when none came within ``timeout`` seconds."""
        got = self._native.next(_timeout(timeout))
        return Event(*got) if got is not None else None

    def messages(self, count: Optional[int] = None, timeout: Optional[float] = 1.0) -> Iterator[Event]:
        """Up to ``count`` events; ends early when none comes within ``timeout`` seconds."""
        taken = 0
        while count is None or taken < count:
            e = self.get(timeout)
            if e is None:
                return
            yield e
            taken += 1

    def __iter__(self) -> Iterator[Event]:
        return self.messages()

    @property
    def dropped(self) -> int:
        """Events dropped because the queue was full."""
        return self._native.dropped

    def close(self) -> None:
        """Disables the camera's events and closes the channel. Idempotent; not allowed from
        the channel's own callback."""
        self._native.close()

    def __enter__(self) -> "Events":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


_open_cameras: "weakref.WeakSet[Camera]" = weakref.WeakSet()


@atexit.register
def _close_all() -> None:
    # Event workers must not call into an interpreter that is shutting down.
    for camera in list(_open_cameras):
        camera.close()


class Camera:
    """A camera opened by GUID or serial number (the first camera when ``id`` is None).

    As a context manager it closes, on leaving the block (also by an exception), the
    stream, the event channel, the control channel and the device, in this order.
    """

    def __init__(self, id: Optional[str] = None) -> None:
        if id is not None and not isinstance(id, str):
            raise _argument("a camera id is a GUID or serial number (str), not %s" % type(id).__name__)
        self._native: Optional[_native.Camera] = _native.Camera(id or "")
        self.info = CameraInfo(**self._native.info)
        self.features = Features(self)
        self._stream: Optional[Stream] = None
        self._events: Optional[Events] = None
        _open_cameras.add(self)

    def _handle(self) -> _native.Camera:
        if self._native is None:
            raise Error(Status.CONTROL_NOT_OPEN, "the camera is closed")
        return self._native

    @property
    def closed(self) -> bool:
        return self._native is None or not self._native.is_open

    def read(self, address: int, length: int) -> bytes:
        """``length`` bytes of camera memory at ``address``."""
        return self._handle().read(_unsigned(address, _MAX_ADDRESS, "an address"),
                                   _unsigned(length, _MAX_LENGTH, "a length"))

    def write(self, address: int, data: Union[bytes, bytearray, memoryview]) -> None:
        """Writes ``data`` to camera memory at ``address``."""
        _unsigned(address, _MAX_ADDRESS, "an address")
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise _argument("write takes bytes, bytearray or memoryview, not %s" % type(data).__name__)
        if len(memoryview(data).cast("B")) > _MAX_LENGTH:
            raise _argument("at most %d bytes at once" % _MAX_LENGTH)
        self._handle().write(address, data)

    @property
    def description_file(self) -> str:
        """The camera's GenICam description file (unpacked when the camera zips it)."""
        return self._handle().description_file()

    def stream(self, buffers: Optional[int] = None, transfer_size: Optional[int] = None,
               timeout_ms: int = 1000) -> Stream:
        """Opens the camera's stream (one at a time). ``buffers`` and ``transfer_size``
        set the library's buffer count and payload transfer size; ``timeout_ms`` bounds
        each of its transfer waits."""
        native = self._handle().open_stream(_unsigned(timeout_ms, 0xFFFFFFFF, "a time-out"))
        stream = Stream(self, native)
        try:
            if buffers is not None:
                stream.buffer_count = buffers
            if transfer_size is not None:
                stream.transfer_size = transfer_size
        except BaseException:
            stream.close()
            raise
        self._stream = stream
        return stream

    def events(self, callback: Optional[Callable[[Event], None]] = None, timeout_ms: int = 100) -> Events:
        """Opens the event channel and enables the camera's events (one channel at a time).
        ``timeout_ms`` bounds each read of the event pipe, and so how long a close takes."""
        if callback is not None and not callable(callback):
            raise _argument("the event callback must be callable")
        wrapped = None if callback is None else (lambda *m: callback(Event(*m)))
        native = self._handle().open_events(wrapped, _unsigned(timeout_ms, 0xFFFFFFFF, "a time-out"))
        self._events = Events(self, native)
        return self._events

    def close(self) -> None:
        """Closes stream, events, control channel and device. Idempotent."""
        if self._native is not None:
            self._native.close()
            self._native = None
            self._stream = self._events = None
        _open_cameras.discard(self)

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._native is None else "open"
        return "<tessoral.Camera %s %s %s>" % (self.info.guid, self.info.model, state)
