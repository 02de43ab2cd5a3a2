#!/usr/bin/env bash
# Installs what is missing, builds Telvix and smooths the sample frame that ships with it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
mkdir -p out
build/cli/telvix smooth samples/cel.png out/cel_smoothed.png
echo "Smoothed samples/cel.png into out/cel_smoothed.png"
