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

source "$(dirname "$0")/packages.sh"
find_missing "${packages[@]}"
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    apt_update
    # tshark asks whether ordinary users may capture; nobody is there to answer.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        "${sudo_cmd[@]}" debconf-set-selections
    install_packages "${missing[@]}"
fi
