"""Finding and loading the kelvra_at shared library, and the C prototypes of its 31 exports.

The library is looked for, in this order:
  1. the file (or folder) named by the environment variable KELVRA_AT_LIBRARY;
  2. next to this package (a copy in the kelvra_at folder);
  3. the system loader (an installed libkelvra-at1, the PATH on Windows, ...).
It is loaded on first use, so importing the package works without it.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Iterator, List, Optional, Tuple

from . import records as r

ENV_VAR = "KELVRA_AT_LIBRARY"

if sys.platform == "win32":
    NAMES: Tuple[str, ...] = ("kelvra_at.dll",)
elif sys.platform == "darwin":
    NAMES = ("libkelvra_at.1.dylib", "libkelvra_at.dylib")
else:
    NAMES = ("libkelvra_at.so.1", "libkelvra_at.so")


class LibraryNotFoundError(OSError):
    """The kelvra_at shared library could not be found or loaded."""


WRITE_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint8),
                            ctypes.c_uint32, ctypes.c_uint32)
EVENT_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int)
PROGRESS_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32)

_H = ctypes.c_void_p
_P = ctypes.POINTER
_int, _u32, _i32, _ptr, _str = (ctypes.c_int, ctypes.c_uint32, ctypes.c_int32, ctypes.c_void_p,
                                ctypes.c_char_p)

# name: (result type, argument types), in the header's order.
PROTOTYPES = {
    "kvat_version": (_u32, []),
    "kvat_create": (_H, [_int, WRITE_FN, EVENT_FN, _ptr]),
    "kvat_destroy": (None, [_H]),
    "kvat_feed": (_int, [_H, _ptr, _u32]),
    "kvat_last_error": (_u32, [_H]),
    "kvat_set_encrypt_key_iv": (_int, [_H, _ptr, _ptr]),
    "kvat_get_writer_info": (_int, [_H, _P(r._WriterInfoC)]),
    "kvat_get_writer_config": (_int, [_H, _P(r._WriterConfigC)]),
    "kvat_set_writer_config": (_int, [_H, _P(r._WriterConfigC)]),
    "kvat_set_baudrate": (_int, [_H, _u32]),
    "kvat_target_connect": (_int, [_H]),
    "kvat_target_status": (_int, [_H]),
    "kvat_target_get_id": (_int, [_H, _P(r._ChipIdC)]),
    "kvat_target_read": (_int, [_H, _u32, _u32, _P(r._MemoryBlockC)]),
    "kvat_target_erase": (_int, [_H, _u32]),
    "kvat_target_erase_sector": (_int, [_H, _u32, _u32, _u32]),
    "kvat_target_write_prepare": (_int, [_H, _u32]),
    "kvat_target_write": (_int, [_H, _u32, _ptr, _u32]),
    "kvat_target_read_ob": (_int, [_H, _P(r._OptionBytesC)]),
    "kvat_target_write_vendor_ob": (_int, [_H, _u32]),
    "kvat_target_write_user_ob": (_int, [_H, _u32]),
    "kvat_target_reset": (_int, [_H, _u32]),
    "kvat_project_info": (_int, [_H, _P(r._ProjectInfoC)]),
    "kvat_project_disable": (_int, [_H]),
    "kvat_project_load": (_int, [_H, _str, _str, _ptr, _u32, PROGRESS_FN, _ptr]),
    "kvat_project_switch": (_int, [_H, _u32, _str, _str]),
    "kvat_offline_start": (_int, [_H]),
    "kvat_offline_status": (_int, [_H, _P(r._OfflineStateC)]),
    "kvat_factory_run_sram_fw": (_int, [_H, _u32]),
    "kvat_factory_run_flash_fw": (_int, [_H, _u32]),
    "kvat_broadcast": (_int, [_H, _ptr, _u32, _u32, _int, _int, _i32, _P(r._BroadcastRecordC)]),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _candidates() -> Iterator[Tuple[str, bool]]:
    """(what to load, whether it is an explicit request that must not be skipped)."""
    env = os.environ.get(ENV_VAR)
    if env:
        path = Path(env)
        if path.is_dir():
            for name in NAMES:
                if (path / name).exists():
                    yield str(path / name), True
                    return
            yield str(path / NAMES[0]), True
        else:
            yield str(path), True
        return
    here = Path(__file__).resolve().parent
    for name in NAMES:
        if (here / name).exists():
            yield str(here / name), False
    for name in NAMES:
        yield name, False
    found = ctypes.util.find_library("kelvra_at")
    if found:
        yield found, False


def _bind(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def load() -> ctypes.CDLL:
    """The library, loaded and bound on the first call."""
    global _library
    with _lock:
        if _library is not None:
            return _library
        tried: List[str] = []
        for what, explicit in _candidates():
            try:
                lib = ctypes.CDLL(what)
            except OSError as e:
                if explicit:
                    raise LibraryNotFoundError(f"{ENV_VAR}={os.environ.get(ENV_VAR)}: cannot load "
                                               f"{what}: {e}") from e
                tried.append(what)
                continue
            try:
                _library = _bind(lib)
            except AttributeError as e:
                raise LibraryNotFoundError(f"{what} is not the kelvra_at library: {e}") from e
            return _library
        raise LibraryNotFoundError(
            "the kelvra_at library was not found (tried " + ", ".join(tried) + "); set "
            f"{ENV_VAR} to its path, copy it next to the kelvra_at package, or install it")


def path() -> str:
    """Where the loaded library lives (its file name if the system loader found it)."""
    return str(load()._name)
