#!/usr/bin/env bash
# run_pytest.sh PYTEST_ARGS... : runs the binding's tests with a Python that has pytest and
# pyserial: Debian's python3 first, since a pyenv or venv python3 earlier on the PATH may lack
# them.
set -euo pipefail
for py in /usr/bin/python3 python3; do
  if command -v "$py" >/dev/null && "$py" -c 'import pytest, serial' 2>/dev/null; then
    exec "$py" -m pytest -p no:cacheprovider "$@"
  fi
done
echo "no python3 with pytest and pyserial: apt-get install python3-pytest python3-serial" \
  "(bash scripts/install-deps.sh)" >&2
exit 1
