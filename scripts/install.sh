#!/usr/bin/env bash
# Builds the package and installs it into the virtual environment, as users install it.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=$("$HERE/scripts/env.sh")
export PATH=$VENV/bin:$PATH
if [ "${CI:-}" = "true" ]; then
    export CMAKE_ARGS="${CMAKE_ARGS:-} -DQUORVELIN_WERROR=ON"
fi
echo "install: building and installing quorvelin" >&2
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$HERE" >&2
echo "$VENV"
