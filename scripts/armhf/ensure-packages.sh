#!/usr/bin/env bash
# Installs the cross toolchain and the armhf libraries the build links against, from the
# machine's own Debian release (multiarch: the armhf packages sit beside the native ones).
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$HERE/scripts/apt.sh"

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "armhf: adding the armhf architecture to dpkg" >&2
    dpkg --add-architecture armhf
fi
# Multi-Arch pairs must have equal versions, so this may bring a few native libraries up to the
# current point release.
ensure_apt_packages crossbuild-essential-armhf pkg-config libasio-dev \
    libc6:armhf libstdc++6:armhf zlib1g-dev:armhf libffi-dev:armhf libgtest-dev:armhf
