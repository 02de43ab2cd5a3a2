#!/usr/bin/env bash
# Installs what building and testing Telvix needs on a Debian machine (run as root).
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libopenimageio-dev openimageio-tools libcli11-dev libtbb-dev libfmt-dev
    mingw-w64 wine64
    clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
