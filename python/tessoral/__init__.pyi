import enum
from typing import Callable, Iterator, Mapping, NamedTuple, Optional, Union

import numpy as np

FeatureValue = Union[int, float, str, bool, bytes]

class Error(Exception):
    status: int
    name: str
    meaning: str
    message: str
    def __init__(self, status: int, message: str = ...) -> None: ...

class Status(enum.IntEnum):
    OK: int
    USB_OPEN: int
    NO_CONFIGURATION: int
    NO_INTERFACES: int
    CONFIG_DESCRIPTOR: int
    STRING_DESCRIPTOR: int
    CONTROL_CLAIM: int
    CONTROL_NOT_OPEN: int
    ACK_PREFIX: int
    ACK_COMMAND: int
    ACK_REQUEST_ID: int
    XML_EMPTY: int
    XML_READ: int
    XML_FILE_OPEN: int
    XML_WRITE: int
    MANIFEST_WRITE: int
    NO_EVENT_INTERFACE: int
    EVENT_CLAIM_FAILED: int
    EVENT_NOT_OPEN: int
    EIRM_NOT_AVAILABLE: int
    NO_STREAM_INTERFACE: int
    STREAM_CLAIM_FAILED: int
    STREAM_NOT_OPEN: int
    NO_IMAGE: int
    IMAGE_TIMEOUT: int
    MISSING_PACKETS: int
    INVALID_HANDLE: int
    EXCEPTION: int
    DEVICE_NOT_FOUND: int
    XML_UNZIP: int
    DEVICE_GONE: int
    ACQUISITION_STOPPED: int
    CALLED_FROM_CALLBACK: int
    USB_TRANSFER: int
    ACK_LENGTH: int

class PixelFormat(NamedTuple):
    name: str
    dtype: np.dtype
    channels: int
    bayer: Optional[str]

PIXEL_FORMATS: dict[int, PixelFormat]

class CameraInfo:
    guid: str
    vendor: str
    model: str
    family: str
    version: str
    serial: str
    user_name: str
    in_use: bool
    manufacturer_info: str
    gencp_version: int
    u3v_version: int
    speed_support: int

def discover() -> list[CameraInfo]: ...

class FeatureInfo:
    name: str
    type: str
    interface: str
    access: str
    tool_tip: str
    unit: str
    min: Optional[Union[int, float]]
    max: Optional[Union[int, float]]
    inc: Optional[int]
    length: Optional[int]
    entries: list[str]
    features: list[str]
    @property
    def readable(self) -> bool: ...
    @property
    def writable(self) -> bool: ...

class Features(Mapping[str, FeatureValue]):
    def __getitem__(self, name: str) -> FeatureValue: ...
    def __setitem__(self, name: str, value: FeatureValue) -> None: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def __contains__(self, name: object) -> bool: ...
    def items(self) -> list[tuple[str, FeatureValue]]: ...  # type: ignore[override]
    def values(self) -> list[FeatureValue]: ...  # type: ignore[override]
    def commands(self) -> list[str]: ...
    def execute(self, name: str) -> None: ...
    def is_done(self, name: str) -> bool: ...
    def text(self, name: str) -> str: ...
    def set_text(self, name: str, text: str) -> None: ...
    def info(self, name: str) -> FeatureInfo: ...
    def entries(self, name: str) -> list[str]: ...
    def categories(self) -> dict[str, list[str]]: ...

class Image:
    data: np.ndarray
    block_id: int
    timestamp: int
    pixel_format: int
    width: int
    height: int
    offset_x: int
    offset_y: int
    padding_x: int
    missing_transfers: int
    status: int
    @property
    def array(self) -> np.ndarray: ...
    @property
    def pixel_format_name(self) -> str: ...
    @property
    def bayer(self) -> Optional[str]: ...
    @property
    def ok(self) -> bool: ...

class Stream:
    buffer_count: int
    transfer_size: int
    @property
    def running(self) -> bool: ...
    @property
    def payload_size(self) -> int: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def get(self, timeout: Optional[float] = ..., copy: bool = ...) -> Image: ...
    def images(self, count: Optional[int] = ..., timeout: Optional[float] = ...,
               copy: bool = ...) -> Iterator[Image]: ...
    def __iter__(self) -> Iterator[Image]: ...
    def __enter__(self) -> Stream: ...
    def __exit__(self, *exc: object) -> None: ...

class Event(NamedTuple):
    id: int
    timestamp: int
    length: int
    data: int

class Events:
    def test(self) -> None: ...
    def get(self, timeout: Optional[float] = ...) -> Optional[Event]: ...
    def messages(self, count: Optional[int] = ..., timeout: Optional[float] = ...) -> Iterator[Event]: ...
    def __iter__(self) -> Iterator[Event]: ...
    @property
    def dropped(self) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> Events: ...
    def __exit__(self, *exc: object) -> None: ...

class Camera:
    info: CameraInfo
    features: Features
    def __init__(self, id: Optional[str] = ...) -> None: ...
    @property
    def closed(self) -> bool: ...
    def read(self, address: int, length: int) -> bytes: ...
    def write(self, address: int, data: Union[bytes, bytearray, memoryview]) -> None: ...
    @property
    def description_file(self) -> str: ...
    def stream(self, buffers: Optional[int] = ..., transfer_size: Optional[int] = ...,
               timeout_ms: int = ...) -> Stream: ...
    def events(self, callback: Optional[Callable[[Event], None]] = ..., timeout_ms: int = ...) -> Events: ...
    def close(self) -> None: ...
    def __enter__(self) -> Camera: ...
    def __exit__(self, *exc: object) -> None: ...
