#!/usr/bin/env bash
# Installs what is missing, builds Telvix and runs every test; then runs them again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded ones under ThreadSanitizer, and
# the render fuzzer for a fixed number of runs.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each stage starts with a one-line heading.
stage() { printf '\n==== %s\n' "$1"; }

stage "Dependencies"
scripts/install-deps.sh
jobs=$(nproc)
# Every build here treats a warning as an error.
werror=-DCMAKE_COMPILE_WARNING_AS_ERROR=ON

stage "Release build, every test (build)"
# Release: everything built, every test.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "$werror"
cmake --build build
ctest --test-dir build --output-on-failure -j "$jobs"

stage "House style: clang-format and clang-tidy"
scripts/check-style.sh build

stage "Scalar fall-backs of the vector code (build-scalar)"
# Scalar fall-backs of the vector code (TELVIX_SCALAR_LANES): the engine, golden and reference
# tests only. They must give every bit the SSE2 build gives: the same goldens hold, and renders
# equal the plain reference pass at every host thread count.
cmake -S . -B build-scalar -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVIX_SCALAR_LANES=ON \
    "$werror"
cmake --build build-scalar --target engine_tests engine_golden_tests render_golden_tests \
    reference_tests
ctest --test-dir build-scalar --output-on-failure -j "$jobs" -L 'engine|golden|reference'

stage "AddressSanitizer and UBSan (build-asan)"
# AddressSanitizer and UndefinedBehaviorSanitizer: every test but the long whole-frame renders
# (labelled nosan or golden, and the reference comparisons on the shipped frames); the reference
# comparisons on 10,000 small random frames, on 1-16 host threads, run here too, and so does the
# file corpus (labelled corpus alone in this build, where it skips its crash and address-space
# cases).
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELVIX_SANITIZE=ON "$werror"
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE 'nosan|golden' -E ShippedFrame

stage "ThreadSanitizer (build-tsan)"
# ThreadSanitizer: the tests labelled tsan (renders on several threads at once).
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVIX_SANITIZE_THREAD=ON \
    "$werror"
cmake --build build-tsan
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L tsan

stage "Fuzzing, a fixed run (build-fuzz)"
# Fuzzing: libFuzzer (clang) with AddressSanitizer and UndefinedBehaviorSanitizer, a fixed
# number of runs from the committed seeds. Only the fuzz target is built here.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELVIX_BUILD_TOOLS=OFF -DTELVIX_SANITIZE=ON -DTELVIX_BUILD_FUZZ=ON "$werror"
cmake --build build-fuzz --target render_fuzzer
ctest --test-dir build-fuzz --output-on-failure -L fuzz

stage "Windows plug-in under Wine (build-win, build-wintest)"
# The Windows plug-in: cross-built, run under Wine, compared with the Linux build.
scripts/windows-check.sh
