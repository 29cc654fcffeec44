"""SerialLink: a Handle on a serial port (pyserial), with a reader thread that feeds it.

    with SerialLink("/dev/kelvra/writer-1234") as writer:
        print(writer.get_writer_info().serial_number)

The port is opened at 115200 baud, 8N1, no flow control. The write callback writes each
request frame and waits until it has left; the reader thread gives everything it reads to
feed(). When the port goes away (unplugged writer, vanished device), the reader stops and every
command from then on raises PortLostError.
"""

from __future__ import annotations

import threading
from typing import Any, Optional

from .errors import KelvraError, KelvraPortError, PortLostError
from .handle import EventFn, Handle

DEFAULT_BAUDRATE = 115200


class SerialLink(Handle):
    """A writer on a serial port. `port` is a device path (or a pyserial URL)."""

    def __init__(self, port: str, baudrate: int = DEFAULT_BAUDRATE, *, encrypt: bool = False,
                 event: Optional[EventFn] = None, write_timeout: float = 5.0) -> None:
        import serial  # type: ignore[import]  # only the serial link needs pyserial

        self._serial_module = serial
        self.port = port
        self._lost: Optional[BaseException] = None
        self._stop = threading.Event()
        self._serial = serial.serial_for_url(
            port, baudrate=baudrate, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
            stopbits=serial.STOPBITS_ONE, xonxoff=False, rtscts=False, dsrdtr=False,
            timeout=0.1, write_timeout=write_timeout)
        try:
            super().__init__(self._write_frame, event=event, encrypt=encrypt)
            self._serial.reset_input_buffer()
        except BaseException:
            self._serial.close()
            raise
        self._reader = threading.Thread(target=self._read_loop, name=f"kelvra_at reader {port}",
                                        daemon=True)
        self._reader.start()

    @property
    def lost(self) -> bool:
        """True once the port has gone away."""
        return self._lost is not None

    def _write_frame(self, frame: bytes, timeout_ms: int) -> bool:
        if self._lost is not None:
            return False
        serial = self._serial_module
        try:
            written = self._serial.write(frame)
            self._serial.flush()
        except serial.SerialTimeoutException:
            raise
        except Exception as e:  # e.g. termios.error from the drain: the line is unusable
            raise serial.SerialException(f"write failed: {e}") from e
        return bool(written == len(frame))

    def _read_loop(self) -> None:
        while not self._stop.is_set():
            try:
                data = self._serial.read(max(1, self._serial.in_waiting))
            except Exception as e:  # whatever the port raised, it can no longer be read
                if not self._stop.is_set():
                    self._lost = e
                return
            if data:
                try:
                    self.feed(data)
                except KelvraError:  # closed meanwhile
                    return

    def _check_usable(self, function: str) -> None:
        if self._lost is not None:
            raise PortLostError(function, f"{self.port}: the serial port is gone ({self._lost})")

    def _failed(self, function: str, code: int, cause: Optional[BaseException]) -> KelvraError:
        serial = self._serial_module
        if isinstance(cause, serial.SerialTimeoutException):
            return KelvraPortError(code, function, f"{self.port}: writing the request timed out")
        if self._lost is None and isinstance(cause, (serial.SerialException, OSError)):
            self._lost = cause  # the writing side noticed first
        if self._lost is not None:
            return PortLostError(function, f"{self.port}: the serial port is gone ({self._lost})")
        return super()._failed(function, code, cause)

    def set_baudrate(self, baudrate: int) -> None:
        """Changes the writer's rate, then the port's."""
        super().set_baudrate(baudrate)
        self._serial.baudrate = baudrate

    def close(self) -> None:
        """Stops the reader, closes the port and destroys the handle. Idempotent."""
        if self.closed:
            return
        self._stop.set()
        try:
            self._serial.cancel_read()
        except Exception:  # not every port type can cancel a read; the read time-out ends it
            pass
        if self._reader is not threading.current_thread():
            self._reader.join()
        self._serial.close()
        super().close()

    def __enter__(self) -> "SerialLink":
        return self

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("lost" if self.lost else "open")
        return f"<SerialLink {self.port} {state}>"


def open_serial(port: str, baudrate: int = DEFAULT_BAUDRATE, **kwargs: Any) -> SerialLink:
    """Opens a writer on a serial port: the same as SerialLink(port, baudrate, ...)."""
    return SerialLink(port, baudrate, **kwargs)
