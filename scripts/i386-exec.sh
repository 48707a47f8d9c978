#!/usr/bin/env bash
# Makes sure this machine can run 32-bit x86 programs, which the linux-i386 suite needs: its
# test discovery and its tests run the programs it builds. Sourced by scripts/setup-i386.sh
# after the multilib compiler is installed; run on its own it only probes.
#
# Some kernels run them natively, some refuse every 32-bit executable ("Exec format error").
# On the second kind we let qemu's user-mode emulator run them: one binfmt_misc entry,
# `qemu-i386`, for 32-bit x86 ELF executables and shared objects, with the fix-binary flag so
# that the emulator is found in any mount namespace and children of emulated programs are
# emulated too. Nothing else of the machine is touched, and a second run finds the entry and
# does nothing. Undo with:  echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
set -euo pipefail

binfmt_dir=/proc/sys/fs/binfmt_misc
entry_name=qemu-i386
emulator=/usr/bin/qemu-i386-static
# ELF, class 1 (32-bit), little-endian, version 1, then e_type 2 or 3 (the mask's 0xfe lets
# both through: executables and position-independent executables), e_machine 3 (x86). The
# same magic and mask qemu's own registration script uses for i386.
entry_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
entry_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

i386_fail() {
    echo "setup-i386: cannot run 32-bit x86 programs on this machine: $*" >&2
    exit 1
}

# Builds a minimal dynamically linked 32-bit program once, like every program of the suite.
i386_build_probe() {
    [[ -n ${i386_probe_dir:-} ]] && return 0
    i386_probe_dir=$(mktemp -d)
    trap 'rm -rf "$i386_probe_dir"' EXIT
    printf 'int main(void) { return 0; }\n' >"$i386_probe_dir/probe.c"
    gcc -m32 -o "$i386_probe_dir/probe" "$i386_probe_dir/probe.c" ||
        i386_fail "the 32-bit compiler cannot build a minimal program (is g++-multilib installed?)"
}

# Runs the probe; on failure leaves the shell's or the kernel's answer in i386_probe_error.
i386_runs() {
    local status=0
    i386_build_probe
    i386_probe_error=$("$i386_probe_dir/probe" 2>&1) || status=$?
    ((status == 0)) && return 0
    i386_probe_error="${i386_probe_error:+$i386_probe_error, }exit status $status"
    i386_probe_error=${i386_probe_error##*: cannot execute binary file: }
    return 1
}

i386_entry_state() {
    if [[ ! -e $binfmt_dir/$entry_name ]]; then
        echo absent
    elif head -n 1 "$binfmt_dir/$entry_name" | grep -qx enabled; then
        echo enabled
    else
        echo disabled
    fi
}

# Needs scripts/packages.sh sourced first (sudo_cmd, install_packages), as setup-i386.sh does.
i386_register_emulator() {
    if [[ ! -x $emulator ]]; then
        echo "setup-i386: installing qemu-user-static"
        install_packages qemu-user-static
    fi
    if [[ ! -e $binfmt_dir/register ]]; then
        "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "$binfmt_dir" ||
            i386_fail "binfmt_misc is not mounted and cannot be mounted at $binfmt_dir"
    fi
    case $(i386_entry_state) in
    absent)
        echo "setup-i386: registering $emulator for 32-bit x86 programs ($binfmt_dir/$entry_name)"
        printf ':%s:M::%s:%s:%s:F\n' "$entry_name" "$entry_magic" "$entry_mask" "$emulator" |
            "${sudo_cmd[@]}" tee "$binfmt_dir/register" >/dev/null ||
            i386_fail "the kernel refused the binfmt_misc registration of $emulator"
        ;;
    disabled)
        i386_fail "the binfmt_misc entry $binfmt_dir/$entry_name is disabled;" \
            "enable it with: echo 1 > $binfmt_dir/$entry_name"
        ;;
    enabled) ;; # registered by an earlier run, yet the probe failed: reported below
    esac
}

# The probe, the emulator when the kernel refuses, and the probe again.
i386_ensure_exec() {
    if i386_runs; then
        if [[ $(i386_entry_state 2>/dev/null) == enabled ]]; then
            echo "setup-i386: 32-bit x86 programs run, through $binfmt_dir/$entry_name"
        else
            echo "setup-i386: 32-bit x86 programs run natively"
        fi
        return 0
    fi
    echo "setup-i386: the kernel refuses 32-bit x86 programs ($i386_probe_error)"
    i386_register_emulator
    i386_runs || i386_fail "$i386_probe_error (even through $binfmt_dir/$entry_name)"
    echo "setup-i386: 32-bit x86 programs run, through $binfmt_dir/$entry_name"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    i386_runs || i386_fail "$i386_probe_error"
    echo "setup-i386: 32-bit x86 programs run"
fi
