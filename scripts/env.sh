#!/usr/bin/env bash
# Prepares everything the build and the tests need and prints the virtual environment's path:
# Debian packages, a free-threaded CPython 3.14, and a venv with the Python tools.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${QUORVELIN_VENV:-$HERE/.venv}

log() { echo "env: $*" >&2; }

. "$HERE/scripts/apt.sh"
ensure_apt_packages libasio-dev libgtest-dev g++ make

PYTHON=$("$HERE/scripts/ensure-python.sh")

python_tools=(pytest pytest-timeout "scikit-build-core>=0.10" cmake ninja)
stamp=$VENV/.quorvelin-tools
if [ ! -x "$VENV/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$PYTHON ${python_tools[*]}" ]; then
    log "creating the virtual environment $VENV"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${python_tools[@]}" >&2
    echo "$PYTHON ${python_tools[*]}" >"$stamp"
fi
echo "$VENV"
