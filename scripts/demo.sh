#!/usr/bin/env bash
# Builds everything and runs the loopback demo.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=$("$HERE/scripts/install.sh")
cd "$HERE/bench"  # away from the source tree, so the installed package is the one imported
exec "$VENV/bin/python" "$HERE/scripts/demo.py"
