# Sourced by the set-up scripts: installs the Debian packages that are missing.

# True when the package is installed: for a plain name the native (or architecture-independent)
# instance, for "name:arch" that architecture's. A plain `dpkg -s` refuses plain names once a
# second architecture of a library is installed beside the native one.
apt_package_installed() {
    local name=${1%%:*} arch=${1#*:}
    [ "$arch" = "$1" ] && arch=$(dpkg --print-architecture)
    dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$name" 2>/dev/null \
        | grep -qE "^($arch|all) installed$"
}

ensure_apt_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        apt_package_installed "$pkg" || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "apt: installing ${missing[*]}" >&2
        apt-get update -q >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
    fi
}

# Prints the Debian mirror this machine's apt already uses for its own release, so no host name
# is ever written into the repository.
debian_mirror() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    apt-get indextargets --no-release-info --format '$(SITE) $(RELEASE)' 2>/dev/null \
        | awk -v codename="$codename" '$2 == codename { print $1; exit }'
}
