"""Shared fixtures: the binding from the source tree, the built library and kvat, and virtual
writers started with `kvat sim`.

CTest sets KELVRA_AT_LIBRARY, KVAT and CC; run by hand from the source folder after a build:
    KELVRA_AT_LIBRARY=build/lib/libkelvra_at.so.1 KVAT=build/cli/kvat python3 -m pytest tests/python
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, List

import pytest

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "python"))
os.environ.setdefault("KELVRA_AT_LIBRARY", str(SOURCE / "build" / "lib" / "libkelvra_at.so.1"))
KVAT = os.environ.get("KVAT", str(SOURCE / "build" / "cli" / "kvat"))


class Simulators:
    """sim(count=1, *options) starts `kvat sim` and returns the writers' link paths;
    `processes` are the simulators started so far."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.processes: List[subprocess.Popen] = []

    def __call__(self, count: int = 1, *options: str) -> List[str]:
        n = len(self.processes)
        links_dir = self.folder / f"writers{n}"
        log = open(self.folder / f"sim{n}.log", "w+")
        proc = subprocess.Popen([KVAT, "sim", "--count", str(count), "--link-dir",
                                 str(links_dir), *options], stdout=log, stderr=subprocess.STDOUT)
        self.processes.append(proc)
        links = [links_dir / f"ttyKV{i}" for i in range(count)]
        deadline = time.monotonic() + 10
        while not all(link.exists() for link in links):
            if proc.poll() is not None:
                log.seek(0)
                pytest.fail(f"kvat sim ended with {proc.returncode}: {log.read()}")
            if time.monotonic() > deadline:
                pytest.fail("kvat sim made no links within 10 s")
            time.sleep(0.02)
        return [str(link) for link in links]

    def stop(self, proc: subprocess.Popen) -> None:
        """SIGTERM; the simulator must exit."""
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            pytest.fail("kvat sim did not stop on SIGTERM")


@pytest.fixture
def sim(tmp_path: Path) -> Iterator[Simulators]:
    sims = Simulators(tmp_path)
    yield sims
    for proc in sims.processes:
        sims.stop(proc)


def child_env(**extra: str) -> dict:
    """The environment for a child Python that imports the binding from the source tree."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(SOURCE / "python")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env
