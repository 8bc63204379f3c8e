#!/usr/bin/env bash
# Puts pytest and pytest-timeout, at the versions the native environment uses, into the armhf
# interpreter's site-packages. The emulated side never goes to the network: the host's pip
# fetches the wheels, which are pure Python and so the same for every architecture.
#   install-test-tools.sh <native venv> <armhf prefix>
set -euo pipefail
VENV=$1
PREFIX=$2
SITE=$PREFIX/lib/python3.14t/site-packages

pins=$("$VENV/bin/python" -c '
from importlib.metadata import version
print(" ".join(f"{name}=={version(name)}" for name in ("pytest", "pytest-timeout")))')
stamp=$SITE/.quorvelin-test-tools
if [ "$(cat "$stamp" 2>/dev/null)" = "$pins" ]; then
    exit 0
fi

echo "armhf: installing $pins for the armhf interpreter" >&2
wheels=$(mktemp -d)
trap 'rm -rf "$wheels"' EXIT
"$VENV/bin/python" -m pip download -q --disable-pip-version-check --only-binary=:all: --dest "$wheels" $pins >&2
for wheel in "$wheels"/*.whl; do
    case "$wheel" in
        *-none-any.whl) ;;
        *) echo "armhf: $(basename "$wheel") is not pure Python; it cannot serve the armhf interpreter" >&2; exit 1 ;;
    esac
done
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-index --find-links "$wheels" \
    --upgrade --target "$SITE" $pins >&2
echo "$pins" >"$stamp"
