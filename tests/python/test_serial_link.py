"""SerialLink against virtual writers (`kvat sim`): whole sessions on plain and encrypted
links, the writer's faults, a vanished port, and several writers at once."""

from __future__ import annotations

import dataclasses
import threading
import time
import zlib

import pytest

import kelvra_at
from kelvra_at import (KelvraError, KelvraTimeoutError, OfflineState, PortLostError,
                       SerialLink)

BASE = 0x08000000


@pytest.mark.parametrize("encrypt", [False, True], ids=["plain", "encrypted"])
def test_a_whole_session(sim, encrypt):
    (link,) = sim(1, *(["--encrypt"] if encrypt else []))
    progress = []
    with SerialLink(link, encrypt=encrypt) as w:
        assert w.get_writer_info().serial_number == "KVSIM0000"

        config = w.get_writer_config()
        changed = dataclasses.replace(config, vendor="Kelvra", limit_number=1234, buzzer=1)
        w.set_writer_config(changed)
        assert w.get_writer_config() == changed

        with pytest.raises(KelvraError) as e:
            w.target_status()
        assert e.value.code == 9 and "Target not connected" in str(e.value)
        w.target_connect()
        w.target_status()
        assert w.target_get_id().id == bytes([0x10, 0x64, 0x20, 0x41])

        data = bytes((i * 13) & 0xFF for i in range(700))
        w.target_erase_sector(BASE, 4096, 2000)
        w.target_write_prepare(len(data))
        w.write_memory(BASE + 16, data)
        assert w.read_memory(BASE + 16, len(data)) == data
        assert w.target_read(BASE, 8).data == b"\xff" * 8

        w.target_write_vendor_ob(1000)
        assert w.target_read_ob().data == bytes([0xAA, 0x55, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00])
        w.target_reset(3)

        image = bytes(range(256)) * 5 + b"tail"
        w.project_load("line1.pkg", "secret", image, progress=lambda t, d: progress.append(d))
        assert progress == [256, 512, 768, 1024, 1280, 1284]
        assert w.project_info() == kelvra_at.ProjectInfo(True, len(image), zlib.crc32(image))
        w.project_switch(0, "line1.pkg", "secret")
        with pytest.raises(KelvraError) as e:
            w.project_switch(0, "line1.pkg", "wrong")
        assert e.value.code == 46

        w.offline_start()
        states = [w.offline_status() for _ in range(4)]
        assert [s.state for s in states] == [1, 1, 1, OfflineState.FINISHED]
        w.project_disable()
        assert not w.project_info().enabled

        echo = w.broadcast(b"ping", keep_frame=True, wait_answer=True, timeout_ms=500)
        assert echo is not None and echo.data == b"ping"
        assert w.broadcast(b"to the uart") is None
        with pytest.raises(KelvraError) as e:
            w.factory_run_sram_fw(500)
        assert e.value.code == 89  # the virtual writer has no factory test
        w.set_baudrate(921600)
        assert w.get_writer_info().type == "KVR4"


def test_a_custom_key(sim):
    key, iv = bytes(range(16)), bytes(range(100, 116))
    (link,) = sim(1, "--encrypt", "--key", key.hex(), "--iv", iv.hex())
    try:
        kelvra_at.set_encrypt_key_iv(key, iv)
        with SerialLink(link, encrypt=True) as w:
            assert w.get_writer_info().serial_number == "KVSIM0000"
            kelvra_at.set_encrypt_key_iv(None, None)
            with pytest.raises(KelvraTimeoutError):  # the writer cannot read the default key
                w.target_erase(300)
    finally:
        kelvra_at.set_encrypt_key_iv(None, None)


@pytest.mark.parametrize("options, call, code", [
    (["--fault-code", "100", "--fault-nack", "3"], lambda w: w.target_connect(), 3),
    (["--fault-code", "106", "--fault-silent"], lambda w: w.target_erase(300), 13),
    (["--fault-code", "106", "--fault-corrupt-crc"], lambda w: w.target_erase(300), 13),
    (["--fault-split", "5"], lambda w: w.get_writer_info(), None),
    (["--fault-late", "150"], lambda w: w.get_writer_info(), None),
], ids=["nack", "silent", "bad crc", "split answers", "late answers"])
def test_writer_faults(sim, options, call, code):
    (link,) = sim(1, *options)
    with SerialLink(link) as w:
        if code is None:
            assert call(w).serial_number == "KVSIM0000"
            return
        start = time.monotonic()
        with pytest.raises(KelvraError) as e:
            call(w)
        assert e.value.code == code
        assert isinstance(e.value, TimeoutError) == (code == 13)
        assert time.monotonic() - start < 3
        assert w.get_writer_info().serial_number == "KVSIM0000"  # the link still works


def test_a_vanished_port_raises_port_lost(sim):
    (link,) = sim(1, "--fault-disappear-after", "2")
    w = SerialLink(link)
    w.get_writer_info()
    w.target_connect()
    with pytest.raises(PortLostError) as e:  # the writer hangs up on this request
        w.target_erase(500)
    assert isinstance(e.value, ConnectionError) and e.value.code == 38
    assert w.lost
    start = time.monotonic()
    with pytest.raises(PortLostError):
        w.get_writer_info()
    assert time.monotonic() - start < 0.5  # refused at once, no time-out
    w.close()
    w.close()


def test_the_simulator_ending_mid_session(sim):
    (link,) = sim(1)
    w = SerialLink(link)
    w.target_connect()
    sim.stop(sim.processes[-1])
    with pytest.raises(PortLostError):
        w.target_erase(500)
    w.close()


def test_several_writers_on_their_own_threads(sim):
    links = sim(3)
    results = {}

    def session(link: str) -> None:
        with SerialLink(link) as w:
            serial = w.get_writer_info().serial_number
            w.target_connect()
            data = w.read_memory(BASE, 2048)
            results[link] = (serial, data == b"\xff" * 2048)

    threads = [threading.Thread(target=session, args=(link,)) for link in links]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert sorted(results.values()) == [(f"KVSIM000{i}", True) for i in range(3)]
