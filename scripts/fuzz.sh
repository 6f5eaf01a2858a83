#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for SECONDS (default 20),
# starting from its checked-in seeds (tests/fuzz/<target>/) and the corpus grown by earlier
# runs (build/fuzz/corpus/<target>/). Any crash, leak, sanitizer report or hang fails the
# run; the input that did it is kept in build/fuzz/artifacts/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# FUZZ_RUNS=N ends a target after N executions instead, SECONDS still bounding it.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
ensure_packages

seconds=${1:-20}
shift || true
dir=build/fuzz
cmake -S "$ROOT" -B "$ROOT/$dir" -DTESSORAL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$ROOT/$dir" -j "$(nproc)" --target fuzz_all

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for t in "$ROOT/$dir"/fuzz/fuzz_*; do targets+=("$(basename "$t" | sed 's/^fuzz_//')"); done
fi

passed=0 failed=0
for t in "${targets[@]}"; do
    corpus="$ROOT/$dir/corpus/$t" artifacts="$ROOT/$dir/artifacts"
    log="$ROOT/$dir/logs/$t.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    # -close_fd_mask=1: the library prints its zip messages on standard output.
    if "$ROOT/$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -runs="${FUZZ_RUNS:--1}" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$artifacts/$t-" \
        "$corpus" "$ROOT/tests/fuzz/$t" >"$log" 2>&1; then
        passed=$((passed + 1))
        result=ok
    else
        failed=$((failed + 1))
        result=FAILED
        grep -E 'ERROR|check failed|SUMMARY|Test unit written' "$log" | head -20 || true
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
    echo "fuzz_$t: $result, ${runs:-?} runs in ${took:-$seconds}s, ${last:-no coverage line} (log: $dir/logs/$t.log)"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
