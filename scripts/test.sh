#!/usr/bin/env bash
# Installs what is missing, builds Telvix and runs every test; then runs them again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded ones under ThreadSanitizer, and
# the render fuzzer for a fixed number of runs. Each build builds only what its stage runs; the
# time of each stage is printed at the end (also when a stage fails).
#
# usage: scripts/test.sh [STAGE...]   (default: all, in this order: release style scalar asan
#                                      tsan fuzz windows; the stages are independent of each
#                                      other, so separate machines can run them side by side)
#
# ccache, when installed (scripts/install-deps.sh installs it), serves the compilations that
# repeat with the same flags within one run (the stand-in host in the scalar build, the Linux
# side of the Windows check) and everything again on a later run.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage starts with a one-line heading; its duration is kept for the summary.
stage_names=()
stage_seconds=()
current_stage=""
current_start=$SECONDS
end_stage() {
    if [ -n "$current_stage" ]; then
        stage_names+=("$current_stage")
        stage_seconds+=($((SECONDS - current_start)))
        current_stage=""
    fi
}
stage() {
    end_stage
    current_stage=$1
    current_start=$SECONDS
    printf '\n==== %s\n' "$1"
}
summary() {
    local status=$? i
    end_stage
    printf '\n==== Stage times (%s)\n' "$([ "$status" -eq 0 ] && echo passed || echo "FAILED")"
    for i in "${!stage_names[@]}"; do
        printf '%-58s %3d:%02d\n' "${stage_names[$i]}" $((stage_seconds[i] / 60)) \
            $((stage_seconds[i] % 60))
    done
    printf '%-58s %3d:%02d\n' "total" $((SECONDS / 60)) $((SECONDS % 60))
    exit "$status"
}

all_stages=(release style scalar asan tsan fuzz windows)
selected=("$@")
if [ "${#selected[@]}" -eq 0 ]; then
    selected=("${all_stages[@]}")
fi
for s in "${selected[@]}"; do
    if [[ ! " ${all_stages[*]} " =~ " $s " ]]; then
        echo "usage: scripts/test.sh [STAGE...]; stages: ${all_stages[*]}" >&2
        exit 2
    fi
done
wanted() { [[ " ${selected[*]} " =~ " $1 " ]]; }
trap summary EXIT

stage "Dependencies"
scripts/install-deps.sh
jobs=$(nproc)
# Every build here treats a warning as an error.
common=(-G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$PWD
    common+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

if wanted release; then
    stage "Release build, everything (build)"
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${common[@]}"
    cmake --build build

    stage "Release build, every test"
    # The longest tests (COST: the file corpus, the Python tests, the reference shards) start
    # first and the short ones run beside them.
    ctest --test-dir build --output-on-failure -j "$jobs"
fi

if wanted style; then
    stage "House style: clang-format and clang-tidy"
    # clang-tidy reads the Release build's compile commands; alone, this stage configures it.
    if [ ! -f build/compile_commands.json ]; then
        cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${common[@]}"
    fi
    scripts/check-style.sh build
fi

if wanted scalar; then
    stage "Scalar fall-backs of the vector code (build-scalar)"
    # Scalar fall-backs of the vector code (TELVIX_SCALAR_LANES): the engine, golden and reference
    # tests only. They must give every bit the SSE2 build gives: the same goldens hold, and renders
    # equal the plain reference pass at every host thread count. The command is not configured.
    cmake -S . -B build-scalar -DCMAKE_BUILD_TYPE=Release -DTELVIX_SCALAR_LANES=ON \
        -DTELVIX_BUILD_TOOLS=OFF -DTELVIX_BUILD_TESTS=ON "${common[@]}"
    cmake --build build-scalar --target engine_tests engine_golden_tests render_golden_tests \
        reference_tests
    ctest --test-dir build-scalar --output-on-failure -j "$jobs" -L 'engine|golden|reference'
fi

if wanted asan; then
    stage "AddressSanitizer and UBSan (build-asan)"
    # AddressSanitizer and UndefinedBehaviorSanitizer: every test but the long whole-frame renders
    # (labelled nosan or golden, and the reference comparisons on the shipped frames); the reference
    # comparisons on 10,000 small random frames, on 1-16 host threads, run here too, and so does the
    # file corpus (labelled corpus alone in this build, where it skips its crash and address-space
    # cases). The benchmarks (whose quick run is nosan) are not built.
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTELVIX_SANITIZE=ON \
        -DTELVIX_BUILD_BENCH=OFF "${common[@]}"
    cmake --build build-asan
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE 'nosan|golden' \
        -E ShippedFrame
fi

if wanted tsan; then
    stage "ThreadSanitizer (build-tsan)"
    # ThreadSanitizer: the tests labelled tsan (renders on several threads at once), and only the
    # programs they run: hardening_tests_threads, cli_tests_parallel with the command, and the
    # OFX plug-in's threaded renders through its test host.
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVIX_SANITIZE_THREAD=ON \
        -DTELVIX_BUILD_BENCH=OFF "${common[@]}"
    cmake --build build-tsan --target hardening_tests_threads cli_tests_parallel ofx_host_tests
    TSAN_OPTIONS=halt_on_error=1 \
        ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L tsan
fi

if wanted fuzz; then
    stage "Fuzzing, a fixed run (build-fuzz)"
    # Fuzzing: libFuzzer (clang) with AddressSanitizer and UndefinedBehaviorSanitizer, a fixed
    # number of runs from the committed seeds. Only the fuzz target is built here.
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTELVIX_BUILD_TOOLS=OFF -DTELVIX_SANITIZE=ON -DTELVIX_BUILD_FUZZ=ON "${common[@]}"
    cmake --build build-fuzz --target render_fuzzer
    ctest --test-dir build-fuzz --output-on-failure -L fuzz
fi

if wanted windows; then
    stage "Windows plug-in under Wine (build-win, build-wintest)"
    # The Windows plug-in: cross-built, run under Wine, compared with the Linux build.
    scripts/windows-check.sh
fi
