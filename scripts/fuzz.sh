#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang in build-fuzz and runs each one for a bounded time.
#
#   scripts/fuzz.sh [seconds-per-harness] [harness...]
#
# Each harness starts from a copy of its committed seed corpus (fuzz/corpus/<harness>), so new
# inputs go to build-fuzz/corpus-work/<harness> and the committed corpus never grows by itself.
# Crashes and property violations are saved in build-fuzz/artifacts/<harness>/; the script then
# prints the end of the harness's log and exits non-zero. FUZZ_JOBS harnesses run at once
# (default: the number of cores); libFuzzer's time limit is wall time, so they share the cores.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${FUZZ_BUILD:-$ROOT/build-fuzz}"
SECONDS_PER_HARNESS="${1:-20}"
shift || true
ALL_HARNESSES=(reply_framing reply_bounds status_value result_parsers telemetry_packets sim_dispatch)
HARNESSES=("$@")
if ((${#HARNESSES[@]} == 0)); then
    HARNESSES=("${ALL_HARNESSES[@]}")
fi
JOBS="${FUZZ_JOBS:-$(nproc)}"
BUILD_JOBS="${FUZZ_BUILD_JOBS:-$(nproc)}"

if ! [[ "$SECONDS_PER_HARNESS" =~ ^[1-9][0-9]*$ ]]; then
    echo "fuzz: seconds per harness must be a positive integer, got '$SECONDS_PER_HARNESS'" >&2
    exit 2
fi
for tool in clang clang++ cmake ninja; do
    if ! command -v "$tool" >/dev/null; then
        echo "fuzz: $tool not found (make bootstrap installs it)" >&2
        exit 2
    fi
done

start=$(date +%s)
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DEPSON_FUZZ=ON -DEPSON_BUILD_TESTS=OFF -DEPSON_BUILD_PYTHON=OFF -DEPSON_SANITIZE= >/dev/null
cmake --build "$BUILD" --target fuzzers -j "$BUILD_JOBS"
echo "fuzz: built in $(($(date +%s) - start)) s; ${#HARNESSES[@]} harness(es), ${SECONDS_PER_HARNESS} s each, ${JOBS} at a time"

mkdir -p "$BUILD/corpus-work" "$BUILD/artifacts" "$BUILD/logs"

run_harness() {
    local name="$1"
    local work="$BUILD/corpus-work/$name"
    local artifacts="$BUILD/artifacts/$name"
    local args=()
    rm -rf "$work" "$artifacts"
    mkdir -p "$work" "$artifacts"
    cp "$ROOT/fuzz/corpus/$name"/* "$work"/
    if [[ -f "$ROOT/fuzz/$name.dict" ]]; then
        args+=("-dict=$ROOT/fuzz/$name.dict")
    fi
    # An input that takes 10 s is a hang: every read ends at the peer's end of stream, and the
    # link's own deadline is 5 s.
    "$BUILD/fuzz/fuzz_$name" "${args[@]}" -max_total_time="$SECONDS_PER_HARNESS" -timeout=10 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" \
        >"$BUILD/logs/$name.log" 2>&1
}

stat_of() {
    sed -n "s/^stat::$2: *//p" "$BUILD/logs/$1.log" | tail -1
}

summarise() {
    local name="$1" status="$2"
    local runs rate seeds corpus
    runs="$(stat_of "$name" number_of_executed_units)"
    rate="$(stat_of "$name" average_exec_per_sec)"
    seeds="$(find "$ROOT/fuzz/corpus/$name" -type f | wc -l)"
    corpus="$(find "$BUILD/corpus-work/$name" -type f | wc -l)"
    if ((status == 0)); then
        printf 'fuzz: %-18s ok      %8s runs %7s/s  corpus %s -> %s\n' "$name" "${runs:-?}" \
            "${rate:-?}" "$seeds" "$corpus"
        return 0
    fi
    printf 'fuzz: %-18s FAILED  exit %s; input saved in %s\n' "$name" "$status" \
        "$(ls -d "$BUILD/artifacts/$name"/* 2>/dev/null | head -1)"
    tail -n 40 "$BUILD/logs/$name.log" | sed 's/^/    /'
    return 1
}

# Runs the harnesses FUZZ_JOBS at a time; a slot is freed when its harness ends.
declare -A pids=()
failed=0
pending=("${HARNESSES[@]}")
while ((${#pending[@]} > 0 || ${#pids[@]} > 0)); do
    while ((${#pending[@]} > 0 && ${#pids[@]} < JOBS)); do
        name="${pending[0]}"
        pending=("${pending[@]:1}")
        if [[ ! -x "$BUILD/fuzz/fuzz_$name" ]]; then
            echo "fuzz: unknown harness '$name'" >&2
            failed=1
            continue
        fi
        run_harness "$name" &
        pids[$name]=$!
    done
    if ((${#pids[@]} == 0)); then
        break
    fi
    wait -n || true
    for name in "${!pids[@]}"; do
        if ! kill -0 "${pids[$name]}" 2>/dev/null; then
            status=0
            wait "${pids[$name]}" || status=$?
            unset "pids[$name]"
            summarise "$name" "$status" || failed=1
        fi
    done
done

echo "fuzz: done in $(($(date +%s) - start)) s"
exit "$failed"
