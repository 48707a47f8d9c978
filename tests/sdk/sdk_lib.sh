# Sourced by the sdk test scripts, with their arguments:
#
#   source sdk_lib.sh PREFIX SOURCE_DIR WORK_DIR -- <extra cmake configure arguments>
#
# sets prefix, libdir, source_dir, work (emptied) and cmake_args, and gives start_server and
# stop_server, the SDK's game-server simulator on a free loopback port, and stop_process.
set -euo pipefail

prefix=$1
# The build's library folder inside the prefix (lib/x86_64-linux-gnu in a build for /usr).
libdir="$prefix/${PYR_SDK_LIBDIR:-lib}"
source_dir=$2
work=$3
shift 3
[[ ${1:-} == -- ]] && shift
cmake_args=("$@")

rm -rf "$work"
mkdir -p "$work"

# Puts into the array named $1 the words of pkg-config's answer (the other arguments) for the
# prefix's packages, split as a shell splits them: pkg-config escapes a space inside a path
# ("\ "), so a prefix with spaces stays one word only when the answer is read this way.
pkg_config_words() {
    local -n words=$1
    shift
    local answer
    answer=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config "$@")
    eval "words=($answer)"
}

# Stops the process whose id the variable named $1 holds, if it holds one, and empties it.
stop_process() {
    local -n stopped_pid=$1
    if [[ -n $stopped_pid ]]; then
        kill -TERM "$stopped_pid" 2>/dev/null || true
        wait "$stopped_pid" 2>/dev/null || true
        stopped_pid=
    fi
}

server_pid=
stop_server() {
    stop_process server_pid
}

# Starts minimap-server with the given options; sets port from its first line, which says
# where it listens.
start_server() {
    coproc SERVER { exec "$prefix/bin/minimap-server" --port 0 "$@" 2>"$work/server.err"; }
    server_pid=$SERVER_PID
    local line=
    if ! read -r -t 30 -u "${SERVER[0]}" line ||
        [[ ! $line =~ listening\ on\ [^:]*:([0-9]+) ]]; then
        echo "minimap-server did not start: $line"
        cat "$work/server.err"
        exit 1
    fi
    port=${BASH_REMATCH[1]}
}
