#!/usr/bin/env bash
# Prints the prefix of a free-threaded CPython for armhf, cross-built from the checksummed source
# tarball into the cache outside the repository (reused when present).
#   ensure-python.sh <qemu-arm>
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$HERE/scripts/python-source.sh"
. "$HERE/scripts/armhf/common.sh"
QEMU=$1
VENDOR=$HERE/../shared/vendor
PREFIX=$ARMHF_CACHE/cpython-${PYTHON_VERSION}t-armhf

log() { echo "armhf-python: $*" >&2; }

# Cross configure cannot run target programs, so it is told what the target has. Aligned access
# is not required on ARMv7; without saying so configure falls back to the FNV string hash.
CONFIG_SITE_TEXT='ac_cv_file__dev_ptmx=yes
ac_cv_file__dev_ptc=no
ac_cv_buggy_getaddrinfo=no
ac_cv_aligned_required=no'
CONFIGURE_FLAGS=(--host=$ARMHF_TRIPLET --build=x86_64-linux-gnu --disable-gil --enable-shared
                 --without-ensurepip --disable-test-modules)
# pkg-config must describe the armhf libraries only: the native .pc files would announce
# libraries (lzma, ssl, ...) that exist only for the build machine.
PKG_CONFIG_DIRS=/usr/lib/$ARMHF_TRIPLET/pkgconfig:/usr/share/pkgconfig
# The stamp names everything the build depends on; a different recipe rebuilds.
recipe="$PYTHON_SHA256 ${CONFIGURE_FLAGS[*]} $PKG_CONFIG_DIRS $(echo "$CONFIG_SITE_TEXT" | tr '\n' ' ')"
stamp=$PREFIX/.quorvelin-recipe

# One build at a time per cache; a second run waits and then finds the first one's result.
mkdir -p "$ARMHF_CACHE"
exec 9>"$PREFIX.lock"
flock 9

if [ -x "$PREFIX/bin/python3.14t" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$recipe" ]; then
    echo "$PREFIX"
    exit 0
fi

# The build interpreter must be the same version, running natively.
build_python=$("$HERE/scripts/ensure-python.sh")
src_tar=$(python_source_tarball "$VENDOR" "$ARMHF_CACHE")

work=$(mktemp -d "$ARMHF_CACHE/build-armhf.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "cross-building free-threaded CPython $PYTHON_VERSION for armhf into $PREFIX (takes a few minutes)"
tar -xf "$src_tar" -C "$work"
echo "$CONFIG_SITE_TEXT" >"$work/config.site"
rm -rf "$PREFIX"  # the prefix is compiled in, so the build installs in place; the stamp comes last
cd "$work/Python-$PYTHON_VERSION"
CONFIG_SITE=$work/config.site PKG_CONFIG_LIBDIR=$PKG_CONFIG_DIRS PKG_CONFIG_PATH= \
    ./configure --prefix="$PREFIX" "${CONFIGURE_FLAGS[@]}" --with-build-python="$build_python" \
    LDFLAGS="-Wl,-rpath,$PREFIX/lib" >"$work/configure.log" 2>&1 \
    || { tail -n 40 "$work/configure.log" >&2; exit 1; }
make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }

"$QEMU" "$PREFIX/bin/python3.14t" -c '
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled(), "not free-threaded"
assert sys.maxsize == 2**31 - 1, sys.maxsize
' || { log "the built interpreter does not run as a 32-bit free-threaded Python"; exit 1; }
echo "$recipe" >"$stamp"
echo "$PREFIX"
