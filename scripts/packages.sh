# Sourced by the setup scripts: Debian packages installed only when missing.

# How to run a command as root: through sudo unless we are root already.
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi

# find_missing <package>...: sets the array `missing` to the packages dpkg has not installed.
find_missing() {
    missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
}

# install_packages <package>...: installs them without questions or recommended packages.
install_packages() {
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@"
}

# apt_update: apt-get update, tried twice. A mirror caught in the middle of its sync serves an
# index that does not match its release file ("File has unexpected size"); apt then keeps the
# lists it could read, and the install that follows says what it cannot find.
apt_update() {
    "${sudo_cmd[@]}" apt-get update -qq && return 0
    echo "setup: apt-get update failed; trying once more" >&2
    "${sudo_cmd[@]}" apt-get update -qq && return 0
    echo "setup: going on with the package lists apt could read" >&2
}
