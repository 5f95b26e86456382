#!/bin/bash
# Long fuzzing: builds the fuzz preset and runs each fuzz target for 10 million executions (or until
# it finds something), each on its own copy of the seed corpus under build/fuzz/long/<target>/.
# Prints per target the executions done, the time taken and whether anything was found; exits
# nonzero when anything was. FUZZ_RUNS and FUZZ_MAX_SECONDS (a cap per target) change the length;
# arguments name the targets to run (default: all). The pipe reader opens real links, each of which
# starts threads, so it runs at a few thousand executions a second at best: allow it hours.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${FUZZ_RUNS:-10000000}
cap=${FUZZ_MAX_SECONDS:-14400}
# AddressSanitizer keeps a record of every thread ever started (a few hundred bytes each) on top of
# its quarantine of freed memory: 10 million executions of the pipe reader grow to about 8 GB.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(lx200 pipe_reader)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

summary=()
status=0
for target in "${targets[@]}"; do
    work=build/fuzz/long/$target
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp tests/fuzz/corpus/"$target"/* "$work/corpus/"
    log=$work/fuzz.log
    echo "fuzz-long: $target: $runs runs at most, ${cap} s at most; log in $log"
    started=$(date +%s)
    result=0
    # -timeout: an input that takes this long is a finding (a hang); -max_len: as in the short
    # runs (tests/fuzz/CMakeLists.txt); -rss_limit_mb: see ASAN_OPTIONS above.
    build/fuzz/tests/fuzz/fuzz_"$target" -runs="$runs" -max_total_time="$cap" -max_len=256 \
        -timeout=30 -rss_limit_mb=16384 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" \
        >"$log" 2>&1 || result=$?
    seconds=$(($(date +%s) - started))

    done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1 || true)
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    found=$(cd "$work/artifacts" && ls)
    if [ "$result" -eq 72 ] && [ -z "$found" ]; then
        status=1 # libFuzzer's exit code when a signal ended the run
        verdict="interrupted, nothing found before"
    elif [ "$result" -eq 0 ] && [ -z "$found" ]; then
        verdict="nothing found"
        if [ "${executed:-0}" -lt "$runs" ]; then
            verdict="$verdict (stopped by the ${cap} s cap short of $runs runs)"
        fi
    else
        status=1
        verdict="FOUND (exit $result): ${found:-no input saved} in $work/artifacts; see $log"
    fi
    line="$target: ${executed:-?} runs in ${seconds} s (${speed:-?} exec/s): $verdict"
    [ -n "$done_line" ] && line="$line [libFuzzer: $done_line]"
    echo "fuzz-long: $line"
    summary+=("$line")
done

echo "fuzz-long: summary"
for line in "${summary[@]}"; do
    echo "  $line"
done
exit $status
