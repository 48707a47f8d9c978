#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Idempotent: runs `apt-get update` once, and only when a package is missing.
set -euo pipefail

packages=(
    g++ cmake ninja-build make ccache pkg-config
    libboost-dev libboost-stacktrace-dev libboost-system-dev
    libtinyxml-dev libphysfs-dev libncurses-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    zip unzip
    python3 python3-jsonschema
    libcli11-dev tshark
    clang libclang-rt-14-dev
    chromium chromium-driver fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    # tshark asks whether ordinary users may capture; nobody is there to answer.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        "${sudo_cmd[@]}" debconf-set-selections
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
