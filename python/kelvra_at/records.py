"""The writer's records: packed C layouts for the library, small dataclasses for Python.

Each `_...C` structure mirrors a record of kelvra_at_records.h byte for byte (packed,
little-endian); a test compares every field offset with the C compiler's. Callers only see the
dataclasses. Texts are the record's bytes up to the first zero byte, decoded as UTF-8 with
undecodable bytes kept as surrogates, so a record read and written back is unchanged.
"""

from __future__ import annotations

import ctypes
import dataclasses
from dataclasses import dataclass
from typing import Any, ClassVar, List, Union

MAX_CHUNK = 256

_u8 = ctypes.c_uint8
_u16 = ctypes.c_uint16
_u32 = ctypes.c_uint32
_i32 = ctypes.c_int32


class _WriterInfoC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [
        ("type", _u8 * 8),
        ("serial_number", _u8 * 32),
        ("hardware_version", _u8 * 8),
        ("bootloader_version", _u8 * 8),
        ("interface_version", _u8 * 8),
    ]


class _WriterConfigC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [
        ("vendor", _u8 * 16),
        ("series", _u8 * 16),
        ("model", _u8 * 16),
        ("erase", _u8),
        ("vext", _u8),
        ("clock", _u8),
        ("buzzer", _u8),
        ("option_byte_type", _u8),
        ("limit_enable", _u8),
        ("limit_number", _u32),
        ("auto_start", _u8),
        ("in_debounce_ms", _u16),
        ("out_debounce_ms", _u16),
        ("disable_power_after_programming", _u8),
        ("run_target_after_programming", _u8),
        ("power_on_debounce_ms", _u16),
        ("power_off_debounce_ms", _u16),
        ("reset_pin_ctrl", _u8),
    ]


class _ChipIdC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [("count", _u8), ("id", _u8 * 16)]


class _MemoryBlockC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [("address", _u32), ("length", _u32), ("data", _u8 * MAX_CHUNK)]


class _OptionBytesC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [("count", _u32), ("data", _u8 * 1024)]


class _ProjectInfoC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [("enabled", _u8), ("image_size", _u32), ("image_crc", _u32)]


class _OfflineStateC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [("state", _i32), ("progress0", _u32), ("progress1", _u32), ("error", _i32)]


class _BroadcastRecordC(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [("keep_frame", _u8), ("direction", _u32), ("length", _u32),
                ("data", _u8 * MAX_CHUNK)]


# The C structure of each record, by the name of the header's typedef.
C_LAYOUTS = {
    "kvat_writer_info": _WriterInfoC,
    "kvat_writer_config": _WriterConfigC,
    "kvat_chip_id": _ChipIdC,
    "kvat_memory_block": _MemoryBlockC,
    "kvat_option_bytes": _OptionBytesC,
    "kvat_project_info_record": _ProjectInfoC,
    "kvat_offline_state": _OfflineStateC,
    "kvat_broadcast_record": _BroadcastRecordC,
}


def _text(field: "ctypes.Array[ctypes.c_uint8]") -> str:
    return bytes(field).split(b"\0", 1)[0].decode("utf-8", "surrogateescape")


def _put_text(name: str, value: str, size: int) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    raw = value.encode("utf-8", "surrogateescape")
    if b"\0" in raw:
        raise ValueError(f"{name} must not contain a zero character")
    if len(raw) > size:
        raise ValueError(f"{name} is {len(raw)} bytes long; the field holds {size}")
    return raw


@dataclass(frozen=True)
class WriterInfo:
    """The writer's identity (answer 2)."""

    type: str
    serial_number: str
    hardware_version: str
    bootloader_version: str
    interface_version: str

    SIZE: ClassVar[int] = 64

    @classmethod
    def _from_c(cls, c: _WriterInfoC) -> "WriterInfo":
        return cls(*(_text(getattr(c, f.name)) for f in dataclasses.fields(cls)))


_TEXT_FIELDS = ("vendor", "series", "model")


@dataclass(frozen=True)
class WriterConfig:
    """The writer's configuration (answer 4, request 5). Change a copy with
    dataclasses.replace() and hand it to set_writer_config()."""

    vendor: str
    series: str
    model: str
    erase: int
    vext: int
    clock: int
    buzzer: int
    option_byte_type: int
    limit_enable: int
    limit_number: int
    auto_start: int
    in_debounce_ms: int
    out_debounce_ms: int
    disable_power_after_programming: int
    run_target_after_programming: int
    power_on_debounce_ms: int
    power_off_debounce_ms: int
    reset_pin_ctrl: int

    SIZE: ClassVar[int] = 70

    @classmethod
    def _from_c(cls, c: _WriterConfigC) -> "WriterConfig":
        values: List[Any] = []
        for f in dataclasses.fields(cls):
            v = getattr(c, f.name)
            values.append(_text(v) if f.name in _TEXT_FIELDS else int(v))
        return cls(*values)

    @classmethod
    def from_bytes(cls, data: Union[bytes, bytearray, memoryview]) -> "WriterConfig":
        """A configuration from its 70 record bytes."""
        raw = bytes(data)
        if len(raw) != cls.SIZE:
            raise ValueError(f"a writer configuration is {cls.SIZE} bytes, not {len(raw)}")
        return cls._from_c(_WriterConfigC.from_buffer_copy(raw))

    def _to_c(self) -> _WriterConfigC:
        c = _WriterConfigC()
        for name, _ in _WriterConfigC._fields_:
            field = getattr(_WriterConfigC, name)
            value = getattr(self, name)
            if name in _TEXT_FIELDS:
                raw = _put_text(name, value, field.size)
                ctypes.memmove(ctypes.addressof(c) + field.offset, raw, len(raw))
                continue
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an int, not {type(value).__name__}")
            limit = 1 << (8 * field.size)
            if not 0 <= value < limit:
                raise ValueError(f"{name} must be 0..{limit - 1}, got {value}")
            setattr(c, name, value)
        return c

    def to_bytes(self) -> bytes:
        """The 70 record bytes, as request 5 carries them."""
        return bytes(self._to_c())


@dataclass(frozen=True)
class ChipId:
    """The target's chip ID (answer 103)."""

    count: int
    raw: bytes  # all 16 bytes of the field

    SIZE: ClassVar[int] = 17

    @property
    def id(self) -> bytes:
        """The valid bytes: the first `count`."""
        return self.raw[: min(self.count, len(self.raw))]

    @classmethod
    def _from_c(cls, c: _ChipIdC) -> "ChipId":
        return cls(int(c.count), bytes(c.id))


@dataclass(frozen=True)
class MemoryBlock:
    """One chunk of target memory (answer 105): the valid bytes only."""

    address: int
    data: bytes

    SIZE: ClassVar[int] = 264

    @classmethod
    def _from_c(cls, c: _MemoryBlockC) -> "MemoryBlock":
        return cls(int(c.address), bytes(c.data)[: min(int(c.length), MAX_CHUNK)])


@dataclass(frozen=True)
class OptionBytes:
    """The target's option bytes (answer 111): the valid bytes only."""

    data: bytes

    SIZE: ClassVar[int] = 1028

    @classmethod
    def _from_c(cls, c: _OptionBytesC) -> "OptionBytes":
        return cls(bytes(c.data)[: min(int(c.count), 1024)])


@dataclass(frozen=True)
class ProjectInfo:
    """The writer's offline project (answer 201)."""

    enabled: bool
    image_size: int
    image_crc: int

    SIZE: ClassVar[int] = 9

    @classmethod
    def _from_c(cls, c: _ProjectInfoC) -> "ProjectInfo":
        return cls(bool(c.enabled), int(c.image_size), int(c.image_crc))


@dataclass(frozen=True)
class OfflineState:
    """One poll of offline programming."""

    state: int      # FINISHED, RUNNING, FAILED, or UNRECOGNISED
    progress0: int  # progress words of a RUNNING answer, else 0
    progress1: int
    error: int      # the writer's code when FAILED, else 0

    FINISHED: ClassVar[int] = 0
    RUNNING: ClassVar[int] = 1
    FAILED: ClassVar[int] = 2
    UNRECOGNISED: ClassVar[int] = -1
    SIZE: ClassVar[int] = 16

    @property
    def running(self) -> bool:
        return self.state == self.RUNNING

    @classmethod
    def _from_c(cls, c: _OfflineStateC) -> "OfflineState":
        return cls(int(c.state), int(c.progress0), int(c.progress1), int(c.error))


@dataclass(frozen=True)
class BroadcastRecord:
    """A broadcast answer (answer 400): the valid data bytes only."""

    keep_frame: bool
    direction: int
    data: bytes

    SIZE: ClassVar[int] = 265

    @classmethod
    def _from_c(cls, c: _BroadcastRecordC) -> "BroadcastRecord":
        return cls(bool(c.keep_frame), int(c.direction),
                   bytes(c.data)[: min(int(c.length), MAX_CHUNK)])
