"""Handle: one link to one writer, with a method per export of the library.

The host owns the line: the handle gives every request frame to the `write` callable and is
given the bytes read from the line through feed(). Commands block until the answer or their
time-out and raise a KelvraError on failure; they release the interpreter lock meanwhile, so
another thread can read the line and feed.

Threading, as the library wants it: one command at a time per handle (a second thread's command
waits for the first), and one feed at a time. close() waits for a running command or feed to
end; afterwards every method raises HandleClosedError.
"""

from __future__ import annotations

import ctypes
import operator
import threading
from contextlib import contextmanager
from typing import Any, Callable, Iterator, List, Optional, Union

from . import _lib
from . import records as rec
from .errors import HandleClosedError, KelvraError, ResultCode, error_for

BytesLike = Union[bytes, bytearray, memoryview]
WriteFn = Callable[[bytes, int], bool]
EventFn = Callable[[int], None]
ProgressFn = Callable[[int, int], None]

EVENT_FRAME = 1  # a valid frame was accepted
EVENT_ERROR = 2  # receive error: bad magic, length or CRC


def version() -> int:
    """The library version word (major << 16 | minor << 8 | patch)."""
    return int(_lib.load().kvat_version())


def set_encrypt_key_iv(key: Optional[BytesLike], iv: Optional[BytesLike]) -> None:
    """Sets the process-wide AES-128 key and IV (16 bytes each) of every encrypted handle;
    both None go back to the built-in defaults. Set it before encrypted traffic starts."""
    with Handle(lambda frame, timeout: False) as h:
        h.set_encrypt_key_iv(key, iv)


def _u32(name: str, value: Any) -> int:
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if not 0 <= v <= 0xFFFFFFFF:
        raise ValueError(f"{name} must be 0..4294967295, got {v}")
    return v


def _data(name: str, value: Any, *, empty: bool = False) -> bytes:
    if isinstance(value, str) or not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes-like, not {type(value).__name__}")
    raw = bytes(value)
    if not raw and not empty:
        raise ValueError(f"{name} must not be empty")
    if len(raw) > 0xFFFFFFFF:
        raise ValueError(f"{name} is too long")
    return raw


def _cstr(name: str, value: Any) -> bytes:
    if isinstance(value, str):
        raw = value.encode("utf-8")
    elif isinstance(value, (bytes, bytearray)):
        raw = bytes(value)
    else:
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if b"\0" in raw:
        raise ValueError(f"{name} must not contain a zero character")
    return raw


class Handle:
    """One link to one writer (kvat_create ... kvat_destroy); a context manager.

    `write(frame, timeout_ms)` sends one request frame and returns True when every byte went
    to the line; it may also read the answer and call feed() itself before returning; an
    exception it raises fails the command with a KelvraPortError caused by it. `event`
    (optional) is called with EVENT_FRAME or EVENT_ERROR on the feeding thread; an exception
    it raises goes to sys.unraisablehook. With `encrypt` the link's frames are AES-128-CBC
    encrypted for the handle's whole life.
    """

    def __init__(self, write: WriteFn, *, event: Optional[EventFn] = None,
                 encrypt: bool = False) -> None:
        if not callable(write):
            raise TypeError("write must be callable")
        if event is not None and not callable(event):
            raise TypeError("event must be callable or None")
        self._lib = _lib.load()
        self._h: Optional[int] = None
        self._write = write
        self._event = event
        self._callback_error: Optional[BaseException] = None
        self._state = threading.Condition()
        self._active = 0
        self._closed = False
        self._local = threading.local()
        self._command_lock = threading.Lock()
        self._feed_lock = threading.Lock()
        # ctypes callbacks must live as long as the handle.
        self._write_cb = _lib.WRITE_FN(self._on_write)
        self._event_cb = (_lib.EVENT_FN(self._on_event) if event is not None
                          else ctypes.cast(0, _lib.EVENT_FN))
        h = self._lib.kvat_create(1 if encrypt else 0, self._write_cb, self._event_cb, None)
        if not h:
            raise MemoryError("kvat_create failed")
        self._h = h
        self.encrypted = bool(encrypt)

    # ------------------------------------------------------------------ lifetime

    def close(self) -> None:
        """Destroys the handle once a running command or feed has ended. Idempotent."""
        with self._state:
            if self._closed:
                return
            if getattr(self._local, "depth", 0):
                raise RuntimeError("close() called from inside a callback of the same handle")
            self._closed = True
            while self._active:
                self._state.wait()
            h, self._h = self._h, None
        if h:
            self._lib.kvat_destroy(h)

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Handle":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        h = getattr(self, "_h", None)
        if h and not getattr(self, "_active", 0):
            self._h = None
            self._lib.kvat_destroy(h)

    @contextmanager
    def _using(self, function: str) -> Iterator[int]:
        with self._state:
            if self._closed or not self._h:
                raise HandleClosedError(function)
            self._active += 1
            h = self._h
        self._local.depth = getattr(self._local, "depth", 0) + 1
        try:
            yield h
        finally:
            self._local.depth -= 1
            with self._state:
                self._active -= 1
                if not self._active:
                    self._state.notify_all()

    # ------------------------------------------------------------------ callbacks

    def _on_write(self, _user: Any, frame: Any, length: int, timeout_ms: int) -> int:
        try:
            return 1 if self._write(ctypes.string_at(frame, length), int(timeout_ms)) else 0
        except BaseException as e:  # reported by the command that called us
            if self._callback_error is None:
                self._callback_error = e
            return 0

    def _on_event(self, _user: Any, event: int) -> None:
        assert self._event is not None
        self._event(int(event))

    # ------------------------------------------------------------------ plumbing

    def _check_usable(self, function: str) -> None:
        """Raises when the link cannot carry a command (SerialLink: the port is gone)."""

    def _failed(self, function: str, code: int, cause: Optional[BaseException]) -> KelvraError:
        return error_for(code, function)

    def _run(self, function: str, *args: Any) -> int:
        """Calls a command export; raises on failure."""
        self._check_usable(function)
        if getattr(self._local, "depth", 0):
            raise RuntimeError(f"{function}: a command cannot run inside a callback of the "
                               "same handle")
        with self._using(function) as h, self._command_lock:
            if self._closed:  # close() came while this command waited for its turn
                raise HandleClosedError(function)
            self._callback_error = None
            ok = getattr(self._lib, function)(h, *args)
            cause, self._callback_error = self._callback_error, None
            code = int(self._lib.kvat_last_error(h)) if not ok else 0
        if isinstance(cause, (KeyboardInterrupt, SystemExit)):
            raise cause
        if not ok:
            raise self._failed(function, code, cause) from cause
        return int(ok)

    # ------------------------------------------------------------------ handle

    def feed(self, data: BytesLike) -> bool:
        """Gives the library bytes read from the line; True when a valid frame is (still) at
        the start of the receive buffer. Does not block."""
        raw = _data("data", data, empty=True)
        with self._using("kvat_feed") as h, self._feed_lock:
            return bool(self._lib.kvat_feed(h, raw, len(raw)))

    def last_error(self) -> int:
        """The result code of the last command (0 after a success), or 39 after a receive
        error."""
        with self._using("kvat_last_error") as h:
            return int(self._lib.kvat_last_error(h))

    def set_encrypt_key_iv(self, key: Optional[BytesLike], iv: Optional[BytesLike]) -> None:
        """Sets the process-wide AES key and IV (16 bytes each); both None: the built-in
        defaults. The store is shared by every encrypted handle of the process."""
        if (key is None) != (iv is None):
            raise ValueError("key and iv must be given together, or both be None")
        k = None if key is None else _data("key", key)
        v = None if iv is None else _data("iv", iv)
        for name, value in (("key", k), ("iv", v)):
            if value is not None and len(value) != 16:
                raise ValueError(f"{name} must be 16 bytes, not {len(value)}")
        with self._using("kvat_set_encrypt_key_iv") as h:
            self._lib.kvat_set_encrypt_key_iv(h, k, v)

    # ------------------------------------------------------------------ writer

    def get_writer_info(self) -> rec.WriterInfo:
        out = rec._WriterInfoC()
        self._run("kvat_get_writer_info", ctypes.byref(out))
        return rec.WriterInfo._from_c(out)

    def get_writer_config(self) -> rec.WriterConfig:
        out = rec._WriterConfigC()
        self._run("kvat_get_writer_config", ctypes.byref(out))
        return rec.WriterConfig._from_c(out)

    def set_writer_config(self, config: Union[rec.WriterConfig, BytesLike]) -> None:
        """Replaces the writer's configuration (a WriterConfig or its 70 record bytes)."""
        if isinstance(config, rec.WriterConfig):
            c = config._to_c()
        else:
            c = rec.WriterConfig.from_bytes(_data("config", config))._to_c()
        self._run("kvat_set_writer_config", ctypes.byref(c))

    def set_baudrate(self, baudrate: int) -> None:
        """Changes the writer's AT interface rate; switch the line to it afterwards."""
        self._run("kvat_set_baudrate", _u32("baudrate", baudrate))

    # ------------------------------------------------------------------ target

    def target_connect(self) -> None:
        self._run("kvat_target_connect")

    def target_status(self) -> None:
        """Succeeds when the target is connected; raises (e.g. code 9) when it is not."""
        self._run("kvat_target_status")

    def target_get_id(self) -> rec.ChipId:
        out = rec._ChipIdC()
        self._run("kvat_target_get_id", ctypes.byref(out))
        return rec.ChipId._from_c(out)

    def target_read(self, address: int, length: int = rec.MAX_CHUNK) -> rec.MemoryBlock:
        """Reads min(length, 256) bytes at `address` (one frame)."""
        n = _u32("length", length)
        if n == 0:
            raise ValueError("length must be at least 1")
        out = rec._MemoryBlockC()
        self._run("kvat_target_read", _u32("address", address), n, ctypes.byref(out))
        return rec.MemoryBlock._from_c(out)

    def target_erase(self, timeout_ms: int) -> None:
        """Erases the whole chip, waiting up to `timeout_ms` for the writer."""
        self._run("kvat_target_erase", _u32("timeout_ms", timeout_ms))

    def target_erase_sector(self, address: int, length: int, timeout_ms: int) -> None:
        self._run("kvat_target_erase_sector", _u32("address", address), _u32("length", length),
                  _u32("timeout_ms", timeout_ms))

    def target_write_prepare(self, total_size: int) -> None:
        self._run("kvat_target_write_prepare", _u32("total_size", total_size))

    def target_write(self, address: int, data: BytesLike) -> int:
        """Writes the first min(len(data), 256) bytes at `address`; returns how many."""
        raw = _data("data", data)
        self._run("kvat_target_write", _u32("address", address), raw, len(raw))
        return min(len(raw), rec.MAX_CHUNK)

    def target_read_ob(self) -> rec.OptionBytes:
        out = rec._OptionBytesC()
        self._run("kvat_target_read_ob", ctypes.byref(out))
        return rec.OptionBytes._from_c(out)

    def target_write_vendor_ob(self, timeout_ms: int) -> None:
        self._run("kvat_target_write_vendor_ob", _u32("timeout_ms", timeout_ms))

    def target_write_user_ob(self, timeout_ms: int) -> None:
        self._run("kvat_target_write_user_ob", _u32("timeout_ms", timeout_ms))

    def target_reset(self, reset_type: int = 3) -> None:
        """Resets the target; 3 (hardware and core reset) is the usual one."""
        self._run("kvat_target_reset", _u32("reset_type", reset_type))

    def read_memory(self, address: int, size: int) -> bytes:
        """Reads `size` bytes from `address` on, one 256-byte frame after the other."""
        start, n = _u32("address", address), operator.index(size)
        if n < 0 or start + n > 0x100000000:
            raise ValueError("size reaches past the 32-bit address space")
        parts: List[bytes] = []
        done = 0
        while done < n:
            block = self.target_read(start + done, min(rec.MAX_CHUNK, n - done))
            if not block.data:
                raise KelvraError(ResultCode.DATA_SIZE, "kvat_target_read", "no data came back")
            parts.append(block.data)
            done += len(block.data)
        return b"".join(parts)[:n]

    def write_memory(self, address: int, data: BytesLike) -> None:
        """Writes all of `data` from `address` on, one 256-byte frame after the other."""
        start, raw = _u32("address", address), _data("data", data)
        if start + len(raw) > 0x100000000:
            raise ValueError("data reaches past the 32-bit address space")
        for off in range(0, len(raw), rec.MAX_CHUNK):
            self.target_write(start + off, raw[off:off + rec.MAX_CHUNK])

    # ------------------------------------------------------------------ project and offline

    def project_info(self) -> rec.ProjectInfo:
        out = rec._ProjectInfoC()
        self._run("kvat_project_info", ctypes.byref(out))
        return rec.ProjectInfo._from_c(out)

    def project_disable(self) -> None:
        self._run("kvat_project_disable")

    def project_load(self, name: str, password: str, data: BytesLike,
                     progress: Optional[ProgressFn] = None) -> None:
        """Loads an offline project image in 256-byte frames. `progress(total, done)` is called
        after every acknowledged frame; an exception it raises is raised once the load has
        ended. A password over 16 characters fails with code 46 before anything is sent."""
        raw = _data("data", data)
        if progress is not None and not callable(progress):
            raise TypeError("progress must be callable or None")
        progress_error: List[BaseException] = []

        def on_progress(_user: Any, total: int, done: int) -> None:
            if progress is None or progress_error:
                return
            try:
                progress(int(total), int(done))
            except BaseException as e:
                progress_error.append(e)

        cb = (_lib.PROGRESS_FN(on_progress) if progress is not None
              else ctypes.cast(0, _lib.PROGRESS_FN))
        self._run("kvat_project_load", _cstr("name", name), _cstr("password", password), raw,
                  len(raw), cb, None)
        if progress_error:
            raise progress_error[0]

    def project_switch(self, firmware_number: int, name: str, password: str) -> None:
        self._run("kvat_project_switch", _u32("firmware_number", firmware_number),
                  _cstr("name", name), _cstr("password", password))

    def offline_start(self) -> None:
        self._run("kvat_offline_start")

    def offline_status(self) -> rec.OfflineState:
        """One poll: FINISHED, RUNNING, FAILED (`error` holds the writer's code) or
        UNRECOGNISED. Raises when the poll itself failed (time-out, port, receive error)."""
        out = rec._OfflineStateC()
        self._run("kvat_offline_status", ctypes.byref(out))
        return rec.OfflineState._from_c(out)

    def factory_run_sram_fw(self, timeout_ms: int) -> None:
        self._run("kvat_factory_run_sram_fw", _u32("timeout_ms", timeout_ms))

    def factory_run_flash_fw(self, timeout_ms: int) -> None:
        self._run("kvat_factory_run_flash_fw", _u32("timeout_ms", timeout_ms))

    def broadcast(self, data: BytesLike, *, direction: int = 0, keep_frame: bool = False,
                  wait_answer: bool = False,
                  timeout_ms: int = 100) -> Optional[rec.BroadcastRecord]:
        """Passes the first min(len(data), 256) bytes through the writer. With `wait_answer`
        it waits max(timeout_ms, 100) ms for the answer and returns it; without, it waits
        100 ms and returns None."""
        raw = _data("data", data)
        t = operator.index(timeout_ms)
        if not -0x80000000 <= t <= 0x7FFFFFFF:
            raise ValueError(f"timeout_ms must fit 32 bits, got {t}")
        out = rec._BroadcastRecordC()
        self._run("kvat_broadcast", raw, len(raw), _u32("direction", direction),
                  1 if keep_frame else 0, 1 if wait_answer else 0, t, ctypes.byref(out))
        return rec.BroadcastRecord._from_c(out) if wait_answer else None
