#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 interpreter, building one
# into a cache outside the repository when none is on PATH.
set -euo pipefail

VERSION=3.14.7
TARBALL=python3.14_${VERSION}.orig.tar.xz
SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
CACHE=${QUORVELIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelin}
PREFIX=$CACHE/cpython-${VERSION}t
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
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
src_tar=$CACHE/$TARBALL
verify() { echo "$SHA256  $1" | sha256sum -c --status; }

if [ -f "$VENDOR/$TARBALL" ] && verify "$VENDOR/$TARBALL"; then
    src_tar=$VENDOR/$TARBALL
elif ! { [ -f "$src_tar" ] && verify "$src_tar"; }; then
    # Fetch from the pool of the Debian mirror that apt is already configured with.
    mirror=$(grep -rhoE '^(URIs:|deb)[[:space:]]+[^[:space:]]+' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
             | awk '{print $2}' | grep -v -e security -e '\[' | head -n 1)
    [ -n "$mirror" ] || { log "no Debian mirror found in the apt configuration"; exit 1; }
    url=${mirror%/}/pool/main/p/python3.14/$TARBALL
    log "downloading $url"
    command -v curl >/dev/null 2>&1 || { apt-get update -q >&2; apt-get install -y -q curl >&2; }
    curl -fsSL -o "$src_tar.part" "$url"
    mv "$src_tar.part" "$src_tar"
    verify "$src_tar" || { log "checksum mismatch for $src_tar"; rm -f "$src_tar"; exit 1; }
fi

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
