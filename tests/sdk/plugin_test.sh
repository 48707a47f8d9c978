#!/usr/bin/env bash
# A plug-in author's path through an installed SDK. First, the installed pyr-strtable reads a
# packed archive through the prefix's libSatchel.so, and the prefix's sample tables. Then the
# test plug-in (csv_plugin/) is built out of tree with the CMake package, with pkg-config alone
# and, when PYR_PLUGIN_TEST_CLANG names clang++, with that and the CMake package (and entry
# points of the wrong type are refused by the compiler); each build, and the installed minimap
# module, exports exactly the four entry points and no STB_GNU_UNIQUE symbol. Then
# minimap-client, run from the prefix against the prefix's minimap-server on loopback, loads
# the first from a plug-in folder and the others with --plugin, names one that cannot load and
# goes on, and refuses the folder's one named again by another path; the CSV files each wrote
# are checked against the scenario, and the element name the client printed for each answer,
# read from the prefix's sample string tables.
#
# The installed programs run as a user runs them, without PLINTH_CONFIG_DIR: they find the
# sample tables in <prefix>/share/PyrMiniMap by themselves.
#
#   plugin_test.sh PREFIX PLUGIN_SOURCE WORK_DIR -- <extra cmake configure arguments>
#
# Every wait is bounded: reads from the programs time out, ctest's timeout stops the script.
source "$(dirname "$0")/sdk_lib.sh"
unset PLINTH_CONFIG_DIR
mkdir -p "$work/plugins" "$work/csv"
failures=()

# ---- An installed program finds the library it loads at run time ----------------------------
# No string table on the file system: only the archive can answer.
mkdir -p "$work/no-config"
"$prefix/bin/pyr-strtable" pack "$prefix/share/PyrMiniMap" "$work/tables.zip" >/dev/null
wood=$(cd "$work/no-config" && SATCHEL_ARCHIVE="$work/tables.zip" \
    PLINTH_CONFIG_DIR="$work/no-config" "$prefix/bin/pyr-strtable" lookup common \
    FiveElements_Wood 2>&1) || true
[[ $wood == $'\xe6\x9c\xa8' ]] || failures+=("installed pyr-strtable did not read the archive: $wood")
wood=$(cd "$work" && "$prefix/bin/pyr-strtable" lookup common FiveElements_Wood 2>&1) || true
[[ $wood == $'\xe6\x9c\xa8' ]] ||
    failures+=("installed pyr-strtable did not find the prefix's sample tables: $wood")

# ---- Build with the CMake package ----------------------------------------------------------
cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" "${cmake_args[@]}" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
cp "$work/build/libcsv_plugin.so" "$work/plugins/"

# ---- Build with pkg-config alone, with the compiler and flags of the build above ----------
cache=$work/build/CMakeCache.txt
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")
read -r -a cxx_flags <<<"$(sed -n 's/^CMAKE_CXX_FLAGS:[A-Z]*=//p' "$cache")"
pkg_config_words pc_flags --cflags --libs pyr-minimap-plugin
"$cxx" "${cxx_flags[@]}" -Wall -Wextra -Wpedantic -Werror -DCSV_PLUGIN_ID=2 \
    "$source_dir/CsvPlugin.cpp" -o "$work/libcsv_pkgconfig.so" "${pc_flags[@]}" \
    >"$work/pkgconfig.log" 2>&1 || { cat "$work/pkgconfig.log"; exit 1; }

# ---- Build with clang++ and the CMake package (64-bit builds without sanitizers) ------------
# A plug-in author's compiler need not be ours: the SDK's headers and package must serve clang
# too, and its module must work in the g++-built client.
plugins=("$work/libcsv_pkgconfig.so")
if [[ -n ${PYR_PLUGIN_TEST_CLANG:-} ]]; then
    cmake -S "$source_dir" -B "$work/build-clang" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_COMPILER="$PYR_PLUGIN_TEST_CLANG" -DCSV_PLUGIN_ID=3 \
        >"$work/configure-clang.log" 2>&1 || { cat "$work/configure-clang.log"; exit 1; }
    cmake --build "$work/build-clang" >"$work/build-clang.log" 2>&1 ||
        { cat "$work/build-clang.log"; exit 1; }
    cp "$work/build-clang/libcsv_plugin.so" "$work/libcsv_clang.so"
    plugins+=("$work/libcsv_clang.so")
fi
ids=($(seq 1 $((${#plugins[@]} + 1))))

# ---- A wrong entry point does not compile ------------------------------------------------------
# Written by hand or through PYR_PLUGIN_ENTRY_POINTS, against the prototypes of the SDK.
pkg_config_words pc_cflags --cflags pyr-minimap
wrong_signature() {
    printf '#include "plugin/PluginEntry.h"\n%s\n' "$1" >"$work/wrong.cpp"
    if "$cxx" "${cxx_flags[@]}" "${pc_cflags[@]}" -fsyntax-only "$work/wrong.cpp" \
        >"$work/wrong.log" 2>&1; then
        failures+=("compiles, and should not: $1")
    fi
}
wrong_signature 'extern "C" bool InitPluginContainer(void* host) { return host != nullptr; }'
wrong_signature 'extern "C" void ReleasePlugin() {}'
wrong_signature 'struct E { static bool Init() { return true; } static bool Release() { return true; }
static bool InitContainer(int) { return true; } static void ReleaseContainer(IPluginContainer*) {} };
PYR_PLUGIN_ENTRY_POINTS(E);'

# libstdc++'s debug mode and its old string ABI change layouts the modules share: refused by
# name, instead of a crash or an unexplained link error.
for mode in "_GLIBCXX_DEBUG changes the layout" "_GLIBCXX_USE_CXX11_ABI=0 selects another"; do
    define=${mode%% *}
    [[ $define == *=* ]] || define+==1
    if "$cxx" "${cxx_flags[@]}" "${pc_cflags[@]}" "-D$define" -DCSV_PLUGIN_ID=9 -fsyntax-only \
        "$source_dir/CsvPlugin.cpp" >"$work/layout.log" 2>&1 ||
        ! grep -q "$mode" "$work/layout.log"; then
        failures+=("a plug-in built with -D$define was not refused by name")
    fi
done

# So is a language standard older than the headers' C++20, which would otherwise fail in
# dozens of errors that do not say why.
if "$cxx" "${cxx_flags[@]}" "${pc_cflags[@]}" -std=c++17 -DCSV_PLUGIN_ID=9 -fsyntax-only \
    "$source_dir/CsvPlugin.cpp" >"$work/standard.log" 2>&1 ||
    ! grep -q "the SDK's headers need C++20" "$work/standard.log"; then
    failures+=("a plug-in built with -std=c++17 was not refused by name")
fi

# ---- Exports --------------------------------------------------------------------------------
expected_exports=$'InitPlugin\nInitPluginContainer\nReleasePlugin\nReleasePluginContainer'
for module in "$work/plugins/libcsv_plugin.so" "${plugins[@]}" "$libdir/libPyr_MiniMap.so"; do
    exports=$(nm -D --defined-only "$module" | awk '{print $3}' | LC_ALL=C sort)
    [[ $exports == "$expected_exports" ]] ||
        failures+=("$(basename "$module") exports: $(echo $exports)")
    unique=$(readelf --dyn-syms -W "$module" | grep -c ' UNIQUE ' || true)
    [[ $unique -eq 0 ]] || failures+=("$(basename "$module") has $unique GNU-unique symbols")
done

# ---- Run them in the client -----------------------------------------------------------------
client_pid=
stop() {
    stop_process client_pid
    stop_server
}
trap stop EXIT
start_server --scenario "$prefix/share/PyrMiniMap/scenarios/village.scn"

# Every plug-in asks for the NPCs of kind 2: the run has what it needs at the last one's answer.
# The client prints each answer with the element names of the sample tables: 水 is kind 2's.
plugin_args=()
for plugin in "${plugins[@]}"; do plugin_args+=(--plugin "$plugin"); done
coproc CLIENT { CSV_PLUGIN_DIR="$work/csv" PLINTH_TIMER_SCALE=0.01 \
    exec "$prefix/bin/minimap-client" \
    --server "127.0.0.1:$port" --view lines --plugin-dir "$work/plugins" \
    "${plugin_args[@]}" --plugin "$work/no-such-plugin.so" \
    --plugin "$work/plugins/../plugins/libcsv_plugin.so" \
    2>"$work/client.err"; }
client_pid=$CLIENT_PID
answers=0 named=0
while ((answers < ${#ids[@]})) && read -r -t 30 -u "${CLIENT[0]}" line; do
    [[ $line == QueryFinished:* ]] && answers=$((answers + 1))
    [[ $line == *'query answer: 1 NPCs [Fisher Lu, '$'\xe6\xb0\xb4'']' ]] && named=$((named + 1))
done
((answers == ${#ids[@]})) || failures+=("the client reported $answers query answers, not ${#ids[@]}")
((named == ${#ids[@]})) ||
    failures+=("$named of the answers named Fisher Lu's element from the sample tables")
kill -TERM "$client_pid"
status=0
wait "$client_pid" || status=$?
client_pid=
stop

[[ $status -eq 0 ]] || failures+=("minimap-client exited with $status")
grep -q "plug-in not loaded: cannot load the module: .*no-such-plugin\.so" "$work/client.err" ||
    failures+=("no loader error naming no-such-plugin.so on standard error")
# The folder's plug-in named again under another path is the same module: loaded once, its
# entry points called once.
grep -q "plug-in not loaded: .*/plugins/\.\./plugins/libcsv_plugin\.so: the same file as .*/plugins/libcsv_plugin\.so, loaded already" \
    "$work/client.err" || failures+=("the folder's plug-in, named again, was not refused as loaded already")
! grep -q "InitPluginContainer() of" "$work/client.err" ||
    failures+=("an InitPluginContainer failed: a module was initialised twice")
for id in "${ids[@]}"; do
    npcs=$work/csv/npcs-$id.csv query=$work/csv/query-$id.csv
    grep -Eq '^101,"Elder Wen",50\.0,50\.0,1,(42|-1)$' "$npcs" 2>/dev/null ||
        failures+=("plug-in $id: no Elder Wen in its NPC store file")
    [[ $(cat "$query" 2>/dev/null) == $'id,name,x,y,kind,quest\n106,"Fisher Lu",88.0,72.0,2,-1' ]] ||
        failures+=("plug-in $id: its query answer is not the NPCs of kind 2")
done

if ((${#failures[@]})); then
    printf '%s\n' "${failures[@]}"
    echo "---- client errors"; cat "$work/client.err"
    for f in "$work"/csv/*; do echo "---- $f"; cat "$f"; done
    exit 1
fi
echo "${#ids[@]} plug-in builds export the four entry points, loaded into minimap-client and wrote their CSV files"
