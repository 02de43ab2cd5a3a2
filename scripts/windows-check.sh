#!/usr/bin/env bash
# Builds Telvix.aex with mingw-w64 and checks it: its exports and imports, then under Wine its
# PiPL, About, global and parameter setup and a set of rendered frames, which must be
# byte-identical to what the Linux build of the same sources renders. The same for the OFX
# bundle's Telvix.ofx, through the OFX test host (telvix_ofxtest). Also packs the release zips.
# Headless: console programs under Wine need no display. Folders: build-win (cross build and its
# Wine prefix), build-wintest (the Linux side).
set -euo pipefail
cd "$(dirname "$0")/.."

# mingw-w64 and wine64 come from Debian; install them when missing.
# The `wine` launcher comes with wine64's recommended packages, so Wine is installed with them.
export DEBIAN_FRONTEND=noninteractive
if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends mingw-w64
fi
if ! command -v wine >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq wine wine64
fi

# ccache, when installed, serves the Linux side's compilations that the Release build of
# scripts/test.sh made with the same flags.
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$PWD
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

echo "== cross build (build-win)"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTELVIX_BUILD_TOOLS=OFF \
    -DTELVIX_BUILD_WINTEST=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "${launcher[@]}" >/dev/null
cmake --build build-win -j2 --target Telvix telvix_wintest package-aex telvix_ofx telvix_ofxtest \
    package-ofx

echo "== exports and imports"
tests/windows/check-aex.sh x86_64-w64-mingw32-objdump build-win/Telvix.aex
tests/windows/check-aex.sh x86_64-w64-mingw32-objdump \
    build-win/Telvix.ofx.bundle/Contents/Win64/Telvix.ofx Telvix.ofx \
    OfxGetNumberOfPlugins OfxGetPlugin

echo "== Linux side (build-wintest)"
cmake -S . -B build-wintest -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVIX_BUILD_TOOLS=OFF \
    -DTELVIX_BUILD_WINTEST=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "${launcher[@]}" >/dev/null
cmake --build build-wintest -j2 --target Telvix telvix_wintest telvix_ofx telvix_ofxtest
rm -rf build-wintest/wintest-out && mkdir -p build-wintest/wintest-out
build-wintest/tests/windows/host/telvix_wintest build-wintest/Telvix.so build-wintest/wintest-out
rm -rf build-wintest/ofxtest-out
build-wintest/tests/ofx/dump/telvix_ofxtest \
    build-wintest/Telvix.ofx.bundle/Contents/Linux-x86-64/Telvix.ofx build-wintest/ofxtest-out

echo "== under Wine"
# A prefix of our own inside the build folder; the first start creates it. Mono and Gecko are
# not wanted. Wine's output always goes to a file: on a pipe its server would keep the pipe
# open and stall every call.
export WINEPREFIX="$PWD/build-win/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=d;mshtml=d"
rm -rf build-win/wintest-out && mkdir -p build-win/wintest-out
status=0
(cd build-win && timeout 240 wine tests/windows/host/telvix_wintest.exe Telvix.aex wintest-out \
    </dev/null >wintest.log 2>&1) || status=$?
cat build-win/wintest.log
if [ "$status" -ne 0 ]; then
    echo "FAIL: telvix_wintest under Wine exited with $status"
    exit 1
fi

rm -rf build-win/ofxtest-out
status=0
(cd build-win && timeout 240 wine tests/ofx/dump/telvix_ofxtest.exe \
    'Telvix.ofx.bundle\Contents\Win64\Telvix.ofx' ofxtest-out </dev/null >ofxtest.log 2>&1) ||
    status=$?
cat build-win/ofxtest.log
if [ "$status" -ne 0 ]; then
    echo "FAIL: telvix_ofxtest under Wine exited with $status"
    exit 1
fi

echo "== Windows against Linux"
tests/windows/compare-dumps.sh build-wintest/wintest-out build-win/wintest-out
# The OFX dumps: the same files, byte for byte, and at least 20 rendered outputs.
diff -r build-wintest/ofxtest-out build-win/ofxtest-out
ofx_frames=$(find build-win/ofxtest-out -name '*.ofxd' | wc -l)
if [ "$ofx_frames" -lt 20 ]; then
    echo "FAIL: only $ofx_frames OFX outputs compared, expected at least 20"
    exit 1
fi
echo "PASS: cases.txt and $ofx_frames OFX outputs are byte-identical"

echo "== release zips"
ls build-win/Telvix-*-win64.zip  # the plug-in and the OFX bundle
echo "Windows checks passed"
