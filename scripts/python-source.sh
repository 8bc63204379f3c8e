# Sourced by the interpreter build scripts: the pinned CPython source and how to get it.
. "$(dirname "${BASH_SOURCE[0]}")/apt.sh"
PYTHON_VERSION=3.14.7
PYTHON_TARBALL=python3.14_${PYTHON_VERSION}.orig.tar.xz
PYTHON_SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81

# Prints the path of the checksummed source tarball: the vendored copy, the cached download, or
# a fresh download from the pool of the Debian mirror that apt is already configured with.
#   python_source_tarball <vendor dir> <cache dir>
python_source_tarball() {
    local vendor=$1 cache=$2 cached mirror url
    cached=$cache/$PYTHON_TARBALL
    if [ -f "$vendor/$PYTHON_TARBALL" ] && python_source_verify "$vendor/$PYTHON_TARBALL"; then
        echo "$vendor/$PYTHON_TARBALL"
        return 0
    fi
    if [ -f "$cached" ] && python_source_verify "$cached"; then
        echo "$cached"
        return 0
    fi
    mirror=$(debian_mirror)
    [ -n "$mirror" ] || { echo "no Debian mirror found in the apt configuration" >&2; return 1; }
    url=${mirror%/}/pool/main/p/python3.14/$PYTHON_TARBALL
    echo "downloading $url" >&2
    command -v curl >/dev/null 2>&1 || { apt-get update -q >&2; apt-get install -y -q curl >&2; }
    mkdir -p "$cache"
    curl -fsSL -o "$cached.part" "$url"
    mv "$cached.part" "$cached"
    python_source_verify "$cached" || { echo "checksum mismatch for $cached" >&2; rm -f "$cached"; return 1; }
    echo "$cached"
}

python_source_verify() { echo "$PYTHON_SHA256  $1" | sha256sum -c --status; }
