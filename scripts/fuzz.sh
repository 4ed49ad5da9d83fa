#!/bin/bash
# Builds the libFuzzer targets (fuzz/) in build-fuzz/ and runs each for the given time, one
# after another, starting from its seed corpus. Prints per target: executions, exec/s, coverage
# (cov: edges, ft: features), peak resident memory and findings (crash, hang, leak or memory
# inputs saved under build-fuzz/findings/<target>/). Exits non-zero on any finding.
#
#   bash scripts/fuzz.sh <seconds per target> [target...]
#
# A run also ends after 10 million executions. New corpus entries collect in
# build-fuzz/corpus/<target>/ and are reused by later runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: fuzz.sh <seconds per target> [target...]}
shift
build=$top/build-fuzz
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DTOLVANE_FUZZ=ON -DTOLVANE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
cmake --build "$build" --target fuzzers -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets < <(cd "$top/fuzz/corpus" && ls)
fi

# The figure after "name:" in the last libFuzzer status line of a log.
status_figure() {
    grep -E "^#[0-9]+" "$1" | tail -1 | grep -oE "$2: *[0-9]+[a-zA-Z]*" | grep -oE '[0-9]+[a-zA-Z]*' || echo -
}
final_stat() {
    grep -oE "^stat::$2: *[0-9]+" "$1" | grep -oE '[0-9]+$' || echo -
}

failed=0
table=()
for t in "${targets[@]}"; do
    exe=$build/fuzz/$t
    work=$build/corpus/$t
    findings=$build/findings/$t
    log=$build/logs/$t.log
    mkdir -p "$work" "$findings" "$(dirname "$log")"
    echo "== $t: $seconds s"
    rc=0
    nice -n 10 "$exe" -max_total_time="$seconds" -runs=10000000 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$top/fuzz/corpus/$t" \
        >"$log" 2>&1 || rc=$?
    found=$(find "$findings" -type f | wc -l)
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=1
        tail -40 "$log"
    fi
    table+=("$(printf '%-22s %12s %8s %7s %7s %7s %8s' "$t" \
        "$(final_stat "$log" number_of_executed_units)" "$(final_stat "$log" average_exec_per_sec)" \
        "$(status_figure "$log" cov)" "$(status_figure "$log" ft)" \
        "$(final_stat "$log" peak_rss_mb)" "$found")")
done

printf '%-22s %12s %8s %7s %7s %7s %8s\n' target executions exec/s cov ft rss_mb findings
printf '%s\n' "${table[@]}"
if [ "$failed" -ne 0 ]; then
    echo "fuzz: findings or failed runs; inputs under $build/findings, logs under $build/logs"
    exit 1
fi
