#!/usr/bin/env bash
# The quick loop: the plug-in, the stand-in host and every test that needs neither the telvix
# command nor its libraries (labels unit, host, engine, hardening, golden, reference, windows),
# built in build-quick (Release, warnings as errors) and run. The first run configures; later
# runs rebuild what changed. Needs GoogleTest, and OpenImageIO for the golden and reference
# tests (they are left out without it); not CLI11, fmt, oneTBB or Google Benchmark.
#
# usage: scripts/quick-test.sh [CTEST_ARGS...]   e.g. -R Steps, -L engine, -LE reference
# The build folder is build-quick, or $TELVIX_QUICK_BUILD. ccache is used when installed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TELVIX_QUICK_BUILD:-build-quick}
start=$SECONDS

if [ ! -f "$build/build.ninja" ]; then
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVIX_BUILD_TOOLS=OFF \
        -DTELVIX_BUILD_TESTS=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "${launcher[@]}"
fi
cmake --build "$build"
built=$SECONDS
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
echo "quick-test: build $((built - start)) s, tests $((SECONDS - built)) s"
