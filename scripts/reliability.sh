#!/usr/bin/env bash
# The reliability checks, run by scripts/test.sh after the main suite:
#   asan      ASan+UBSan build (clang 14): the whole GoogleTest suite, the fuzz
#             seeds and saved regressions, and the whole pytest suite with the
#             sanitizer runtime preloaded into /usr/bin/python3
#   tsan      TSan build: the native scan, worker pool and parse arena tests
#   valgrind  memcheck on the Release native test binary (build/, made by
#             scripts/build.sh, or BRIGHTLOOM_VALGRIND_BUILD_DIR): no definite
#             or indirect leak
#   fuzz      libFuzzer targets, BRIGHTLOOM_FUZZ_SECONDS (default 60) each;
#             a crash input is copied to fuzz/regressions/<target>/ and fails
# With no argument all four run in that order; otherwise the named ones.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly SOURCE_DIR=$PWD
readonly FUZZ_SECONDS=${BRIGHTLOOM_FUZZ_SECONDS:-60}
readonly JOBS=$(nproc)
export CCACHE_BASEDIR=$SOURCE_DIR

# Instrumented builds keep debug info for readable reports and our assertions
# on; the generated grammar tables are not instrumented (see
# cmake/Sanitizers.cmake).
configure() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 "$@" >/dev/null
}

section() { printf '\n=== reliability: %s (%s)\n' "$1" "$(date +%T)"; }

run_asan() {
    section "ASan+UBSan build"
    configure build-asan -DBRIGHTLOOM_SANITIZE=address,undefined
    cmake --build build-asan -j"$JOBS"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    section "ASan+UBSan: GoogleTest suite and fuzz regression replay"
    ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
        ctest --test-dir build-asan --output-on-failure -E '^python_tests$'
    section "ASan+UBSan: pytest suite"
    # The interpreter is not instrumented and keeps memory until exit on
    # purpose, so leak detection is off for it; leaks of the module are
    # covered by valgrind on the native suite and the RSS loop tests. The
    # packaging test is left out: it builds and installs a plain Release
    # module of its own, which the main suite already checks.
    local runtime
    runtime=$(clang++-14 -print-file-name=libclang_rt.asan-x86_64.so)
    LD_PRELOAD=$runtime ASAN_OPTIONS=detect_leaks=0 BRIGHTLOOM_SANITIZER=address BRIGHTLOOM_SKIP_PACKAGING=1 \
        PYTHONPATH=$SOURCE_DIR/build-asan BRIGHTLOOM_SOURCE_DIR=$SOURCE_DIR \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python
}

run_tsan() {
    section "TSan build"
    configure build-tsan -DBRIGHTLOOM_SANITIZE=thread
    cmake --build build-tsan -j"$JOBS" --target native_tests
    section "TSan: scan and worker pool tests"
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/native_tests \
        --gtest_filter='ScanPool*:WorkerPool*:ScanWorkspace*:ScanAdversarial*:DigestScan*:ParseArena*'
}

run_valgrind() {
    section "valgrind memcheck on the native suite"
    local dir=${BRIGHTLOOM_VALGRIND_BUILD_DIR:-build}
    if [ "$dir" = build ]; then
        [ -x build/tests/native_tests ] || scripts/build.sh
    else
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$dir" -j"$JOBS" --target native_tests
    fi
    valgrind --quiet --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
        --suppressions=scripts/valgrind.supp \
        "$dir"/tests/native_tests --gtest_brief=1
}

# Runs one libFuzzer target on a scratch copy of its seeds. Saved regression
# cases are replayed by the sanitizer suite instead: some are slow by nature,
# and mutating them would spend the fuzzing time on a few executions.
fuzz_one() {
    local target=$1 work=build-fuzz/runs/$1
    rm -rf "$work" && mkdir -p "$work/corpus" "$work/artifacts"
    cp fuzz/corpus/"$target"/* "$work/corpus/"
    if build-fuzz/fuzz/"$target" -max_total_time="$FUZZ_SECONDS" -timeout=25 -rss_limit_mb=4096 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" >"$work/log" 2>&1; then
        echo "$target: $(grep -o 'number_of_executed_units: [0-9]*' "$work/log" | grep -o '[0-9]*$') executions, no crash"
        return 0
    fi
    tail -n 60 "$work/log"
    mkdir -p fuzz/regressions/"$target"
    for crash in "$work"/artifacts/*; do
        [ -e "$crash" ] || continue
        cp "$crash" fuzz/regressions/"$target"/
        echo "$target: FAILED; input kept as fuzz/regressions/$target/$(basename "$crash"):"
        od -A d -c "$crash" | head -n 20
    done
    return 1
}

run_fuzz() {
    section "libFuzzer build"
    configure build-fuzz -DBRIGHTLOOM_SANITIZE=address,undefined -DBRIGHTLOOM_FUZZ=ON \
        -DBRIGHTLOOM_TESTS=OFF
    cmake --build build-fuzz -j"$JOBS" --target fuzz_targets
    section "libFuzzer: ${FUZZ_SECONDS}s per target, $JOBS at a time"
    export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    local failed=0 target pids=()
    for target in $(ls fuzz/corpus); do
        fuzz_one "$target" &
        pids+=($!)
        if [ ${#pids[@]} -ge "$JOBS" ]; then
            wait "${pids[0]}" || failed=1
            pids=("${pids[@]:1}")
        fi
    done
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    return $failed
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(asan tsan valgrind fuzz)
for stage in "${stages[@]}"; do
    case $stage in
        asan | tsan | valgrind | fuzz) "run_$stage" ;;
        *) echo "unknown stage: $stage (asan, tsan, valgrind, fuzz)" >&2; exit 2 ;;
    esac
done
section "all reliability checks passed"
