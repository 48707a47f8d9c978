#!/usr/bin/env bash
# Builds examples/ as a project of its own against an installed SDK and runs the example host
# (the minimap module and the marker_printer plug-in) against the SDK's game-server simulator
# until the answer to the printer's NPC query, then checks what the printer printed.
#
#   example_test.sh PREFIX EXAMPLES_SOURCE WORK_DIR -- <extra cmake configure arguments>
#
# The run is bounded twice: the host stops itself after --timeout-ms, and ctest's timeout
# stops the whole script.
source "$(dirname "$0")/sdk_lib.sh"

cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" "${cmake_args[@]}" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

# The pkg-config files alone are enough to build and run a program against the SDK, with the
# compiler and flags the examples were configured with.
cache=$work/build/CMakeCache.txt
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")
read -r -a cxx_flags <<<"$(sed -n 's/^CMAKE_CXX_FLAGS:[A-Z]*=//p' "$cache")"
pkg_config_words pc_flags --cflags --libs pyr-minimap
script_dir=$(cd "$(dirname "$0")" && pwd)
"$cxx" "${cxx_flags[@]}" -std=c++20 "$script_dir/pkgconfig_probe.cpp" "${pc_flags[@]}" \
    -o "$work/pkgconfig-probe" >"$work/probe.log" 2>&1 || { cat "$work/probe.log"; exit 1; }
"$work/pkgconfig-probe"

trap stop_server EXIT
start_server

# A poll every 50 ms instead of every 5 s; the sample string tables as configuration.
status=0
PLINTH_TIMER_SCALE=0.01 PLINTH_CONFIG_DIR="$prefix/share/PyrMiniMap" \
    "$work/build/minimap-example-host" --server "127.0.0.1:$port" --until-query \
    --timeout-ms 30000 >"$work/host.out" 2>"$work/host.err" || status=$?
stop_server

failures=()
expect() {
    grep -Eq -- "$1" "$work/host.out" || failures+=("no line matching: $1")
}
[[ $status -eq 0 ]] || failures+=("the example host exited with $status")
expect '^example-host: connected to 127\.0\.0\.1:'
expect '^marker_printer: subscribed to the minimap; polling on$'
expect '^MarkersChanged: ([1-9][0-9]* players, [0-9]+|[0-9]+ players, [1-9][0-9]*) NPCs$'
expect '^  npc 101 "Elder Wen" at \(50\.0, 50\.0\) kind 1 quest 42$'
expect '^marker_printer: asked for every NPC: sent$'
expect '^QueryFinished: [1-9][0-9]* NPCs$'
expect '^example-host: stopped after [1-9][0-9]* messages$'
# The query's answer comes after the question, and the host stops after the answer.
if ! awk '/^marker_printer: asked for every NPC/ {asked = NR}
          /^QueryFinished:/ && asked && !answered {answered = NR}
          /^example-host: stopped/ {stopped = NR}
          END {exit !(asked && answered > asked && stopped > answered)}' "$work/host.out"; then
    failures+=("the question, the answer and the stop are not in that order")
fi

if ((${#failures[@]})); then
    printf '%s\n' "${failures[@]}"
    echo "---- example host output"; cat "$work/host.out"
    echo "---- example host errors"; cat "$work/host.err"
    exit 1
fi
echo "the example plug-in printed the markers and the query answer; the host stopped cleanly"
