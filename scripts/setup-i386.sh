#!/usr/bin/env bash
# Installs what the 32-bit x86 build (the linux-i386 preset) needs on top of scripts/setup.sh:
# the i386 architecture, the multilib compiler and the :i386 variant of every library we link.
# Idempotent: adds the architecture only when it is missing, runs `apt-get update` once, and
# only when a package is missing.
#
# Then it makes sure 32-bit programs run here (scripts/i386-exec.sh): natively, or through
# qemu's user-mode emulator where the kernel refuses them; it fails with one line otherwise.
#
# PhysFS is the one exception. Debian's libphysfs-dev is not co-installable across
# architectures (installing the :i386 one removes the amd64 one), so we take the i386 runtime
# (libphysfs1:i386) and the architecture-neutral physfs.h of the amd64 development package;
# the preset names the library file itself (PHYSFS_LIBRARY).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/packages.sh

updated=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup-i386: adding the i386 architecture"
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    "${sudo_cmd[@]}" apt-get update -qq
    updated=1
fi

packages=(
    g++-multilib
    libboost-dev:i386 libboost-stacktrace-dev:i386
    libtinyxml-dev:i386 libphysfs1:i386 libncurses-dev:i386
    libgtest-dev:i386 libgmock-dev:i386
)

find_missing "${packages[@]}"
if ((${#missing[@]})); then
    echo "setup-i386: installing ${missing[*]}"
    ((updated)) || "${sudo_cmd[@]}" apt-get update -qq
    install_packages "${missing[@]}"
fi

source scripts/i386-exec.sh
i386_ensure_exec
