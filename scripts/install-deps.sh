#!/usr/bin/env bash
# Installs what building and testing Telvix needs on a Debian machine (run as root).
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config ccache
    libgtest-dev libgmock-dev libbenchmark-dev
    libopenimageio-dev openimageio-tools libtiff-tools libcli11-dev libtbb-dev libfmt-dev
    imagemagick
    python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest python3-distributed
    mingw-w64
    clang libclang-rt-14-dev clang-format-14 clang-tidy-14
)
# Wine runs the Windows plug-in's checks. It is installed with its recommended packages: the
# `wine` launcher itself is one of wine64's recommendations.
wine_packages=(wine wine64)

missing_of() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}
missing=($(missing_of "${packages[@]}"))
missing_wine=($(missing_of "${wine_packages[@]}"))
if [ "${#missing[@]}" -gt 0 ] || [ "${#missing_wine[@]}" -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    [ "${#missing[@]}" -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing[@]}"
    [ "${#missing_wine[@]}" -eq 0 ] || apt-get install -y -qq "${missing_wine[@]}"
fi
