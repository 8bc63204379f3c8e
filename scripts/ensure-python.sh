#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 interpreter, building one
# into a cache outside the repository when none is on PATH.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$HERE/scripts/python-source.sh"
VERSION=$PYTHON_VERSION
CACHE=${QUORVELIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelin}
PREFIX=$CACHE/cpython-${VERSION}t
VENDOR=$HERE/../shared/vendor

log() { echo "ensure-python: $*" >&2; }

is_free_threaded() {
    "$1" -c 'import sys, sysconfig; sys.exit(0 if sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null
}

# A virtual environment's interpreter is not one to build venvs from: env.sh would replace the
# very venv it lives in.
is_base_interpreter() {
    "$1" -c 'import sys; sys.exit(0 if sys.prefix == sys.base_prefix else 1)' 2>/dev/null
}

if command -v python3.14t >/dev/null 2>&1 && is_free_threaded "$(command -v python3.14t)" \
    && is_base_interpreter "$(command -v python3.14t)"; then
    command -v python3.14t
    exit 0
fi
if [ -x "$PREFIX/bin/python3.14t" ] && is_free_threaded "$PREFIX/bin/python3.14t"; then
    echo "$PREFIX/bin/python3.14t"
    exit 0
fi

# Build dependencies come from Debian's packages.
. "$HERE/scripts/apt.sh"
ensure_apt_packages build-essential pkg-config xz-utils libssl-dev zlib1g-dev libbz2-dev libreadline-dev \
    libsqlite3-dev libffi-dev liblzma-dev uuid-dev libncurses-dev libgdbm-dev

mkdir -p "$CACHE"
src_tar=$(python_source_tarball "$VENDOR" "$CACHE")

work=$(mktemp -d "$CACHE/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building free-threaded CPython $VERSION into $PREFIX (takes a few minutes)"
tar -xf "$src_tar" -C "$work"
cd "$work"/Python-$VERSION
./configure --prefix="$PREFIX" --disable-gil --enable-shared --with-ensurepip=install \
    LDFLAGS="-Wl,-rpath,$PREFIX/lib" >"$work/configure.log" 2>&1 \
    || { tail -n 40 "$work/configure.log" >&2; exit 1; }
make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
is_free_threaded "$PREFIX/bin/python3.14t" || { log "built interpreter is not free-threaded"; exit 1; }
echo "$PREFIX/bin/python3.14t"
