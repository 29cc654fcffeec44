"""`python3 -m kelvra_at` and the README's example, run as a user runs them."""

from __future__ import annotations

import json
import re
import subprocess
import sys

import pytest

from conftest import SOURCE, child_env


def run(*args: str, **env: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "kelvra_at", *args], env=child_env(**env),
                          capture_output=True, text=True, timeout=60)


def test_info_prints_the_writer(sim):
    plain, = sim(1)
    encrypted, = sim(1, "--encrypt", "--serial-prefix", "ENC")
    out = run("info", plain)
    assert out.returncode == 0, out.stderr
    assert re.search(r"^serial number +KVSIM0000$", out.stdout, re.M)
    assert re.search(r"^type +KVR4$", out.stdout, re.M)
    out = run("info", encrypted, "--encrypt", "--json")
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)["serial_number"] == "ENC0000"


@pytest.mark.parametrize("args, sim_options, status, words", [
    (["info", "/nonexistent/ttyKV9"], None, 3, ["cannot open"]),
    (["info", "{link}"], ["--fault-code", "1", "--fault-nack", "3"], 1,
     ["Is busy", "result code 3"]),
    (["info"], None, 2, ["device"]),
    (["info", "{link}", "--key", "00" * 16], None, 2, ["--key and --iv"]),
    (["info", "{link}", "--key", "xyz", "--iv", "00" * 16], None, 2, ["hex digits"]),
], ids=["no such device", "writer refuses", "no device", "key without iv", "bad key"])
def test_info_failures(sim, args, sim_options, status, words):
    link = sim(1, *sim_options)[0] if sim_options is not None else "/dev/null"
    out = run(*[a.format(link=link) for a in args])
    assert out.returncode == status, out.stderr
    for word in words:
        assert word in out.stderr
    assert "Traceback" not in out.stderr


def test_version_and_a_missing_library():
    out = run("--version")
    assert out.returncode == 0 and "library 1.0.0" in out.stdout
    out = run("--version", KELVRA_AT_LIBRARY="/nonexistent/libkelvra_at.so.1")
    assert out.returncode == 4 and "KELVRA_AT_LIBRARY" in out.stderr


def test_the_readme_example_runs(sim):
    text = (SOURCE / "python" / "README.md").read_text()
    block = re.search(r"<!-- example.*?-->\n```python\n(.*?)```", text, re.S).group(1)
    assert len(block.strip().splitlines()) == 5
    link, = sim(1)
    code = re.sub(r'"/dev/[^"]+"', repr(link), block)
    out = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["KVSIM0000", "ff" * 16]
