"""Drive a Kelvra writer from Python through the kelvra_at shared library.

    import kelvra_at
    with kelvra_at.open_serial("/dev/kelvra/writer-1234") as writer:
        info = writer.get_writer_info()
        writer.target_connect()
        print(info.serial_number, writer.read_memory(0x08000000, 16).hex())

Handle is one link to one writer whatever carries the bytes; SerialLink is a Handle on a
serial port. Every command returns Python values and raises KelvraError (with the result
code and its message) on failure. The library is found through KELVRA_AT_LIBRARY, next to
this package, or by the system loader.
"""

from ._lib import ENV_VAR, LibraryNotFoundError
from ._lib import path as library_path
from .errors import (HandleClosedError, KelvraError, KelvraPortError, KelvraTimeoutError,
                     PortLostError, ResultCode, message_of)
from .handle import EVENT_ERROR, EVENT_FRAME, Handle, set_encrypt_key_iv, version
from .records import (BroadcastRecord, ChipId, MemoryBlock, OfflineState, OptionBytes,
                      ProjectInfo, WriterConfig, WriterInfo)
from .serial_link import SerialLink, open_serial

__version__ = "1.0.0"

__all__ = [
    "BroadcastRecord", "ChipId", "ENV_VAR", "EVENT_ERROR", "EVENT_FRAME", "Handle",
    "HandleClosedError", "KelvraError", "KelvraPortError", "KelvraTimeoutError",
    "LibraryNotFoundError", "MemoryBlock", "OfflineState", "OptionBytes", "PortLostError",
    "ProjectInfo", "ResultCode", "SerialLink", "WriterConfig", "WriterInfo", "library_path",
    "message_of", "open_serial", "set_encrypt_key_iv", "version",
]
