"""`pip install ./python` into a virtual environment, offline, and the installed package at
work on a virtual writer, away from the source tree."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

from conftest import SOURCE


def test_pip_install_into_a_venv(sim, tmp_path):
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                          capture_output=True, text=True, timeout=120)
    assert made.returncode == 0, "python3 -m venv failed (python3-venv missing?): " + made.stderr
    # A copy, so the build leaves nothing behind in the source tree.
    source = tmp_path / "src"
    shutil.copytree(SOURCE / "python", source, ignore=shutil.ignore_patterns("__pycache__"))
    python = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PIP_INDEX_URL")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    pip = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation",
                          "--no-index", str(source)], env=env, capture_output=True, text=True,
                         timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr

    link, = sim(1)
    where = subprocess.run([str(python), "-c", "import kelvra_at; print(kelvra_at.__file__)"],
                           env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert where.stdout.startswith(str(venv)), where.stdout + where.stderr
    info = subprocess.run([str(python), "-m", "kelvra_at", "info", link], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert info.returncode == 0 and "KVSIM0000" in info.stdout, info.stderr
    script = subprocess.run([str(venv / "bin" / "kelvra-at"), "--version"], env=env,
                            capture_output=True, text=True, timeout=60)
    assert script.returncode == 0 and "binding 1.0.0" in script.stdout, script.stderr
    typed = subprocess.run([str(python), "-c", "import kelvra_at, pathlib; print((pathlib.Path("
                            "kelvra_at.__file__).parent / 'py.typed').exists())"],
                           env=env, capture_output=True, text=True, timeout=60)
    assert typed.stdout.strip() == "True"
