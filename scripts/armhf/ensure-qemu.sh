#!/usr/bin/env bash
# Prints the path of a qemu-arm user-mode emulator that translates the termios2 ioctls
# (TCGETS2 and friends, needed for arbitrary baud rates): 10.0.8 or newer. Debian 12's own
# emulator is too old, so the statically linked one of the next Debian release is downloaded
# with a private apt configuration and unpacked into the cache, without installing it.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$HERE/scripts/apt.sh"
. "$HERE/scripts/armhf/common.sh"

SUITE=trixie
MINIMUM=10.0.8

log() { echo "ensure-qemu: $*" >&2; }

version_of() { "$1" --version 2>/dev/null | sed -n 's/^qemu-arm version \([0-9.]*\).*/\1/p'; }
new_enough() {
    local version
    version=$(version_of "$1")
    [ -n "$version" ] && [ "$(printf '%s\n%s\n' "$MINIMUM" "$version" | sort -V | head -n 1)" = "$MINIMUM" ]
}

mkdir -p "$ARMHF_CACHE"
exec 9>"$ARMHF_CACHE/qemu-user.lock"
flock 9

# Reuse the newest unpacked emulator in the cache.
for candidate in $(ls -d "$ARMHF_CACHE"/qemu-user-*/usr/bin/qemu-arm 2>/dev/null | sort -V -r); do
    if new_enough "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done

mirror=$(debian_mirror)
[ -n "$mirror" ] || { log "no Debian mirror found in the apt configuration"; exit 1; }

download=$(mktemp -d "$ARMHF_CACHE/qemu-download.XXXXXX")
trap 'rm -rf "$download"' EXIT
apt_dir=$download/apt
native_arch=$(dpkg --print-architecture)
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache" "$apt_dir/archives/partial" "$apt_dir/sources.list.d" \
    "$apt_dir/preferences.d"
echo "deb [arch=$native_arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $SUITE main" \
    >"$apt_dir/sources.list"
: >"$apt_dir/status"
apt_options=(
    -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
    -o Dir::Etc::Preferences="$apt_dir/preferences" -o Dir::Etc::PreferencesParts="$apt_dir/preferences.d"
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::Status="$apt_dir/status"
    -o Dir::Cache="$apt_dir/cache" -o Dir::Cache::Archives="$apt_dir/archives"
    -o APT::Architectures::="$native_arch" -o Acquire::Languages=none -o APT::Sandbox::User=root
)
log "reading the $SUITE package index from $mirror"
apt-get -q "${apt_options[@]}" update >&2

# apt checks the package against the signed index before it keeps it.
(cd "$download" && apt-get -q "${apt_options[@]}" download qemu-user >&2)
deb=$(ls "$download"/qemu-user_*.deb)
version=$(dpkg-deb -f "$deb" Version)
dest=$ARMHF_CACHE/qemu-user-${version//:/_}
log "unpacking qemu-user $version into $dest"
rm -rf "$dest.part"
dpkg-deb -x "$deb" "$download/unpacked"
# Only the 32-bit ARM emulator is needed; the package holds one for every architecture.
mkdir -p "$dest.part/usr/bin"
mv "$download/unpacked/usr/bin/qemu-arm" "$dest.part/usr/bin/"
new_enough "$dest.part/usr/bin/qemu-arm" || { log "qemu-user $version does not run or is older than $MINIMUM"; exit 1; }
rm -rf "$dest"
mv "$dest.part" "$dest"
echo "$dest/usr/bin/qemu-arm"
