#!/usr/bin/env bash
# Remakes docs/images/before_after.png: a crop of samples/cel.png before and after
# `telvix smooth`, each zoomed 400 % by point sampling (nearest neighbour) and set side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
build/cli/telvix smooth samples/cel.png "$tmp/after_full.png"
oiiotool samples/cel.png --cut 150x100+820+290 --resample 600x400 -o "$tmp/before.png"
oiiotool "$tmp/after_full.png" --cut 150x100+820+290 --resample 600x400 -o "$tmp/after.png"
oiiotool "$tmp/before.png" "$tmp/after.png" --mosaic:pad=8 2x1 -o docs/images/before_after.png
