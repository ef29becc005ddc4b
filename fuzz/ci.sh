#!/usr/bin/env bash
# Builds the libFuzzer programs with clang++ in their own build folder and
# runs each for a bounded time, two at a time. Fails on any finding: a
# crash, a failed check of the harness, a sanitizer report, a leak, an
# allocation above the memory limit, an input that runs too long.
#
# Needs clang++ with libFuzzer (Debian: clang, libclang-rt-14-dev); installs
# nothing. Settings from the environment:
#   KVX_FUZZ_SECONDS  seconds per target (default 60)
#   KVX_FUZZ_BUILD    build folder (default build-fuzz)
#   KVX_FUZZ_SCRATCH  where new corpus entries, crash inputs and logs go
#                     (default: a fresh temporary folder, removed when nothing
#                     was found); never the repository
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${KVX_FUZZ_SECONDS:-60}
build=${KVX_FUZZ_BUILD:-build-fuzz}
scratch=${KVX_FUZZ_SCRATCH:-$(mktemp -d "${TMPDIR:-/tmp}/kvxfuzz-ci.XXXXXX")}
targets=(cmsh3 cmsh7 cmsh9 load roundtrip obj ply stl off answer)

if ! command -v clang++ >/dev/null; then
    echo "fuzz: clang++ is missing (Debian packages: clang libclang-rt-14-dev)" >&2
    exit 1
fi

echo "== fuzz: building the targets in $build"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKVX_FUZZ=ON -DKVX_BUILD_TESTS=OFF -DKVX_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    >"$scratch/cmake.log" || { cat "$scratch/cmake.log"; exit 1; }
cmake --build "$build" -j2 --target fuzz_all

# The targets' input and output files, in memory where it can be: libFuzzer
# ends without the harness's clean-up, so the folder goes with this script.
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=$scratch
export KVX_FUZZ_TMPDIR=$(mktemp -d "$shm/kvxfuzz-ci.XXXXXX")
trap 'rm -rf "$KVX_FUZZ_TMPDIR"' EXIT

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# run <target>: fuzzes one target for $seconds, output in $scratch/<target>.log.
run() {
    local t=$1
    mkdir -p "$scratch/corpus/$t" "$scratch/artifacts"
    local status=0
    timeout --signal=KILL $((seconds + 120)) "$build/bin/fuzz_$t" \
        -max_total_time="$seconds" -malloc_limit_mb=512 -rss_limit_mb=2048 -timeout=10 \
        -max_len=4096 -close_fd_mask=3 -print_final_stats=1 \
        -dict=fuzz/kvx.dict -artifact_prefix="$scratch/artifacts/$t-" \
        "$scratch/corpus/$t" "fuzz/corpus/$t" "fuzz/regressions/$t" \
        >"$scratch/$t.log" 2>&1 || status=$?
    echo "$status" >"$scratch/$t.status"
}

echo "== fuzz: ${#targets[@]} targets, ${seconds} s each, two at a time (logs in $scratch)"
start=$SECONDS
running=0
for t in "${targets[@]}"; do
    run "$t" &
    running=$((running + 1))
    if [ "$running" -ge 2 ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

failed=0
for t in "${targets[@]}"; do
    log="$scratch/$t.log"
    status=$(cat "$scratch/$t.status")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
    printf 'fuzz_%-10s executions %-9s cov %-6s status %s\n' "$t" "${runs:-?}" "${cov:-?}" "$status"
    if [ "$status" != 0 ]; then
        failed=$((failed + 1))
        echo "---- fuzz_$t found a fault; the end of its log:"
        tail -n 60 "$log"
        ls -l "$scratch/artifacts" | grep -F -- "$t-" || true
        echo "----"
    fi
done
echo "== fuzz: $((SECONDS - start)) s of fuzzing"
if [ "$failed" != 0 ]; then
    echo "fuzz: keep each input in $scratch/artifacts as fuzz/regressions/<target>/<name> once fixed" >&2
    echo "fuzz: $((${#targets[@]} - failed)) passed, $failed failed"
    exit 1
fi
# A folder of our own making goes once all is well; one that was named stays.
[ -n "${KVX_FUZZ_SCRATCH:-}" ] || rm -rf "$scratch"
echo "fuzz: ${#targets[@]} passed, 0 failed"
