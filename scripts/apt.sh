# Sourced by the set-up scripts: installs the Debian packages that are missing.
ensure_apt_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "apt: installing ${missing[*]}" >&2
        apt-get update -q >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
    fi
}
