"""Result codes, their messages, and the exceptions the binding raises.

The library reports a failure as a number (kvat_last_error). This module names every code and
gives its message; a test keeps both equal to the C header's list of codes and to the host
program's message table.
"""

from __future__ import annotations

import enum
from typing import Dict, Optional


class ResultCode(enum.IntEnum):
    """The result codes of the AT protocol (the C header's KVAT_ERR_ names without the
    prefix)."""

    NONE = 0
    CRC = 1
    PRODUCT_TYPE = 2
    BUSY = 3
    IN_USE = 4
    PRIVATE_HD = 5
    CONFIG = 6
    PRIVATE_ALG = 7
    TARGET_OB_CONFIG = 8
    TARGET_NOT_CONNECTED = 9
    TARGET_ERASE = 10
    TARGET_WRITE = 11
    TARGET_READ = 12
    TIMEOUT = 13
    EXTFLASH_INIT = 14
    EXTFLASH_ERASE = 15
    EXTFLASH_WRITE = 16
    EXTFLASH_VERIFY = 17
    EXTFLASH_READ = 18
    PACKAGE_SIZE = 19
    TARGET_CHIP_TYPE = 20
    TARGET_UID = 21
    WRITER_UPDATE = 22
    TARGET_PROTECTED = 23
    TARGET_WRITE_FLASH = 24
    TARGET_WRITE_OB = 25
    PROJECT_VERSION = 32
    PROJECT_OEM = 33
    PROJECT_MAGIC = 34
    PROJECT_CORRUPT = 35
    PROJECT_DISABLED = 36
    DATA_SIZE = 37
    PORT = 38
    PACKAGE = 39
    ONLINE_CONNECTED = 40
    PORT_SEND = 41
    PORT_TIMEOUT = 42
    UNSUPPORTED = 43
    NULL = 44
    FLASH_ALGORITHM = 45
    PASSWORD = 46
    POWER_CYCLE = 47
    VOLTAGE = 49
    DEBUGGER_CONNECTED = 50
    WIRELESS_CONNECTING = 51
    PRIVATE_1 = 52
    PRIVATE_2 = 53
    PRIVATE_3 = 54
    PRIVATE_4 = 55
    PRIVATE_5 = 56
    PROJECT_TOO_OLD = 59
    PRIVATE_6 = 60
    TARGET_FT = 61
    TARGET_PASSWORD = 62
    TARGET_SPI_FLASH = 63
    TARGET_ABNORMAL_ACCESS = 64
    TARGET_WRITE_KPROM = 65
    TARGET_WRITE_XOM = 66
    TARGET_WRITE_SECURE = 67
    TARGET_WRITE_MTP = 68
    FUS_NOT_RUNNING = 69
    STACK_NOT_RUNNING = 70
    FUS_UPGRADE = 71
    STACK_UPGRADE = 72
    FUS_IMAGE_NOT_FOUND = 73
    FUS_IMAGE_CORRUPT = 74
    FUS_IMAGE_NOT_AUTHENTIC = 75
    FUS_NO_SPACE = 76
    FUS_USER_ABORT = 77
    FUS_ERASE = 78
    FUS_WRITE = 79
    FUS_AUTH_TAG = 80
    FUS_CUSTOM_AUTH_TAG = 81
    FUS_KEY_LOCKED = 82
    FUS_UFB_CORRUPT = 83
    FUS_OTHER = 84
    STACK_TYPE = 85
    PRIVATE_SOF = 86
    VENDOR_SIGNATURE = 87
    NO_SIGNATURE = 88
    FACTORY_DISABLED = 89
    FACTORY_NO_SRAM_FW = 90
    FACTORY_NO_FLASH_FW = 91
    WRITE_SRAM = 92
    AT_BAUDRATE = 93
    BROADCAST_DIRECTION = 94
    NEED_KEEP_FRAME = 95
    AT_UART_DISABLED = 96
    FACTORY_TEST = 97
    INIT = 98
    FIRMWARE_QUANTITY = 99


# The message of every code, exact: leading blanks and trailing dots included.
_MESSAGES: Dict[int, str] = {
    ResultCode.NONE: " None error ...",
    ResultCode.CRC: " Data(package) crc is incorrect...",
    ResultCode.PRODUCT_TYPE: " Product type does not match...",
    ResultCode.BUSY: " Is busy ...",
    ResultCode.IN_USE: " Is in use...",
    ResultCode.PRIVATE_HD: " _ATErrorPrivate_HD",
    ResultCode.CONFIG: " Configuration error...",
    ResultCode.PRIVATE_ALG: " _ATErrorPrivate_ALG",
    ResultCode.TARGET_OB_CONFIG: " Target option byte configuration error...",
    ResultCode.TARGET_NOT_CONNECTED: " Target not connected...",
    ResultCode.TARGET_ERASE: " Target erase failed...",
    ResultCode.TARGET_WRITE: " Target write data failed...",
    ResultCode.TARGET_READ: " Target read data failed...",
    ResultCode.TIMEOUT: " Time out ...",
    ResultCode.EXTFLASH_INIT: " The extends flash initial failed...",
    ResultCode.EXTFLASH_ERASE: " The extends flash erase failed...",
    ResultCode.EXTFLASH_WRITE: " The extends flash write failed...",
    ResultCode.EXTFLASH_VERIFY: " The extends flash verify failed...",
    ResultCode.EXTFLASH_READ: " The extends flash read failed...",
    ResultCode.PACKAGE_SIZE: " The package size error...",
    ResultCode.TARGET_CHIP_TYPE: " Target chip type error...",
    ResultCode.TARGET_UID: " Target read unique id failed...",
    ResultCode.WRITER_UPDATE: " The writer update firmware failed...",
    ResultCode.TARGET_PROTECTED: " Target chip protection is enabled...",
    ResultCode.TARGET_WRITE_FLASH: " Target write flash failed...",
    ResultCode.TARGET_WRITE_OB: " Target write option byte failed...",
    ResultCode.PROJECT_VERSION: " The project of version error...",
    ResultCode.PROJECT_OEM: " The project of oem error...",
    ResultCode.PROJECT_MAGIC: " The project of magic tag error...",
    ResultCode.PROJECT_CORRUPT: " The project of data corruption...",
    ResultCode.PROJECT_DISABLED: " The project disabled...",
    ResultCode.DATA_SIZE: " The package size error...",
    ResultCode.PORT: " The communication port error...",
    ResultCode.PACKAGE: " The communication package error...",
    ResultCode.ONLINE_CONNECTED: " The writer needs to be disconnected from the online connection....",
    ResultCode.PORT_SEND: " The communication port send package error...",
    ResultCode.PORT_TIMEOUT: " The communication port waiting response time out...",
    ResultCode.UNSUPPORTED: " The command is unsupported ...",
    ResultCode.NULL: " The config is(has) null value ...",
    ResultCode.FLASH_ALGORITHM: " Target flash algorithm config error...",
    ResultCode.PASSWORD: " The Incorrect authentication password...",
    ResultCode.POWER_CYCLE: " Disconnect the device and power it on again to complete the upgrade...",
    ResultCode.VOLTAGE: " The voltage error (abnormal power supply)...",
    ResultCode.DEBUGGER_CONNECTED: " The debugger is connected...",
    ResultCode.WIRELESS_CONNECTING: " The wireless is connecting...",
    ResultCode.PRIVATE_1: " _ATErrorPrivate_1",
    ResultCode.PRIVATE_2: " _ATErrorPrivate_2",
    ResultCode.PRIVATE_3: " _ATErrorPrivate_3",
    ResultCode.PRIVATE_4: " _ATErrorPrivate_4",
    ResultCode.PRIVATE_5: " _ATErrorPrivate_5",
    ResultCode.PROJECT_TOO_OLD: " The project version is too low...",
    ResultCode.PRIVATE_6: " _ATErrorPrivate_6",
    ResultCode.TARGET_FT: " Target FT(CP) validation fails ...",
    ResultCode.TARGET_PASSWORD: " Target password error(such as KPROM)...",
    ResultCode.TARGET_SPI_FLASH: " Target SPI flash not connected(such as NUVOTON) ...",
    ResultCode.TARGET_ABNORMAL_ACCESS: " Target abnormal access detected...",
    ResultCode.TARGET_WRITE_KPROM: " Target write KPROM failed...",
    ResultCode.TARGET_WRITE_XOM: " Target write XOM failed...",
    ResultCode.TARGET_WRITE_SECURE: " Target write secure setting failed...",
    ResultCode.TARGET_WRITE_MTP: " Target write MTP failed...",
    ResultCode.FUS_NOT_RUNNING: " The FUS not running ...",
    ResultCode.STACK_NOT_RUNNING: " The stack not running ...",
    ResultCode.FUS_UPGRADE: " FUS upgrade error ...",
    ResultCode.STACK_UPGRADE: " Stack upgrade error ...",
    ResultCode.FUS_IMAGE_NOT_FOUND: " FUS state image not found...",
    ResultCode.FUS_IMAGE_CORRUPT: " FUS state image corrupt...",
    ResultCode.FUS_IMAGE_NOT_AUTHENTIC: " FUS state image not authentic...",
    ResultCode.FUS_NO_SPACE: " FUS state image not enough space...",
    ResultCode.FUS_USER_ABORT: " FUS state user abort...",
    ResultCode.FUS_ERASE: " FUS state erase error...",
    ResultCode.FUS_WRITE: " FUS state write error...",
    ResultCode.FUS_AUTH_TAG: " FUS authorization tag was not found...",
    ResultCode.FUS_CUSTOM_AUTH_TAG: " FUS custom authorization tag was not found...",
    ResultCode.FUS_KEY_LOCKED: " FUS authorization key locked...",
    ResultCode.FUS_UFB_CORRUPT: " FUS UFB corrupt...",
    ResultCode.FUS_OTHER: " FUS state other error ...",
    ResultCode.STACK_TYPE: " Stack type error ...",
    ResultCode.PRIVATE_SOF: " _ATErrorPrivate_SOF",
    ResultCode.VENDOR_SIGNATURE: " The vendor signature data is corrupted",
    ResultCode.NO_SIGNATURE: " The current target chip has no signature",
    ResultCode.FACTORY_DISABLED: "Factory test not enable",
    ResultCode.FACTORY_NO_SRAM_FW: "Factory test no SRAM firmware",
    ResultCode.FACTORY_NO_FLASH_FW: "Factory test no flash firmware",
    ResultCode.WRITE_SRAM: "Write SRAM failure",
    ResultCode.AT_BAUDRATE: "AT baudrate ",
    ResultCode.BROADCAST_DIRECTION: "Broadcast direction error",
    ResultCode.NEED_KEEP_FRAME: "Need keep AT frame to send",
    ResultCode.AT_UART_DISABLED: "AT UART AT disabled",
    ResultCode.FACTORY_TEST: "AT factory test failed",
    ResultCode.INIT: "ATcmd initial failed",
    ResultCode.FIRMWARE_QUANTITY: " Firmware quantity exceeds",
}


def message_of(code: int) -> str:
    """The message of a result code; an empty text for a code the table does not hold."""
    return _MESSAGES.get(int(code), "")


class KelvraError(Exception):
    """A library call failed. `code` is the result code, `message` its exact message text,
    `function` the export that failed."""

    def __init__(self, code: int, function: str = "", detail: str = "") -> None:
        self.code = int(code)
        self.function = function
        self.message = message_of(self.code)
        self.detail = detail
        super().__init__(self._describe())

    @property
    def name(self) -> Optional[str]:
        """The code's name (e.g. "TIMEOUT"), or None for a code outside the table."""
        try:
            return ResultCode(self.code).name
        except ValueError:
            return None

    def _describe(self) -> str:
        if self.detail:
            text = self.detail
        elif self.code == ResultCode.NONE:
            # Code 0 on a failure: the writer acknowledged where a data answer was expected.
            text = "the writer answered with an acknowledgement instead of the expected data"
        else:
            text = self.message.strip() or "unknown result code"
        where = f"{self.function}: " if self.function else ""
        name = self.name
        return f"{where}{text} (result code {self.code}{', ' + name if name else ''})"


class KelvraTimeoutError(KelvraError, TimeoutError):
    """No valid answer within the time-out (result code 13)."""


class KelvraPortError(KelvraError, ConnectionError):
    """The frame could not be written to the line (result code 38)."""


class PortLostError(KelvraPortError):
    """The serial port went away (unplugged, or its device vanished)."""

    def __init__(self, function: str, detail: str) -> None:
        super().__init__(ResultCode.PORT, function, detail)


class HandleClosedError(KelvraError):
    """The handle was closed; the library's code for a missing handle (44) is carried."""

    def __init__(self, function: str = "") -> None:
        super().__init__(ResultCode.NULL, function, "the handle is closed")


def error_for(code: int, function: str = "") -> KelvraError:
    """The exception for a failed call that left `code` as the last error."""
    if code == ResultCode.TIMEOUT:
        return KelvraTimeoutError(code, function)
    if code == ResultCode.PORT:
        return KelvraPortError(code, function)
    return KelvraError(code, function)
