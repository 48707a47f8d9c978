#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, one after the other, and prints
# per target the inputs run, the coverage reached and the crashes found. `make fuzz` builds the
# fuzz preset and calls this.
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_BUILD_DIR the fuzz build (default build/fuzz, the fuzz preset's)
#   FUZZ_TARGETS   which targets (default: netmsg minimap xml scenario capture archive)
#
# Each target's corpus grows in FUZZ_BUILD_DIR/fuzz-runs/<target>/corpus from run to run,
# starting from the seeds; a crash leaves its input in .../<target>/artifacts/ (reproduce it
# with `FUZZ_BUILD_DIR/bin/fuzz_<target> FILE`, then keep it in
# tests/data/fuzz-regressions/<target>/ with a name that says what went wrong). The table is
# also written to FUZZ_BUILD_DIR/fuzz-runs/summary.txt. Exit status 1 when anything crashed.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
targets=${FUZZ_TARGETS:-"netmsg minimap xml scenario capture archive"}
runs_dir=$build/fuzz-runs
summary=$runs_dir/summary.txt
mkdir -p "$runs_dir"

declare -A dictionary=([netmsg]=netmsg [minimap]=netmsg [xml]=xml [scenario]=scenario [capture]=netmsg
    [archive]=archive)
# The archive target's member limit is 1 MiB: a larger single allocation means a member was
# inflated before its declared size was checked.
declare -A options=([archive]="-malloc_limit_mb=64")

{
    printf 'fuzz run of %s, %s s per target, %s\n' "$(git rev-parse --short HEAD 2>/dev/null || echo '?')" \
        "$seconds" "$(date -u +%Y-%m-%dT%H:%MZ)"
    printf '%-9s %12s %9s %8s %8s %9s %8s\n' target runs exec/s cov features corpus crashes
} | tee "$summary"

failed=0
for target in $targets; do
    program=$build/bin/fuzz_$target
    if [[ ! -x $program ]]; then
        echo "run_fuzzers: $program is missing (build the fuzz preset first)" >&2
        failed=1
        continue
    fi
    dir=$runs_dir/$target
    mkdir -p "$dir/corpus" "$dir/artifacts"
    log=$dir/log.txt
    # shellcheck disable=SC2086 # the options are words
    "$program" -max_total_time="$seconds" -print_final_stats=1 ${options[$target]:-} \
        -dict="fuzz/${dictionary[$target]}.dict" -artifact_prefix="$dir/artifacts/" \
        "$dir/corpus" "$build/fuzz/seeds/$target" >"$log" 2>&1
    status=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    features=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corpus=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
    crashes=$(find "$dir/artifacts" -type f | wc -l)
    printf '%-9s %12s %9s %8s %8s %9s %8s\n' "$target" "${runs:-?}" "${rate:-?}" "${cov:-?}" \
        "${features:-?}" "${corpus:-?}" "$crashes" | tee -a "$summary"
    if ((status != 0 || crashes != 0)); then
        failed=1
        echo "run_fuzzers: $target stopped with status $status; see $log" >&2
        grep -E 'fuzz check failed|ERROR: |SUMMARY: ' "$log" | head -5 >&2
    fi
done
exit $failed
