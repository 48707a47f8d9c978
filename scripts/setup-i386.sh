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
    apt_update
    updated=1
fi

packages=(
    g++-multilib
    libboost-dev:i386 libboost-stacktrace-dev:i386
    libtinyxml-dev:i386 libphysfs1:i386 libncurses-dev:i386
    libgtest-dev:i386 libgmock-dev:i386
)

# versions_of <package:arch>: every version the package lists offer, one a line.
versions_of() {
    apt-cache madison "$1" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | sort -u
}

# install_aligned <package>...: installs them. An amd64 and an i386 package of one name must be
# of one version; where the lists offer the two at no common version (the index of one
# architecture newer than the other's, as from a mirror in the middle of its sync), both are
# installed at the newest version they share, a downgrade if need be, and the install is tried
# again.
install_aligned() {
    local pins=() out blocked p v attempt
    for attempt in 1 2 3 4 5; do
        if out=$(DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q \
                --no-install-recommends --allow-downgrades "$@" "${pins[@]}" 2>&1); then
            return 0
        fi
        blocked=$({ grep -oE 'Depends: [^ ]+:i386( \([^)]*\))? but it is not going to be installed' <<<"$out" || true; } |
            awk '{ sub(/:i386$/, "", $2); print $2 }' | sort -u)
        if [[ -z $blocked ]]; then
            break
        fi
        for p in $blocked; do
            v=$(comm -12 <(versions_of "$p:amd64") <(versions_of "$p:i386") | sort -V | tail -n 1)
            if [[ -z $v ]]; then
                echo "setup-i386: the package lists have no version of $p for both amd64 and i386" >&2
                break 2
            fi
            echo "setup-i386: $p for amd64 and i386 at $v, the newest version the lists have for both"
            pins+=("$p:amd64=$v" "$p:i386=$v")
        done
    done
    echo "$out" >&2
    return 1
}

find_missing "${packages[@]}"
if ((${#missing[@]})); then
    echo "setup-i386: installing ${missing[*]}"
    ((updated)) || apt_update
    install_aligned "${missing[@]}"
fi

source scripts/i386-exec.sh
i386_ensure_exec
