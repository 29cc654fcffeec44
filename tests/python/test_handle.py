"""Handle against a writer double behind its write callback (the answer is fed from inside
the callback): values, failures, bad arguments, closing and threads."""

from __future__ import annotations

import ctypes.util
import struct
import subprocess
import sys
import threading
import time
import zlib
from typing import Callable, List, Optional, Tuple

import pytest

from conftest import SOURCE, child_env
import kelvra_at
from kelvra_at import (Handle, HandleClosedError, KelvraError, KelvraPortError,
                       KelvraTimeoutError, OfflineState)

ACK, NACK, RUNNING = 0x7FFFFF9B, 0x7FFFFF9C, 0x7FFFFF9D


def frame(code: int, payload: bytes = b"") -> bytes:
    body = struct.pack("<II", code, len(payload)) + payload
    head = b"KVAT" + struct.pack("<I", len(body) + 12)
    return head + body + struct.pack("<I", zlib.crc32(head + body))


class Double:
    """Decodes each request and feeds `answer(code, payload)` (None: silence)."""

    def __init__(self, answer: Optional[Callable[[int, bytes], Optional[bytes]]] = None,
                 **kwargs) -> None:
        self.requests: List[Tuple[int, bytes, int]] = []
        self.answer = answer or (lambda code, payload: frame(ACK))
        self.handle = Handle(self.write, **kwargs)

    def write(self, data: bytes, timeout_ms: int) -> bool:
        assert data[:4] == b"KVAT" and len(data) == struct.unpack_from("<I", data, 4)[0]
        assert zlib.crc32(data[:-4]) == struct.unpack_from("<I", data, len(data) - 4)[0]
        code, plen = struct.unpack_from("<II", data, 8)
        self.requests.append((code, data[16:16 + plen], timeout_ms))
        reply = self.answer(code, data[16:16 + plen])
        if reply is not None:
            self.handle.feed(reply)
        return True


def test_records_come_back_as_python_values():
    info = b"KVR4\0\0\0\0" + b"S" * 32 + b"V2.1\0\0\0\0" + b"V1.3\0\0\0\0" + b"V1.0\0\0\0\0"

    def answer(code: int, p: bytes) -> Optional[bytes]:
        if code == 1:
            return frame(2, info)
        if code == 104:
            address, length = struct.unpack("<II", p)
            block = struct.pack("<II", address, 3) + bytes(range(10, 13)).ljust(256, b"\0")
            return frame(105, block)
        if code == 102:
            return frame(103, bytes([3, 0xDE, 0xAD, 0xBE]).ljust(17, b"\xee"))
        if code == 200:
            return frame(201, struct.pack("<BII", 1, 1000, 0x12345678))
        return frame(ACK)

    d = Double(answer)
    with d.handle as h:
        got = h.get_writer_info()
        assert (got.type, got.serial_number, got.interface_version) == ("KVR4", "S" * 32, "V1.0")
        block = h.target_read(0x08000000, 3)
        assert (block.address, block.data) == (0x08000000, b"\x0a\x0b\x0c")
        assert d.requests[-1] == (104, struct.pack("<II", 0x08000000, 3), 5000)
        chip = h.target_get_id()
        assert chip.id == b"\xde\xad\xbe" and chip.count == 3
        assert h.project_info() == kelvra_at.ProjectInfo(True, 1000, 0x12345678)
        assert h.target_write(0x20000000, bytes(300)) == 256
        assert d.requests[-1][0] == 109 and len(d.requests[-1][1]) == 8 + 256
        assert h.last_error() == 0


@pytest.mark.parametrize("reply, expected", [
    (frame(ACK), OfflineState(0, 0, 0, 0)),
    (frame(RUNNING, struct.pack("<II", 40, 100)), OfflineState(1, 40, 100, 0)),
    (frame(NACK, struct.pack("<I", 3)), OfflineState(2, 0, 0, 3)),
    (frame(999, b"\0" * 8), OfflineState(-1, 0, 0, 0)),
], ids=["finished", "running", "failed", "unrecognised"])
def test_offline_status_outcomes(reply, expected):
    with Double(lambda code, p: reply).handle as h:
        assert h.offline_status() == expected


def test_failures_raise_with_the_result_code():
    d = Double(lambda code, p: frame(NACK, struct.pack("<I", 9)))
    with pytest.raises(KelvraError) as e:
        d.handle.target_connect()
    assert e.value.code == 9 and e.value.message == " Target not connected..."
    assert e.value.function == "kvat_target_connect"

    d.answer = lambda code, p: None
    start = time.monotonic()
    with pytest.raises(KelvraTimeoutError) as e:
        d.handle.target_erase(200)
    assert isinstance(e.value, TimeoutError) and e.value.code == 13
    assert 0.15 < time.monotonic() - start < 3

    d.answer = lambda code, p: frame(ACK)  # an ACK where data was expected
    with pytest.raises(KelvraError) as e:
        d.handle.get_writer_config()
    assert e.value.code == 0


def test_a_failing_write_callback_is_a_port_error_with_its_cause():
    calls = []

    def write(data: bytes, timeout_ms: int) -> bool:
        calls.append(data)
        if len(calls) == 1:
            raise RuntimeError("line unplugged")
        return False

    with Handle(write) as h:
        with pytest.raises(KelvraPortError) as e:
            h.target_connect()
        assert e.value.code == 38 and isinstance(e.value.__cause__, RuntimeError)
        with pytest.raises(KelvraPortError) as e:  # returning False
            h.target_connect()
        assert e.value.__cause__ is None


def test_events_arrive_on_the_feeding_thread():
    events = []
    d = Double(event=events.append)
    d.handle.target_connect()
    d.handle.feed(b"\0\0\0\0")  # bytes after the frame: it is accepted again
    d.handle.target_connect()
    d.answer = lambda code, p: None
    with pytest.raises(KelvraTimeoutError):
        d.handle.target_erase(0)  # sends, so the buffer is empty again
    assert d.handle.feed(b"XXXXKVAT") is False  # a bad magic: receive error
    assert events == [1, 1, 1, 2]
    assert d.handle.last_error() == 39
    d.handle.close()


BAD_CALLS = [
    ("read address str", lambda h: h.target_read("0x08000000", 4), TypeError),
    ("read address negative", lambda h: h.target_read(-1, 4), ValueError),
    ("read address 2**32", lambda h: h.target_read(2 ** 32, 4), ValueError),
    ("read length 0", lambda h: h.target_read(0, 0), ValueError),
    ("read length float", lambda h: h.target_read(0, 4.0), TypeError),
    ("write str data", lambda h: h.target_write(0, "text"), TypeError),
    ("write no data", lambda h: h.target_write(0, b""), ValueError),
    ("erase timeout None", lambda h: h.target_erase(None), TypeError),
    ("config short", lambda h: h.set_writer_config(bytes(69)), ValueError),
    ("config str", lambda h: h.set_writer_config("config"), TypeError),
    ("key 15 bytes", lambda h: h.set_encrypt_key_iv(bytes(15), bytes(16)), ValueError),
    ("key without iv", lambda h: h.set_encrypt_key_iv(bytes(16), None), ValueError),
    ("load no data", lambda h: h.project_load("a.pkg", "", b""), ValueError),
    ("load zero in name", lambda h: h.project_load("a\0b", "", b"1"), ValueError),
    ("load name int", lambda h: h.project_load(3, "", b"1"), TypeError),
    ("load progress int", lambda h: h.project_load("a", "", b"1", progress=5), TypeError),
    ("switch password None", lambda h: h.project_switch(0, "a", None), TypeError),
    ("broadcast no data", lambda h: h.broadcast(b""), ValueError),
    ("broadcast timeout", lambda h: h.broadcast(b"x", timeout_ms=2 ** 31), ValueError),
    ("feed str", lambda h: h.feed("KVAT"), TypeError),
    ("feed None", lambda h: h.feed(None), TypeError),
    ("baudrate str", lambda h: h.set_baudrate("115200"), TypeError),
]


@pytest.mark.parametrize("call, error", [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS])
def test_bad_arguments_raise_before_anything_is_sent(call, error):
    d = Double()
    with pytest.raises(error):
        call(d.handle)
    assert d.requests == []
    d.handle.close()


def test_a_long_password_is_refused_by_the_library():
    d = Double()
    with pytest.raises(KelvraError) as e:
        d.handle.project_switch(0, "fw.pkg", "x" * 17)
    assert e.value.code == 46 and d.requests == []
    d.handle.project_switch(0, "fw.pkg", "x" * 16)
    assert d.requests[-1][0] == 207


def test_constructor_arguments():
    with pytest.raises(TypeError):
        Handle(None)
    with pytest.raises(TypeError):
        Handle(lambda f, t: True, event=5)


def test_a_closed_handle_raises_and_close_is_idempotent():
    d = Double()
    with d.handle as h:
        h.target_connect()
    h.close()
    assert h.closed
    calls = [lambda: h.target_connect(), lambda: h.feed(b""), lambda: h.last_error(),
             lambda: h.get_writer_info(), lambda: h.target_read(0, 4),
             lambda: h.set_encrypt_key_iv(None, None), lambda: h.read_memory(0, 4)]
    for call in calls:
        with pytest.raises(HandleClosedError) as e:
            call()
        assert e.value.code == 44
    assert len(d.requests) == 1


def test_close_waits_for_the_running_command():
    d = Double(lambda code, p: None)
    result = []

    def run() -> None:
        try:
            d.handle.target_erase(400)
        except KelvraError as e:
            result.append(e)

    t = threading.Thread(target=run)
    t.start()
    while not d.requests:
        time.sleep(0.005)
    d.handle.close()  # returns once the erase has timed out
    assert result and result[0].code == 13
    t.join()


def test_callbacks_cannot_close_or_reenter_their_handle():
    d = Double()
    d.answer = lambda code, p: d.handle.close()
    with pytest.raises(KelvraPortError) as e:
        d.handle.target_connect()
    assert isinstance(e.value.__cause__, RuntimeError)
    d.answer = lambda code, p: d.handle.target_status() if code == 100 else frame(ACK)
    with pytest.raises(KelvraPortError) as e:
        d.handle.target_connect()
    assert isinstance(e.value.__cause__, RuntimeError)
    d.answer = lambda code, p: frame(ACK)
    with pytest.raises(ZeroDivisionError):
        d.handle.project_load("a", "", bytes(600), progress=lambda total, done: 1 / 0)
    assert d.requests[-1][0] == 203  # the load itself went on to the end
    d.handle.close()


def test_commands_from_two_threads_take_turns():
    def answer(code: int, p: bytes) -> bytes:
        address = struct.unpack_from("<I", p)[0]
        return frame(105, struct.pack("<II", address, 4) + struct.pack("<I", address).ljust(256, b"\0"))

    d = Double(answer)
    failures = []

    def reader(base: int) -> None:
        for i in range(200):
            block = d.handle.target_read(base + 4 * i, 4)
            if block.data != struct.pack("<I", base + 4 * i):
                failures.append(i)

    threads = [threading.Thread(target=reader, args=(base,)) for base in (0x1000, 0x9000)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    d.handle.close()


def test_versions_agree():
    assert kelvra_at.version() == 0x10000
    cmake = (SOURCE / "CMakeLists.txt").read_text()
    pyproject = (SOURCE / "python" / "pyproject.toml").read_text()
    assert f"project(kelvra VERSION {kelvra_at.__version__}" in cmake
    assert f'version = "{kelvra_at.__version__}"' in pyproject


def _where(env: dict, cwd: str = None) -> subprocess.CompletedProcess:
    code = "import kelvra_at; kelvra_at.version(); print(kelvra_at.library_path())"
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True,
                          text=True, timeout=60)


def test_the_library_is_found_by_variable_next_to_the_package_or_by_the_loader(tmp_path):
    import os
    import shutil
    lib = os.environ["KELVRA_AT_LIBRARY"]
    # The variable: a file or its folder; a wrong path is an error, not a fall-back.
    assert _where(child_env(KELVRA_AT_LIBRARY=lib)).stdout.strip() == lib
    folder = str(tmp_path / "libdir")
    os.mkdir(folder)
    shutil.copy(lib, folder)
    assert _where(child_env(KELVRA_AT_LIBRARY=folder)).stdout.strip().startswith(folder)
    bad = _where(child_env(KELVRA_AT_LIBRARY=str(tmp_path / "missing.so")))
    assert bad.returncode != 0 and "LibraryNotFoundError" in bad.stderr
    # Next to the package: a copy of the package with the library in it.
    pkg = tmp_path / "site" / "kelvra_at"
    shutil.copytree(SOURCE / "python" / "kelvra_at", pkg)
    shutil.copy(lib, pkg / "libkelvra_at.so.1")
    env = child_env(PYTHONPATH=str(tmp_path / "site"))
    env.pop("KELVRA_AT_LIBRARY")
    env.pop("LD_LIBRARY_PATH", None)
    assert _where(env).stdout.strip() == str(pkg / "libkelvra_at.so.1")
    # The system loader, by soname.
    env = child_env(LD_LIBRARY_PATH=os.path.dirname(lib))
    env.pop("KELVRA_AT_LIBRARY")
    assert _where(env).stdout.strip() == "libkelvra_at.so.1"
    # Nowhere: a clear error, and only when the library is needed.
    env.pop("LD_LIBRARY_PATH")
    if ctypes.util.find_library("kelvra_at") is None:  # none installed on this machine
        missing = _where(env)
        assert missing.returncode != 0 and "KELVRA_AT_LIBRARY" in missing.stderr
    imported = subprocess.run([sys.executable, "-c", "import kelvra_at"], env=env, timeout=60)
    assert imported.returncode == 0
